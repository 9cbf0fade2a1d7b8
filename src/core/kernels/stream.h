#pragma once
// Non-temporal stores for results far larger than the caches: the hardware
// then skips reading each destination line before overwriting it, which is a
// third of the memory traffic of an element-wise op with two outputs.
#include <cstdint>
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kalvex::kernels {

// Outputs at least this large (bytes) are written with streaming stores.
constexpr int64_t kStreamingThreshold = int64_t{8} << 20;

inline void stream_copy(int64_t* dst, const int64_t* src, int64_t n) {
  int64_t i = 0;
#if defined(__SSE2__)
  if (reinterpret_cast<uintptr_t>(dst) % 16 != 0 && n > 0) {
    dst[0] = src[0];
    i = 1;
  }
  for (; i + 2 <= n; i += 2)
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
#endif
  for (; i < n; ++i) dst[i] = src[i];
}

inline void stream_fill(int64_t* dst, int64_t value, int64_t n) {
  int64_t i = 0;
#if defined(__SSE2__)
  if (reinterpret_cast<uintptr_t>(dst) % 16 != 0 && n > 0) {
    dst[0] = value;
    i = 1;
  }
  const __m128i pair = _mm_set1_epi64x(value);
  for (; i + 2 <= n; i += 2) _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), pair);
#endif
  for (; i < n; ++i) dst[i] = value;
}

// Orders the streaming stores of this thread before whatever follows.
inline void stream_fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

}  // namespace kalvex::kernels
