#include "functional/newton.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/checks.h"
#include "core/errors.h"
#include "core/kernels/host_copy.h"
#include "core/torch_compat.h"
#include "functional/chain_value.h"
#include "functional/host_chain.h"
#include "functional/input_value.h"
#include "functional/tensor_chain.h"
#include "reconstruct/crt.h"
#include "reconstruct/exact_decisions.h"
#include "reconstruct/rational.h"

namespace kalvex {

namespace {

constexpr int kFloatShift = 52;       // float values are captured over 2^52
constexpr double kSeedFloor = 1e-10;  // the float view is clamped here before its root

// ---- sizes -----------------------------------------------------------------


// The size bound of the next iterate, 2 s(x) + s(a) + 2, saturating.
int64_t next_bound(int64_t s_x, int64_t s_a) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 4;
  return std::min(kLimit, 2 * std::min(s_x, kLimit) + std::min(s_a, kLimit) + 2);
}

// ---- the starting point ----------------------------------------------------

// s of m / 2^52 in lowest terms.
int64_t captured_bits(const BigInt& m) {
  if (m.sign() == 0) return 1;
  const auto shift = static_cast<int64_t>(std::min<mp_bitcnt_t>(mpz_scan1(m.get(), 0), kFloatShift));
  return bit_length(m.get()) - shift + (kFloatShift - shift + 1);
}

// The starting point: the float square root of the float view clamped at
// 1e-10, in the view's dtype, with the input's shape where only the layout
// differs (a rebuilt view of a zero-dimensional tensor has shape (1,)).
// Where the view decides nothing (0, or not finite) the square root of the
// exact value is taken instead, in double precision (NOTE: [Exact
// decisions]); an element with neither a usable view nor a readable value
// has no starting point.
at::Tensor seed(const RationalTensor& a, const at::Tensor& a_float, at::IntArrayRef shape) {
  at::Tensor x0 = correctly_rounded_sqrt(at::clamp_min(a_float, kSeedFloor));
  const ExactDoubles exact = undecided_values(a, a_float);
  if (!exact.positions.empty()) {
    // Values at or below the floor start where the view's own clamp would.
    const double floor_seed = correctly_rounded_sqrt(at::clamp_min(at::zeros({}, a_float.options()), kSeedFloor)).item<double>();
    at::Tensor roots = at::empty({static_cast<int64_t>(exact.values.size())}, at::TensorOptions().dtype(at::kDouble));
    double* r = roots.data_ptr<double>();
    for (size_t k = 0; k < exact.values.size(); ++k)
      r[k] = exact.values[k] > kSeedFloor ? std::sqrt(exact.values[k]) : floor_seed;
    x0 = x0.to(at::kDouble).contiguous();
    x0.view({-1}).index_put_({index_tensor(exact.positions, x0.device())}, roots.to(x0.device()));
  }
  // Only an element left unread can have kept a seed that is not finite.
  if (!exact.complete && at::isFloatingType(x0.scalar_type()) && !at::isfinite(x0).all().item<bool>())
    fail(ErrorKind::Overflow, kUnreadableMessage);
  int64_t count = 1;
  for (int64_t s : shape) count *= s;
  if (!x0.sizes().equals(shape) && x0.numel() == count) x0 = x0.reshape(shape);
  return x0;
}

// The seed of a one-element float32 view, computed on the host without
// tensor calls (torch clamps with the bound in float32); none where the view
// decides nothing.
c10::optional<float> small_seed(const at::Tensor& a_float) {
  if (a_float.scalar_type() != at::kFloat || a_float.numel() != 1) return c10::nullopt;
  const float v = *(a_float.is_cpu() ? a_float : a_float.cpu()).data_ptr<float>();
  if (v == 0.0f || !std::isfinite(v)) return c10::nullopt;
  return std::sqrt(std::max(v, static_cast<float>(kSeedFloor)));
}

// ---- the one-element chain -------------------------------------------------

// One step, (x + a / x) / 2, as the chain's operations take it.
template <typename Chain, typename Value = typename Chain::Value>
Value newton_step(const Chain& c, const Value& a, const Value& x, const Value& two) {
  return c.div(c.add(x, c.div(a, x)), two);
}

template <typename Value>
struct Iterated {
  Value x;
  bool stepped = false;  // false: x is the starting point
};

// Newton's steps on a one-element value, written once over a chain of values
// (TensorChain: reductions after every step; HostChain: the exact value).
// Steps are taken while the size bound of the next iterate stays within
// max_bits; the size of a value is the chain's (HostChain carries the bound
// past its exact cap).  HostChain meets an exact zero iterate as a
// ZeroDivision error.
template <typename Chain, typename Value = typename Chain::Value>
Iterated<Value> newton_iterates(const Chain& c, const Value& a, Value x, int64_t max_iterations, int64_t max_bits) {
  const Value two = c.integer(2);
  const int64_t s_a = c.size(a, kUnknownBound);
  int64_t bound = c.size(x, kUnknownBound);
  Iterated<Value> out{std::move(x)};
  for (int64_t k = 0; k < max_iterations; ++k) {
    const int64_t next = next_bound(c.size(out.x, bound), s_a);
    if (next > max_bits) break;
    out.x = c.simplify(newton_step(c, a, out.x, two));
    out.stepped = true;
    bound = next;
  }
  return out;
}

// ---- step by step on tensors -----------------------------------------------

// S_a: the largest s over a's elements, each read back robustly and reduced.
int64_t largest_bits(const RationalTensor& a) {
  const std::vector<at::Tensor> host = host_int64({a.num, a.denom, a.primes});
  const at::Tensor num = host[0].reshape({a.num.size(0), -1}).contiguous();
  const at::Tensor den = host[1].reshape({a.denom.size(0), -1}).contiguous();
  const at::Tensor primes = host[2].contiguous();
  const auto basis = crt_basis(primes.data_ptr<int64_t>(), static_cast<size_t>(primes.numel()));
  const int64_t count = std::min(num.size(1), den.size(1));
  const size_t rows = static_cast<size_t>(std::min(num.size(0), den.size(0)));
  std::vector<int64_t> largest(static_cast<size_t>(at::get_num_threads()) + 1, 0);
  at::parallel_for(0, count, 256, [&](int64_t begin, int64_t end) {
    FractionReader reader(*basis);
    int64_t best = 0;
    for (int64_t i = begin; i < end; ++i) {
      reader.read(num.data_ptr<int64_t>() + i, count, den.data_ptr<int64_t>() + i, count, rows, a.bits);
      if (!reader.readable()) {
        best = kUnknownBound;
        break;
      }
      reduce_fraction(reader.num(), reader.den());
      best = std::max(best, bit_length(reader.num().get()) + bit_length(reader.den().get()));
    }
    int64_t& slot = largest[static_cast<size_t>(at::get_thread_num())];
    slot = std::max(slot, best);
  });
  return *std::max_element(largest.begin(), largest.end());
}

int64_t planned_steps(const RationalTensor& a, const at::Tensor& x0, int64_t max_iterations, int64_t max_bits) {
  if (max_iterations <= 0) return 0;
  const at::Tensor values = x0.to(at::kDouble).cpu().contiguous();
  int64_t bound = 0;
  for (int64_t i = 0; i < values.numel(); ++i)
    bound = std::max(bound, captured_bits(captured_numerator(values.data_ptr<double>()[i])));
  const int64_t s_a = largest_bits(a);
  int64_t steps = 0;
  while (steps < max_iterations && next_bound(bound, s_a) <= max_bits) {
    bound = next_bound(bound, s_a);
    ++steps;
  }
  return steps;
}

RationalTensor newton_by_steps(const TensorChain& c, const RationalTensor& a, const at::Tensor& x0,
                               int64_t max_iterations, int64_t max_bits) {
  RationalTensor x = from_tensor(x0.to(c.device));
  if (c.one_element()) return newton_iterates(c, a, std::move(x), max_iterations, max_bits).x;
  const RationalTensor two = c.integer(2);
  const int64_t steps = planned_steps(a, x0, max_iterations, max_bits);
  for (int64_t k = 0; k < steps; ++k) x = newton_step(c, a, x, two);
  return x;
}

}  // namespace

RationalTensor sqrt_newton(const RationalTensor& a, const at::Tensor& a_float, at::IntArrayRef shape,
                           at::Device device, int64_t max_iterations, int64_t max_bits) {
  check_residues(a);
  const TensorChain chain{std::vector<int64_t>(shape.begin(), shape.end()), device};
  if (chain.one_element() && a_float.numel() == 1) {
    if (const auto value = input_value(a)) {
      const c10::optional<float> small = small_seed(a_float);
      const at::Tensor x0 = small ? at::Tensor() : seed(a, a_float, shape);
      const double v = small ? static_cast<double>(*small) : x0.to(at::kDouble).item<double>();
      const ChainValue start(captured_numerator(v), BigInt::from_int64(int64_t{1} << kFloatShift));
      try {
        const auto outcome = newton_iterates(HostChain(), *value, start, max_iterations, max_bits);
        if (outcome.stepped) return outcome.x.build(shape, device);
        const at::Tensor first = small ? at::full(shape, *small, at::TensorOptions().dtype(at::kFloat)) : x0;
        return from_tensor(first.to(device));
      } catch (const Error& e) {
        if (e.kind() != ErrorKind::ZeroDivision) throw;  // an exact zero iterate: the tensor steps follow it
      }
    }
  }
  return newton_by_steps(chain, a, seed(a, a_float, shape), max_iterations, max_bits);
}

}  // namespace kalvex
