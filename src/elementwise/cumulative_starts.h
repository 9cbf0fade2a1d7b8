#pragma once
// The exact host pass over the block totals of running sums and products
// (NOTE: [Running values in blocks of 32]).  Residue arrays are row-major
// [rows][columns], row r modulo primes[r].
#include <cstdint>

#include "core/bit_bounds.h"
#include "core/kernels/scan.h"
#include "elementwise/cumulative.h"
#include "reconstruct/crt.h"

namespace kalvex {

using kernels::kRunningBlock;

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

}  // namespace kalvex
