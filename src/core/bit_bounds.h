#pragma once
// NOTE: [Size bounds]
// Residues say nothing about how large the integers they stand for are: a
// numerator of 2^700 and one of 2^700 mod M have the same residues.  The read
// back (NOTE: [Robust read-back]) proves most values by themselves (a small
// literal pair, an accepted reconstruction); a literal pair with a half of
// 556 to 619 bits it can only take as the value when it is known that the
// integers are in the signed range.  So every value carries, for each half,
// an upper bound on log2 of the magnitude of the integers it holds:
//   - tight for what the constructors make (from_int(v) holds log2 |v|);
//   - carried by every operation: log2 |a*d + b*c| is at most
//     max(log2 |a*d|, log2 |b*c|) + 1, log2 |a*c| is log2 |a| + log2 |c|, a
//     selection or a reshape keeps the bound of what it selects from;
//   - kRangeBound for records built from raw residues: the caller vouches
//     that their integers are in range, as residues alone cannot.
// Bounds count in 1/1024 of a bit, rounded up, so that a long product of
// small integers (k!) is bounded within a fraction of a bit of its size
// rather than by the sum of the bit lengths.  A half is known to be in range
// when its bound is at most kRangeBound, just below log2(M // 2): a value a
// constructor knows to be at most M // 2 is given that bound itself, and any
// result computed from it exceeds the bound unless its other factors are 1.
// Bounds saturate at kUnknownBound, which is also what a value whose sizes
// nobody computed carries: its literal pair is never taken on trust.
//
// Where they are known, lower bounds are carried too (what constructors make,
// and products and quotients of it: log2 |a*c| is log2 |a| + log2 |c|; a sum
// may cancel, so its numerator has none).  They let the read-back refuse a
// reading that the sizes rule out: from_int(M - 1) has the residues of -1,
// which no reading can tell from -1, but a value of 620 bits over 1 is not -1.
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kalvex {

constexpr int64_t kBoundUnit = 1024;                        // bound units per bit
constexpr int64_t kRangeBound = 619 * kBoundUnit - 1;       // log2(M // 2) is 619 - 7e-6
constexpr int64_t kUnknownBound = int64_t{1} << 50;         // nothing known
constexpr int64_t kNoFloor = -1;                            // no lower bound: may be 0, or unknown

struct BitBounds {
  int64_t num = kUnknownBound;  // upper bounds on log2 |N|, log2 |D|
  int64_t den = kUnknownBound;
  int64_t num_floor = kNoFloor;  // lower bounds, where known
  int64_t den_floor = kNoFloor;
};

// What a record built from raw residues is taken to hold.
constexpr BitBounds kAssumedInRange{kRangeBound, kRangeBound};

inline bool in_range(int64_t bound) { return bound <= kRangeBound; }
inline bool in_range(const BitBounds& b) { return in_range(b.num) && in_range(b.den); }

namespace bounds {

inline int64_t saturated(int64_t v) { return std::min(std::max<int64_t>(v, 0), kUnknownBound); }

inline int64_t plus(int64_t a, int64_t b) { return saturated(saturated(a) + saturated(b)); }

inline int64_t times(int64_t count, int64_t v) {
  v = saturated(v);
  if (count <= 0 || v == 0) return 0;
  if (count >= kUnknownBound || v > kUnknownBound / count) return kUnknownBound;
  return count * v;
}

// log2(count), rounded up: the growth of a sum of count terms.
inline int64_t growth(int64_t count) {
  if (count <= 1) return 0;
  return static_cast<int64_t>(std::ceil(std::log2(static_cast<double>(count)) * kBoundUnit)) + 1;
}

// |v| < 2^bits.
inline int64_t of_bits(int64_t bits) { return times(bits, kBoundUnit); }

inline int64_t floor_plus(int64_t a, int64_t b) {
  return a == kNoFloor || b == kNoFloor ? kNoFloor : std::min(a + b, kUnknownBound);
}

inline int64_t floor_times(int64_t count, int64_t a) {
  if (a == kNoFloor || count <= 0) return kNoFloor;
  return times(count, a);
}

}  // namespace bounds

// x + y and x - y, cross-multiplied.
inline BitBounds sum_bounds(const BitBounds& x, const BitBounds& y) {
  const int64_t ad = bounds::plus(x.num, y.den), bc = bounds::plus(x.den, y.num);
  return {bounds::plus(std::max(ad, bc), kBoundUnit), bounds::plus(x.den, y.den), kNoFloor,
          bounds::floor_plus(x.den_floor, y.den_floor)};
}

inline BitBounds product_bounds(const BitBounds& x, const BitBounds& y) {
  return {bounds::plus(x.num, y.num), bounds::plus(x.den, y.den), bounds::floor_plus(x.num_floor, y.num_floor),
          bounds::floor_plus(x.den_floor, y.den_floor)};
}

inline BitBounds quotient_bounds(const BitBounds& x, const BitBounds& y) {
  return {bounds::plus(x.num, y.den), bounds::plus(x.den, y.num), bounds::floor_plus(x.num_floor, y.den_floor),
          bounds::floor_plus(x.den_floor, y.num_floor)};
}

// The unreduced sum of `count` values bounded by x (NOTE: [Unreduced sums]):
// N = sum_i n_i prod_{j != i} d_j, D = prod_j d_j, whatever the order.
inline BitBounds sum_of_bounds(const BitBounds& x, int64_t count) {
  if (count <= 0) return {0, 0, kNoFloor, 0};  // 0/1
  if (count == 1) return x;
  const int64_t rest = bounds::times(count - 1, x.den);
  return {bounds::plus(bounds::plus(x.num, rest), bounds::growth(count)), bounds::times(count, x.den), kNoFloor,
          bounds::floor_times(count, x.den_floor)};
}

// The sum of `count` values bounded by x that share one denominator, as
// (sum of the numerators) / (that denominator).
inline BitBounds shared_denominator_sum_bounds(const BitBounds& x, int64_t count) {
  if (count <= 1) return x;
  return {bounds::plus(x.num, bounds::growth(count)), x.den, kNoFloor, x.den_floor};
}

// The unreduced product of `count` values bounded by x (x^count likewise).
inline BitBounds product_of_bounds(const BitBounds& x, int64_t count) {
  if (count <= 0) return {0, 0, 0, 0};  // 1/1
  return {bounds::times(count, x.num), bounds::times(count, x.den), bounds::floor_times(count, x.num_floor),
          bounds::floor_times(count, x.den_floor)};
}

// Values taken from either of two tensors, element by element.
inline BitBounds either_bounds(const BitBounds& x, const BitBounds& y) {
  return {std::max(x.num, y.num), std::max(x.den, y.den), std::min(x.num_floor, y.num_floor),
          std::min(x.den_floor, y.den_floor)};
}

inline BitBounds swapped(const BitBounds& x) { return {x.den, x.num, x.den_floor, x.num_floor}; }

}  // namespace kalvex
