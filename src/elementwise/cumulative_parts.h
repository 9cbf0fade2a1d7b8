#pragma once
// The pieces of the running sums and products (NOTE: [Running values in
// blocks of 32]): the host pass over block totals and the CPU scans.
// Residue arrays are row-major [rows][columns], row r modulo primes[r].
#include <cstdint>

#include "core/bit_bounds.h"
#include "elementwise/cumulative.h"
#include "reconstruct/crt.h"

namespace kalvex {

constexpr int64_t kRunningBlock = 32;

// The totals of the blocks, column b for block b, in one of two forms.
struct BlockTotals {
  int64_t rows = 0;
  int64_t blocks = 0;  // columns of the arrays below
  // The total pair of each block.
  const int64_t* num = nullptr;
  const int64_t* den = nullptr;
  // Or, for sums whose elements share one denominator d per row: the
  // numerator sum S of each block and d; the total of a full block is
  // (d^31 S, d^32), of the same value as S / d.
  const int64_t* sums = nullptr;
  const int64_t* shared_den = nullptr;  // [rows]
  // The sizes of the elements' integers (NOTE: [Size bounds]).
  BitBounds element_bits;
};

// start[:, 0] is the empty running value (0/1 or 1/1); start[:, b + 1] is
// start[:, b] (+) total b, in lowest terms where it can be (see the NOTE).
// `start_num` and `start_den` are [rows][blocks].
void block_starts(Running kind, const BlockTotals& totals, const CrtBasis& basis, int64_t* start_num,
                  int64_t* start_den);

// ---- CPU scans over contiguous rows of n elements ----------------------------

// P_i of every block into out (the block-local running values).
void block_scan_cpu(Running kind, const int64_t* num, const int64_t* den, int64_t rows, int64_t n,
                    const int64_t* primes, int64_t* out_num, int64_t* out_den);

// out = start(b) (+) out for every block b >= 1.
void apply_starts_cpu(Running kind, int64_t rows, int64_t n, const int64_t* primes, const int64_t* start_num,
                      const int64_t* start_den, int64_t* out_num, int64_t* out_den);

// For sums whose denominators in each row all equal the row's first one:
// the numerator sum of every block into sums [rows][blocks]; false (the sums
// then meaningless) when some row has another denominator.
bool shared_denominator_sums(const int64_t* num, const int64_t* den, int64_t rows, int64_t n,
                             const int64_t* primes, int64_t* sums);

// The running sums of such rows, written directly from the block starts: with
// d the shared denominator and S_k the block's numerator sum up to its k-th
// element (k from 0), P = (d^k S_k, d^(k+1)).
void shared_denominator_running_sums(const int64_t* num, const int64_t* den, int64_t rows, int64_t n,
                                     const int64_t* primes, const int64_t* start_num, const int64_t* start_den,
                                     int64_t* out_num, int64_t* out_den);

}  // namespace kalvex
