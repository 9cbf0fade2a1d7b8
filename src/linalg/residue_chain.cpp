#include "linalg/residue_chain.h"

#include "core/construct.h"
#include "core/errors.h"

namespace kalvex::linalg {

bool ResidueChain::simplify(ChainResult& x) {
  reader_.read(x.residues.num.data(), 1, x.residues.den.data(), 1, kNumPrimes, x.bits);
  if (!reader_.readable()) return x.rebuilt = false;
  BigInt num = reader_.num(), den = reader_.den();
  reduce_fraction(num, den);
  if (den.sign() == 0) return x.rebuilt = false;
  try {
    x.quotient = true_divide(num, den);
  } catch (const Error&) {  // rebuilding needs the quotient: the value stays as it is
    return x.rebuilt = false;
  }
  x.residues.num = residues_of(num);
  x.residues.den = residues_of(den);
  x.bits = exact_bounds(num, den);
  return x.rebuilt = true;
}

ChainResult ResidueChain::det(const HostMatrix& m) {
  std::vector<const ResidueFraction*> cells;
  for (int64_t k = 0; k < m.size(); ++k) cells.push_back(&m.entries[static_cast<size_t>(k)]);
  return det_of(cells, m.rows, m.bits);
}

ChainResult ResidueChain::det_of(const std::vector<const ResidueFraction*>& m, int64_t n, const BitBounds& entry_bits) {
  const PrimeRow& p = primes_;
  auto at = [&](int64_t r, int64_t c) -> const ResidueFraction& { return *m[static_cast<size_t>(r * n + c)]; };
  const BitBounds pair_bits = product_bounds(entry_bits, entry_bits);
  ChainResult out;
  if (n == 2) {
    out.residues = sub(mul(at(0, 0), at(1, 1), p), mul(at(0, 1), at(1, 0), p), p);
    out.bits = sum_bounds(pair_bits, pair_bits);
    simplify(out);
    return out;
  }
  if (n == 3) {
    const ResidueFraction &a = at(0, 0), &b = at(0, 1), &c = at(0, 2);
    const ResidueFraction &d = at(1, 0), &e = at(1, 1), &f = at(1, 2);
    const ResidueFraction &g = at(2, 0), &h = at(2, 1), &i = at(2, 2);
    const ResidueFraction ta = mul(a, sub(mul(e, i, p), mul(f, h, p), p), p);
    const ResidueFraction tb = mul(b, sub(mul(d, i, p), mul(f, g, p), p), p);
    const ResidueFraction tc = mul(c, sub(mul(d, h, p), mul(e, g, p), p), p);
    out.residues = add(sub(ta, tb, p), tc, p);
    const BitBounds term_bits = product_bounds(entry_bits, sum_bounds(pair_bits, pair_bits));
    out.bits = sum_bounds(sum_bounds(term_bits, term_bits), term_bits);
    simplify(out);
    return out;
  }
  // 4 x 4 and 5 x 5: the exact zero of shape [1], then one signed cofactor
  // at a time, each accumulation simplified.
  out.residues = exact_zero();
  out.bits = {0, 0, kNoFloor, 0};  // 0/1
  std::vector<const ResidueFraction*> minor(static_cast<size_t>((n - 1) * (n - 1)));
  for (int64_t j = 0; j < n; ++j) {
    size_t k = 0;
    for (int64_t r = 1; r < n; ++r) {
      for (int64_t c = 0; c < n; ++c) {
        if (c != j) minor[k++] = &at(r, c);
      }
    }
    const ChainResult minor_det = det_of(minor, n - 1, entry_bits);
    const ResidueFraction cofactor = mul(at(0, j), minor_det.residues, p);
    out.residues = (j % 2 == 0) ? add(out.residues, cofactor, p) : sub(out.residues, cofactor, p);
    out.bits = sum_bounds(out.bits, product_bounds(entry_bits, minor_det.bits));
    simplify(out);
  }
  return out;
}

}  // namespace kalvex::linalg
