#pragma once
// The CPU backend of the residue-kernel launcher (residue_kernel.h).
//
// Two paths, chosen per call:
//  - rows: every input is laid out as whole rows of the result (see
//    RowLayout), so each row is one prime and its loop runs with the modulus
//    hoisted; these loops vectorise (simd.h).  Results are stored directly:
//    streaming (non-temporal) stores measured slower here, even for outputs
//    far larger than the caches (bench/bench_arith.py).
//  - iterator: anything else (broadcast or strided operands) goes through
//    TensorIterator.  Inner loops whose operands are unit-stride under one
//    prime reuse the row loop; the rest take a per-element modulus.
// An input with one value per row (NOTE: [Constant rows]) is read once per
// row: the row loop reads it from a small block of copies that stays in the
// first-level cache, so the same vectorised loop serves every layout.
// With the generic paths forced (core/paths.h) every call takes the iterator
// with a per-element modulus, as the CUDA backend runs it.
//
// KALVEX_CPU_KERNEL(Op), inside namespace kalvex::kernels, builds the row loop
// of one functor for each x86-64 level and instantiates run_cpu<Op>.
#include <ATen/Parallel.h>

#include <algorithm>

#include <cstring>

#include "core/kernels/constant_rows.h"
#include "core/kernels/residue_kernel.h"
#include "core/paths.h"
#include "core/simd.h"

namespace kalvex::kernels::cpu {

constexpr int64_t kGrain = 32768;
// Elements per call of the row loop while some input is one value per row.
constexpr int64_t kBlock = 256;

// bool elements are read as bytes: the loops then vectorise.
template <typename T>
struct Loaded {
  using type = T;
};
template <>
struct Loaded<bool> {
  using type = uint8_t;
};

template <typename T>
C10_ALWAYS_INLINE T load(const char* base, int64_t i) {
  return static_cast<T>(reinterpret_cast<const typename Loaded<T>::type*>(base)[i]);
}

template <typename Op>
C10_ALWAYS_INLINE void store(char* const* out, int64_t i, const typename KernelTraits<Op>::Result& r) {
  using Traits = KernelTraits<Op>;
  using Shape = ResultShape<typename Traits::Result>;
  for (int k = 0; k < Traits::kOutputs; ++k)
    reinterpret_cast<typename Traits::Output*>(out[k])[i] = Shape::get(r, k);
}

// The size in bytes of one element of input k.
template <typename Op, size_t... I>
constexpr int64_t input_size(int k, std::index_sequence<I...>) {
  constexpr int64_t sizes[] = {static_cast<int64_t>(sizeof(typename KernelTraits<Op>::template Input<I>))...};
  return sizes[k];
}
template <typename Op>
constexpr int64_t input_size(int k) {
  return input_size<Op>(k, std::make_index_sequence<KernelTraits<Op>::kInputs>{});
}

// One contiguous stretch of n elements under one prime.
template <typename Op>
using RowFn = void (*)(const Op& op, int64_t prime, int64_t n, char* const* out, const char* const* in);

template <typename Op, size_t... I>
C10_ALWAYS_INLINE void row_loop(const Op& op, int64_t prime, int64_t n, char* const* out_ptrs,
                                const char* const* in_ptrs, std::index_sequence<I...>) {
  using Traits = KernelTraits<Op>;
  const Modulus m(Traits::kModular ? prime : 1);
  char* out[Traits::kOutputs];
  const char* in[Traits::kInputs];
  for (int k = 0; k < Traits::kOutputs; ++k) out[k] = out_ptrs[k];
  for (int k = 0; k < Traits::kInputs; ++k) in[k] = in_ptrs[k];
  // Outputs are fresh tensors: no element depends on another.
#pragma GCC ivdep
  for (int64_t i = 0; i < n; ++i)
    store<Op>(out, i, invoke(op, m, load<typename Traits::template Input<I>>(in[I], i)...));
}

template <typename Op>
C10_ALWAYS_INLINE void row_loop(const Op& op, int64_t prime, int64_t n, char* const* out, const char* const* in) {
  row_loop(op, prime, n, out, in, std::make_index_sequence<KernelTraits<Op>::kInputs>{});
}

// How an input covers the rows of the result [P, *shape]: a whole contiguous
// block, one contiguous block of *shape shared by every row (a user-shaped
// operand broadcast over the primes), or one value per row (constant rows).
// Anything else takes the iterator.
enum class RowLayout { Full, Shared, Constant, Other };

inline bool contiguous_after_prime_axis(const at::Tensor& t) {
  int64_t expected = 1;
  for (int64_t d = t.dim() - 1; d >= 1; --d) {
    if (t.size(d) != 1 && t.stride(d) != expected) return false;
    expected *= t.size(d);
  }
  return true;
}

inline RowLayout row_layout(const at::Tensor& t, at::IntArrayRef sizes) {
  if (!t.is_cpu()) return RowLayout::Other;
  if (t.is_contiguous() && t.sizes().equals(sizes)) return RowLayout::Full;  // the usual case, decided first
  if (t.dim() != static_cast<int64_t>(sizes.size())) return RowLayout::Other;
  if (has_constant_rows(t)) return RowLayout::Constant;
  if (!t.sizes().slice(1).equals(sizes.slice(1)) || !contiguous_after_prime_axis(t)) return RowLayout::Other;
  if (t.size(0) == sizes[0] && (t.stride(0) == t.numel() / std::max<int64_t>(sizes[0], 1) || sizes[0] == 1))
    return RowLayout::Full;
  if (t.size(0) == 1 || t.stride(0) == 0) return RowLayout::Shared;
  return RowLayout::Other;
}

// How far input k advances per row of the result, in elements: the row
// length (Full), 0 (Shared), or the stride of its prime axis (Constant).
inline int64_t row_step(const at::Tensor& t, RowLayout layout, int64_t length) {
  switch (layout) {
    case RowLayout::Full: return length;
    case RowLayout::Constant: return t.size(0) == 1 ? 0 : t.stride(0);
    default: return 0;
  }
}

// The prime column [P, 1, ..., 1] as one contiguous vector of the result's rows.
inline bool prime_per_row(const at::Tensor& primes, at::IntArrayRef sizes) {
  if (!primes.is_cpu() || primes.dim() < 1 || primes.size(0) != sizes[0] || primes.numel() != sizes[0]) return false;
  return primes.dim() <= static_cast<int64_t>(sizes.size()) && (sizes[0] == 1 || primes.stride(0) == 1);
}

template <typename RowSpanFn>
void for_each_row_span(int64_t rows, int64_t row_length, RowSpanFn&& fn) {
  at::parallel_for(0, rows * row_length, kGrain, [&](int64_t begin, int64_t end) {
    while (begin < end) {
      const int64_t row = begin / row_length;
      const int64_t offset = begin - row * row_length;
      const int64_t length = std::min(row_length - offset, end - begin);
      fn(row, offset, length);
      begin += length;
    }
  });
}

// n elements under one prime where the inputs flagged in `constant` are one
// value each (at in[k]) and the others rows: the row loop runs in blocks,
// reading each constant from a block of copies of it.
template <typename Op>
void row_with_constants(const Op& op, RowFn<Op> row, int64_t prime, int64_t n, char* const* out_ptrs,
                        const char* const* in_ptrs, const bool* constant) {
  using Traits = KernelTraits<Op>;
  constexpr int64_t out_size = sizeof(typename Traits::Output);
  alignas(64) int64_t copies[Traits::kInputs][kBlock];
  char* out[Traits::kOutputs];
  const char* in[Traits::kInputs];
  int64_t advance[Traits::kInputs];
  const int64_t first_block = std::min(kBlock, n);
  for (int k = 0; k < Traits::kOutputs; ++k) out[k] = out_ptrs[k];
  for (int k = 0; k < Traits::kInputs; ++k) {
    const int64_t size = input_size<Op>(k);
    if (constant[k]) {
      char* block = reinterpret_cast<char*>(copies[k]);
      for (int64_t i = 0; i < first_block; ++i) std::memcpy(block + i * size, in_ptrs[k], static_cast<size_t>(size));
      in[k] = block;
      advance[k] = 0;
    } else {
      in[k] = in_ptrs[k];
      advance[k] = size;
    }
  }
  for (int64_t start = 0; start < n; start += kBlock) {
    const int64_t count = std::min(kBlock, n - start);
    row(op, prime, count, out, in);
    for (int k = 0; k < Traits::kOutputs; ++k) out[k] += count * out_size;
    for (int k = 0; k < Traits::kInputs; ++k) in[k] += count * advance[k];
  }
}

// Rows of the result one span at a time; `step[k]` is how far input k
// advances per row (row_step), `constant[k]` whether it is one value per row.
template <typename Op>
void run_rows(const Op& op, KernelCall<Op>& call, RowFn<Op> row, const int64_t* step, const bool* constant) {
  using Traits = KernelTraits<Op>;
  const at::Tensor& first_out = call.outputs[0];
  const int64_t rows = first_out.size(0);
  const int64_t length = rows == 0 ? 0 : first_out.numel() / rows;
  constexpr int64_t out_size = sizeof(typename Traits::Output);
  char* out_base[Traits::kOutputs];
  const char* in_base[Traits::kInputs];
  bool any_constant = false;
  for (int k = 0; k < Traits::kOutputs; ++k) out_base[k] = static_cast<char*>(call.outputs[k].data_ptr());
  for (int k = 0; k < Traits::kInputs; ++k) {
    in_base[k] = static_cast<const char*>(call.inputs[k].data_ptr());
    any_constant |= constant[k];
  }
  const int64_t* primes = Traits::kModular ? call.primes.template data_ptr<int64_t>() : nullptr;

  for_each_row_span(rows, length, [&](int64_t r, int64_t offset, int64_t n) {
    char* out[Traits::kOutputs];
    const char* in[Traits::kInputs];
    for (int k = 0; k < Traits::kOutputs; ++k) out[k] = out_base[k] + (r * length + offset) * out_size;
    for (int k = 0; k < Traits::kInputs; ++k)
      in[k] = in_base[k] + (r * step[k] + (constant[k] ? 0 : offset)) * input_size<Op>(k);
    const int64_t prime = primes ? primes[r] : 0;
    if (any_constant) {
      row_with_constants(op, row, prime, n, out, in, constant);
    } else {
      row(op, prime, n, out, in);
    }
  });
}

// A modulus rebuilt only when the prime changes along a strided loop.
struct ModulusCache {
  int64_t p = 0;
  Modulus m{1};
  const Modulus& get(int64_t prime) {
    if (prime != p) {
      p = prime;
      m = Modulus(prime);
    }
    return m;
  }
};

// A null `row` takes the per-element path for every inner loop.
template <typename Op, size_t... I>
void run_iterator(const Op& op, KernelCall<Op>& call, RowFn<Op> row, std::index_sequence<I...>) {
  using Traits = KernelTraits<Op>;
  constexpr int kOut = Traits::kOutputs;
  constexpr int kIn = Traits::kInputs;
  constexpr int kPrime = kOut + kIn;  // the prime column's operand index
  int64_t size[kOut + kIn];
  for (int k = 0; k < kOut; ++k) size[k] = static_cast<int64_t>(sizeof(typename Traits::Output));
  for (int k = 0; k < kIn; ++k) size[kOut + k] = static_cast<int64_t>(call.inputs[k].element_size());

  auto iter = kernel_iterator(call);
  iter.for_each(
      [&](char** data, const int64_t* strides, int64_t n) {
        // Unit-stride outputs; inputs unit-stride or one value (stride 0).
        bool unit = !Traits::kModular || strides[kPrime] == 0;
        bool constant[kIn > 0 ? kIn : 1] = {};
        bool any_constant = false;
        for (int k = 0; k < kOut && unit; ++k) unit = strides[k] == size[k];
        for (int k = 0; k < kIn && unit; ++k) {
          constant[k] = strides[kOut + k] == 0;
          any_constant |= constant[k];
          unit = constant[k] || strides[kOut + k] == size[kOut + k];
        }
        if (unit && row != nullptr) {
          const int64_t prime = Traits::kModular ? *reinterpret_cast<const int64_t*>(data[kPrime]) : 0;
          if (any_constant) return row_with_constants(op, row, prime, n, data, data + kOut, constant);
          row(op, prime, n, data, data + kOut);
          return;
        }
        ModulusCache cache;
        char* out[kOut];
        for (int64_t i = 0; i < n; ++i) {
          const Modulus& m =
              Traits::kModular ? cache.get(*reinterpret_cast<const int64_t*>(data[kPrime] + strides[kPrime] * i))
                               : cache.m;
          for (int k = 0; k < kOut; ++k) out[k] = data[k] + strides[k] * i;
          store<Op>(out, 0,
                    invoke(op, m,
                           *reinterpret_cast<const typename Traits::template Input<I>*>(data[kOut + I] +
                                                                                      strides[kOut + I] * i)...));
        }
      },
      kGrain);
}

template <typename Op>
void run(const Op& op, KernelCall<Op>& call, RowFn<Op> row) {
  using Traits = KernelTraits<Op>;
  if (generic_paths()) return run_iterator(op, call, RowFn<Op>{nullptr}, std::make_index_sequence<Traits::kInputs>{});
  const at::IntArrayRef sizes = call.outputs[0].sizes();
  bool rows = sizes.size() >= 1 && (!Traits::kModular || prime_per_row(call.primes, sizes));
  int64_t step[Traits::kInputs];
  bool constant[Traits::kInputs];
  const int64_t length = sizes.empty() || sizes[0] == 0 ? 0 : call.outputs[0].numel() / sizes[0];
  for (int k = 0; k < Traits::kInputs && rows; ++k) {
    const RowLayout layout = row_layout(call.inputs[k], sizes);
    rows = layout != RowLayout::Other;
    step[k] = row_step(call.inputs[k], layout, length);
    constant[k] = layout == RowLayout::Constant && length > 1;  // a row of one is read in place
  }
  if (rows) return run_rows(op, call, row, step, constant);
  run_iterator(op, call, row, std::make_index_sequence<Traits::kInputs>{});
}

}  // namespace kalvex::kernels::cpu

namespace kalvex::kernels {

// The row loop of one functor, compiled for each x86-64 level: defined by
// KALVEX_CPU_KERNEL (a function, not a template, so that it can be cloned).
template <typename Op>
struct CpuRows {
  static void loop(const Op& op, int64_t prime, int64_t n, char* const* out, const char* const* in);
};

template <typename Op>
void run_cpu(const Op& op, KernelCall<Op>& call) {
  cpu::run(op, call, &CpuRows<Op>::loop);
}

}  // namespace kalvex::kernels

// The CPU backend of one functor: its row loop and run_cpu<Op>.  Use inside
// namespace kalvex::kernels.
#define KALVEX_CPU_KERNEL(...)                                                                              \
  template <>                                                                                              \
  KALVEX_CLONES void CpuRows<__VA_ARGS__>::loop(const __VA_ARGS__& op, int64_t prime, int64_t n,          \
                                                char* const* out, const char* const* in) {                \
    ::kalvex::kernels::cpu::row_loop(op, prime, n, out, in);                                              \
  }                                                                                                        \
  template void run_cpu<__VA_ARGS__>(const __VA_ARGS__& op, KernelCall<__VA_ARGS__>& call);

// The same for a functor with two outputs that declares what each reads
// (residue_kernel.h), with its one-output forms.
#define KALVEX_CPU_SPLIT_KERNEL(Op)    \
  KALVEX_CPU_KERNEL(Op)                \
  KALVEX_CPU_KERNEL(OnlyOutput<Op, 0>) \
  KALVEX_CPU_KERNEL(OnlyOutput<Op, 1>)
