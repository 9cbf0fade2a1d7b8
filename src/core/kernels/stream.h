#pragma once
// Non-temporal stores for results far larger than the caches: the hardware
// then skips reading each destination line before overwriting it, which is a
// third of the memory traffic of an element-wise op with two outputs.
#include <cstdint>
#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace kalvex::kernels {

// Outputs at least this large (bytes) are written with streaming stores.
constexpr int64_t kStreamingThreshold = int64_t{8} << 20;

inline void stream_copy(int64_t* dst, const int64_t* src, int64_t n) {
#if defined(__x86_64__) || defined(_M_X64)
  for (int64_t i = 0; i < n; ++i) _mm_stream_si64(reinterpret_cast<long long*>(dst + i), src[i]);
#else
  std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(int64_t));
#endif
}

inline void stream_fill(int64_t* dst, int64_t value, int64_t n) {
#if defined(__x86_64__) || defined(_M_X64)
  for (int64_t i = 0; i < n; ++i) _mm_stream_si64(reinterpret_cast<long long*>(dst + i), value);
#else
  std::fill(dst, dst + n, value);
#endif
}

// Orders the streaming stores of this thread before whatever follows.
inline void stream_fence() {
#if defined(__x86_64__) || defined(_M_X64)
  _mm_sfence();
#endif
}

}  // namespace kalvex::kernels
