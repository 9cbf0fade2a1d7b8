#include "linalg/evaluator.h"

#include "core/construct.h"

namespace kalvex::linalg {

Evaluator::Evaluator(const PrimeRow& primes)
    : primes_(primes), basis_(basis_of(primes_)), reader_(*basis_), chain_(primes_, *basis_) {}

Evaluator& Evaluator::of(const PrimeRow& primes) {
  thread_local std::unique_ptr<Evaluator> cached;
  if (!cached || cached->primes_.primes != primes.primes) cached.reset(new Evaluator(primes));
  return *cached;
}

ResidueFraction Evaluator::rebuilt_residues(const ExactFraction& value) {
  return ResidueFraction{residues_of(value.num), residues_of(value.den)};
}

ChainResult Evaluator::rebuilt(const ExactFraction& value) {
  ChainResult out;
  out.residues = rebuilt_residues(value);
  out.bits = exact_bounds(value.num, value.den);
  out.rebuilt = true;
  out.quotient = nearest_quotient(value.num, value.den);
  return out;
}

ChainResult Evaluator::det(const HostMatrix& m) {
  if (m.rows == 1) {  // the entry itself, unreduced
    ChainResult out;
    out.residues = m.entries[0];
    out.bits = m.bits;
    return out;
  }
  if (!reader_.read_all(m, a_values_)) return chain_.det(m);
  elimination_.det(a_values_, m.rows, det_value_);
  return rebuilt(det_value_);
}

bool Evaluator::solve(const HostMatrix& a, const HostMatrix& b, std::vector<ResidueFraction>& x, BitBounds& bits) {
  if (!reader_.read_all(a, a_values_) || !reader_.read_all(b, b_values_)) return false;
  if (!elimination_.solve(a_values_, b_values_, a.rows, x_values_)) return false;
  x.clear();
  bits = {0, 0, kUnknownBound, kUnknownBound};  // the widest of the components, below
  for (int64_t i = 0; i < a.rows; ++i) {
    const ExactFraction& value = x_values_[static_cast<size_t>(i)];
    x.push_back(rebuilt_residues(value));
    bits = either_bounds(bits, exact_bounds(value.num, value.den));
  }
  return true;
}

}  // namespace kalvex::linalg
