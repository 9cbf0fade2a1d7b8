// CPU scans of the running sums and products (NOTE: [Running values in blocks of 32]).
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/modmath.h"
#include "core/simd.h"
#include "elementwise/cumulative_parts.h"

namespace kalvex {

namespace {

constexpr int kLanes = 8;  // blocks scanned side by side: independent chains fill the pipeline

template <Running kind>
inline void step(double& an, double& ad, double n, double d, const Modulus& m) {
  if (kind == Running::Sum) {
    an = add_mod_d(mul_mod_d(an, d, m), mul_mod_d(ad, n, m), m);
  } else {
    an = mul_mod_d(an, n, m);
  }
  ad = mul_mod_d(ad, d, m);
}

// Full blocks [first, first + kLanes) of one row, each a chain of 32 steps.
template <Running kind>
inline __attribute__((always_inline)) void scan_lanes(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t first,
                              const Modulus m, int64_t* __restrict__ out_num, int64_t* __restrict__ out_den) {
  double an[kLanes], ad[kLanes];
  for (int j = 0; j < kLanes; ++j) {
    const int64_t i = (first + j) * kRunningBlock;
    an[j] = as_double(num[i]);
    ad[j] = as_double(den[i]);
    out_num[i] = num[i];
    out_den[i] = den[i];
  }
  for (int64_t k = 1; k < kRunningBlock; ++k) {
    for (int j = 0; j < kLanes; ++j) {
      const int64_t i = (first + j) * kRunningBlock + k;
      step<kind>(an[j], ad[j], as_double(num[i]), as_double(den[i]), m);
      out_num[i] = as_residue(an[j]);
      out_den[i] = as_residue(ad[j]);
    }
  }
}

// One block of `length` elements from `begin`.
template <Running kind>
void scan_block(const int64_t* num, const int64_t* den, int64_t begin, int64_t length, const Modulus& m,
                int64_t* out_num, int64_t* out_den) {
  double an = as_double(num[begin]), ad = as_double(den[begin]);
  out_num[begin] = num[begin];
  out_den[begin] = den[begin];
  for (int64_t i = begin + 1; i < begin + length; ++i) {
    step<kind>(an, ad, as_double(num[i]), as_double(den[i]), m);
    out_num[i] = as_residue(an);
    out_den[i] = as_residue(ad);
  }
}

KALVEX_CLONES void scan_lanes_sum(const int64_t* num, const int64_t* den, int64_t first, const Modulus m,
                                  int64_t* out_num, int64_t* out_den) {
  scan_lanes<Running::Sum>(num, den, first, m, out_num, out_den);
}

KALVEX_CLONES void scan_lanes_product(const int64_t* num, const int64_t* den, int64_t first, const Modulus m,
                                      int64_t* out_num, int64_t* out_den) {
  scan_lanes<Running::Product>(num, den, first, m, out_num, out_den);
}

template <Running kind>
void scan_row(const int64_t* num, const int64_t* den, int64_t n, int64_t p, int64_t* out_num, int64_t* out_den) {
  const Modulus m(p);
  const int64_t full = n / kRunningBlock;
  int64_t b = 0;
  for (; b + kLanes <= full; b += kLanes) {
    if (kind == Running::Sum) {
      scan_lanes_sum(num, den, b, m, out_num, out_den);
    } else {
      scan_lanes_product(num, den, b, m, out_num, out_den);
    }
  }
  for (; b * kRunningBlock < n; ++b) {
    const int64_t begin = b * kRunningBlock;
    scan_block<kind>(num, den, begin, std::min(kRunningBlock, n - begin), m, out_num, out_den);
  }
}

template <Running kind>
inline __attribute__((always_inline)) void apply_block(int64_t length, const Modulus m, double an, double ad,
                                                       int64_t* __restrict__ num, int64_t* __restrict__ den) {
  for (int64_t i = 0; i < length; ++i) {
    const double pn = as_double(num[i]), pd = as_double(den[i]);
    if (kind == Running::Sum) {
      num[i] = as_residue(add_mod_d(mul_mod_d(an, pd, m), mul_mod_d(ad, pn, m), m));
    } else {
      num[i] = as_residue(mul_mod_d(an, pn, m));
    }
    den[i] = as_residue(mul_mod_d(ad, pd, m));
  }
}

KALVEX_CLONES void apply_block_sum(int64_t length, const Modulus m, double an, double ad, int64_t* num, int64_t* den) {
  apply_block<Running::Sum>(length, m, an, ad, num, den);
}

KALVEX_CLONES void apply_block_product(int64_t length, const Modulus m, double an, double ad, int64_t* num,
                                       int64_t* den) {
  apply_block<Running::Product>(length, m, an, ad, num, den);
}

// Work split: one task per row and stretch of blocks.
template <typename F>
void for_each_row_blocks(int64_t rows, int64_t blocks, F&& f) {
  at::parallel_for(0, rows * blocks, 256, [&](int64_t begin, int64_t end) {
    while (begin < end) {
      const int64_t r = begin / blocks, b = begin % blocks;
      const int64_t stop = std::min(end - r * blocks, blocks);
      f(r, b, stop);
      begin = r * blocks + stop;
    }
  });
}

int64_t block_count(int64_t n) { return (n + kRunningBlock - 1) / kRunningBlock; }

}  // namespace

void block_scan_cpu(Running kind, const int64_t* num, const int64_t* den, int64_t rows, int64_t n,
                    const int64_t* primes, int64_t* out_num, int64_t* out_den) {
  at::parallel_for(0, rows, 1, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r) {
      const int64_t o = r * n;
      if (kind == Running::Sum) {
        scan_row<Running::Sum>(num + o, den + o, n, primes[r], out_num + o, out_den + o);
      } else {
        scan_row<Running::Product>(num + o, den + o, n, primes[r], out_num + o, out_den + o);
      }
    }
  });
}

void apply_starts_cpu(Running kind, int64_t rows, int64_t n, const int64_t* primes, const int64_t* start_num,
                      const int64_t* start_den, int64_t* out_num, int64_t* out_den) {
  const int64_t blocks = block_count(n);
  for_each_row_blocks(rows, blocks, [&](int64_t r, int64_t b_begin, int64_t b_end) {
    const Modulus m(primes[r]);
    for (int64_t b = std::max<int64_t>(b_begin, 1); b < b_end; ++b) {
      const int64_t begin = b * kRunningBlock, length = std::min(kRunningBlock, n - begin);
      const double an = as_double(start_num[r * blocks + b]), ad = as_double(start_den[r * blocks + b]);
      int64_t* pn = out_num + r * n + begin;
      int64_t* pd = out_den + r * n + begin;
      if (kind == Running::Sum) {
        apply_block_sum(length, m, an, ad, pn, pd);
      } else {
        apply_block_product(length, m, an, ad, pn, pd);
      }
    }
  });
}

namespace {

// Per row: the numerator sum of each block modulo p, and the count of
// denominators other than the first.
KALVEX_CLONES int64_t block_sums_row(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t n,
                                     int64_t p, int64_t* __restrict__ sums) {
  const int64_t first = den[0];
  int64_t differing = 0;
  for (int64_t begin = 0, b = 0; begin < n; begin += kRunningBlock, ++b) {
    const int64_t end = std::min(n, begin + kRunningBlock);
    // At most 32 residues below 2^31; unsigned, so that a record holding
    // residues out of range gives garbage rather than undefined behaviour.
    uint64_t s = 0;
    for (int64_t i = begin; i < end; ++i) {
      s += static_cast<uint64_t>(num[i]);
      differing += den[i] != first;
    }
    sums[b] = static_cast<int64_t>(s % static_cast<uint64_t>(p));
  }
  return differing;
}

// One block of running sums over a shared denominator d (dpow[k] = d^k):
// with c = start_num * d, the value after k + 1 elements is
// (d^k (c + start_den S_k), start_den d^(k+1)).
KALVEX_CLONES void shared_block(const int64_t* __restrict__ num, int64_t length, const Modulus m,
                                const double* __restrict__ dpow, double an, double ad, int64_t* __restrict__ out_num,
                                int64_t* __restrict__ out_den) {
  // Plain prefix sums (at most 32 residues below 2^31: below 2^36, exact as
  // doubles), reduced in the vectorised loop: no branch per element.
  double prefix[kRunningBlock];
  double s = 0.0;
  for (int64_t k = 0; k < length; ++k) {
    s += as_double(num[k]);
    prefix[k] = s;
  }
  const double c = mul_mod_d(an, dpow[1], m);
  for (int64_t k = 0; k < length; ++k) {
    double r = std::fma(-std::rint(prefix[k] * m.inv), m.p, prefix[k]);
    r += (r < 0.0) ? m.p : 0.0;
    const double t = add_mod_d(c, mul_mod_d(ad, r, m), m);
    out_num[k] = as_residue(mul_mod_d(dpow[k], t, m));
    out_den[k] = as_residue(mul_mod_d(ad, dpow[k + 1], m));
  }
}

}  // namespace

bool shared_denominator_sums(const int64_t* num, const int64_t* den, int64_t rows, int64_t n,
                             const int64_t* primes, int64_t* sums) {
  const int64_t blocks = block_count(n);
  std::vector<int64_t> differing(rows, 0);
  at::parallel_for(0, rows, 1, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r)
      differing[r] = block_sums_row(num + r * n, den + r * n, n, primes[r], sums + r * blocks);
  });
  return std::all_of(differing.begin(), differing.end(), [](int64_t d) { return d == 0; });
}

void shared_denominator_running_sums(const int64_t* num, const int64_t* den, int64_t rows, int64_t n,
                                     const int64_t* primes, const int64_t* start_num, const int64_t* start_den,
                                     int64_t* out_num, int64_t* out_den) {
  const int64_t blocks = block_count(n);
  for_each_row_blocks(rows, blocks, [&](int64_t r, int64_t b_begin, int64_t b_end) {
    const Modulus m(primes[r]);
    double dpow[kRunningBlock + 1];
    dpow[0] = 1.0;
    for (int64_t k = 1; k <= kRunningBlock; ++k) dpow[k] = mul_mod_d(dpow[k - 1], as_double(den[r * n]), m);
    for (int64_t b = b_begin; b < b_end; ++b) {
      const int64_t begin = b * kRunningBlock, length = std::min(kRunningBlock, n - begin);
      const int64_t o = r * n + begin;
      shared_block(num + o, length, m, dpow, as_double(start_num[r * blocks + b]),
                   as_double(start_den[r * blocks + b]), out_num + o, out_den + o);
    }
  });
}

}  // namespace kalvex
