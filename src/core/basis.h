#pragma once
// The fixed basis of 20 primes just below 2^31, in the order of the prime axis.
#include <array>
#include <cstdint>

namespace kalvex {

constexpr int kNumPrimes = 20;

constexpr std::array<int64_t, kNumPrimes> kStandardPrimes = {
    2147483629, 2147483587, 2147483549, 2147483489, 2147483477, 2147483423, 2147483399,
    2147483353, 2147483323, 2147483269, 2147483249, 2147483237, 2147483179, 2147483171,
    2147483137, 2147483123, 2147483077, 2147483069, 2147483059, 2147483053};

}  // namespace kalvex
