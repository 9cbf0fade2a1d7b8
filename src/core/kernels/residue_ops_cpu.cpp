// CPU launchers of the residue kernels.
//
// Rows of residues are contiguous and share one prime, so the hot loops run
// over a row with its modulus hoisted: these loops vectorise (see simd.h).
// Operands that are broadcast or strided go through TensorIterator with a
// per-element modulus.
#include <ATen/Parallel.h>
#include <ATen/TensorIterator.h>

#include "core/kernels/launch.h"
#include "core/kernels/stream.h"
#include "core/simd.h"

namespace kalvex::kernels {

namespace {

constexpr int64_t kGrain = 32768;

using BinaryRowFn = void (*)(const int64_t*, const int64_t*, const int64_t*, const int64_t*, int64_t, int64_t,
                             int64_t*, int64_t*);

template <typename Op>
inline __attribute__((always_inline)) void binary_row(const int64_t* __restrict__ a, const int64_t* __restrict__ b,
                                                      const int64_t* __restrict__ c, const int64_t* __restrict__ d,
                                                      int64_t p, int64_t n, int64_t* __restrict__ num,
                                                      int64_t* __restrict__ den) {
  const Modulus m(p);
  for (int64_t i = 0; i < n; ++i) Op::apply(a[i], b[i], c[i], d[i], m, num[i], den[i]);
}

#define KALVEX_BINARY_ROW(fn, Op)                                                                             \
  KALVEX_CLONES void fn(const int64_t* a, const int64_t* b, const int64_t* c, const int64_t* d, int64_t p,    \
                        int64_t n, int64_t* num, int64_t* den) {                                              \
    binary_row<Op>(a, b, c, d, p, n, num, den);                                                              \
  }
KALVEX_BINARY_ROW(add_row, AddOp)
KALVEX_BINARY_ROW(sub_row, SubOp)
KALVEX_BINARY_ROW(mul_row, MulOp)
KALVEX_BINARY_ROW(div_row, DivOp)
#undef KALVEX_BINARY_ROW

BinaryRowFn row_function(BinaryOp op) {
  switch (op) {
    case BinaryOp::Add: return add_row;
    case BinaryOp::Sub: return sub_row;
    case BinaryOp::Mul: return mul_row;
    case BinaryOp::Div: return div_row;
  }
  return add_row;
}

KALVEX_CLONES void equal_row(const int64_t* __restrict__ a, const int64_t* __restrict__ b,
                             const int64_t* __restrict__ c, const int64_t* __restrict__ d, int64_t p, int64_t n,
                             bool* __restrict__ out) {
  const Modulus m(p);
  for (int64_t i = 0; i < n; ++i) out[i] = cross_equal(a[i], b[i], c[i], d[i], m);
}

KALVEX_CLONES void neg_row(const int64_t* __restrict__ a, int64_t p, int64_t n, int64_t* __restrict__ out) {
  const Modulus m(p);
  for (int64_t i = 0; i < n; ++i) out[i] = neg_mod(a[i], m);
}

// A modulus that is rebuilt only when the prime changes along a strided loop.
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

template <typename T>
T& at_stride(char* base, int64_t stride, int64_t i) {
  return *reinterpret_cast<T*>(base + stride * i);
}

bool unit_strides(const int64_t* strides, int count) {
  for (int k = 0; k < count; ++k)
    if (strides[k] != static_cast<int64_t>(sizeof(int64_t))) return false;
  return true;
}

// Every operand a contiguous [P, n] block of one shape: rows are walked
// directly, without building an iterator (this is most calls, and the only
// cost that matters for one-element values).
bool same_contiguous_rows(std::initializer_list<const at::Tensor*> tensors, const at::Tensor& primes) {
  const at::Tensor& first = **tensors.begin();
  if (first.dim() == 0 || primes.dim() < 1 || primes.size(0) != first.size(0) || !primes.is_contiguous()) return false;
  for (const at::Tensor* t : tensors)
    if (!t->is_contiguous() || !t->sizes().equals(first.sizes())) return false;
  return true;
}

template <typename RowFn>
void for_each_row_span(int64_t rows, int64_t row_length, RowFn&& fn) {
  at::parallel_for(0, rows * row_length, kGrain, [&](int64_t begin, int64_t end) {
    while (begin < end) {
      const int64_t row = begin / row_length;
      const int64_t offset = begin - row * row_length;
      const int64_t length = std::min(row_length - offset, end - begin);
      fn(row, begin, length);
      begin += length;
    }
  });
}

}  // namespace

void binary_cpu(BinaryOp op, BinaryArgs& args) {
  const BinaryRowFn row = row_function(op);
  if (same_contiguous_rows({&args.out_num, &args.out_den, &args.a, &args.b, &args.c, &args.d}, args.primes)) {
    const int64_t rows = args.a.size(0);
    const int64_t length = rows == 0 ? 0 : args.a.numel() / rows;
    const int64_t* p = args.primes.data_ptr<int64_t>();
    const int64_t *a = args.a.data_ptr<int64_t>(), *b = args.b.data_ptr<int64_t>();
    const int64_t *c = args.c.data_ptr<int64_t>(), *d = args.d.data_ptr<int64_t>();
    int64_t *num = args.out_num.data_ptr<int64_t>(), *den = args.out_den.data_ptr<int64_t>();
    if (2 * args.out_num.nbytes() < kStreamingThreshold) {
      for_each_row_span(rows, length, [&](int64_t r, int64_t at, int64_t n) {
        row(a + at, b + at, c + at, d + at, p[r], n, num + at, den + at);
      });
      return;
    }
    // Large results: compute a cache-resident block, then stream it out.
    for_each_row_span(rows, length, [&](int64_t r, int64_t at, int64_t n) {
      constexpr int64_t kBlock = 512;
      int64_t num_block[kBlock], den_block[kBlock];
      for (int64_t done = 0; done < n; done += kBlock) {
        const int64_t count = std::min(kBlock, n - done);
        const int64_t i = at + done;
        row(a + i, b + i, c + i, d + i, p[r], count, num_block, den_block);
        stream_copy(num + i, num_block, count);
        stream_copy(den + i, den_block, count);
      }
      stream_fence();
    });
    return;
  }
  auto iter = binary_iterator(args);
  visit_op(op, [&](auto op_tag) {
    using Op = decltype(op_tag);
    iter.for_each(
        [&](char** data, const int64_t* strides, int64_t n) {
          if (unit_strides(strides, 6) && strides[6] == 0) {
            row(reinterpret_cast<const int64_t*>(data[2]), reinterpret_cast<const int64_t*>(data[3]),
                reinterpret_cast<const int64_t*>(data[4]), reinterpret_cast<const int64_t*>(data[5]),
                *reinterpret_cast<const int64_t*>(data[6]), n, reinterpret_cast<int64_t*>(data[0]),
                reinterpret_cast<int64_t*>(data[1]));
            return;
          }
          ModulusCache cache;
          for (int64_t i = 0; i < n; ++i) {
            const Modulus& m = cache.get(at_stride<int64_t>(data[6], strides[6], i));
            Op::apply(at_stride<int64_t>(data[2], strides[2], i), at_stride<int64_t>(data[3], strides[3], i),
                      at_stride<int64_t>(data[4], strides[4], i), at_stride<int64_t>(data[5], strides[5], i), m,
                      at_stride<int64_t>(data[0], strides[0], i), at_stride<int64_t>(data[1], strides[1], i));
          }
        },
        kGrain);
  });
}

void equal_flags_cpu(EqualArgs& args) {
  if (same_contiguous_rows({&args.a, &args.b, &args.c, &args.d}, args.primes) && args.out.is_contiguous() &&
      args.out.sizes().equals(args.a.sizes())) {
    const int64_t rows = args.a.size(0);
    const int64_t length = rows == 0 ? 0 : args.a.numel() / rows;
    const int64_t* p = args.primes.data_ptr<int64_t>();
    const int64_t *a = args.a.data_ptr<int64_t>(), *b = args.b.data_ptr<int64_t>();
    const int64_t *c = args.c.data_ptr<int64_t>(), *d = args.d.data_ptr<int64_t>();
    bool* out = args.out.data_ptr<bool>();
    for_each_row_span(rows, length, [&](int64_t r, int64_t at, int64_t n) {
      equal_row(a + at, b + at, c + at, d + at, p[r], n, out + at);
    });
    return;
  }
  auto iter = equal_iterator(args);
  iter.for_each(
      [](char** data, const int64_t* strides, int64_t n) {
        if (strides[0] == 1 && unit_strides(strides + 1, 4) && strides[5] == 0) {
          equal_row(reinterpret_cast<const int64_t*>(data[1]), reinterpret_cast<const int64_t*>(data[2]),
                    reinterpret_cast<const int64_t*>(data[3]), reinterpret_cast<const int64_t*>(data[4]),
                    *reinterpret_cast<const int64_t*>(data[5]), n, reinterpret_cast<bool*>(data[0]));
          return;
        }
        ModulusCache cache;
        for (int64_t i = 0; i < n; ++i) {
          const Modulus& m = cache.get(at_stride<int64_t>(data[5], strides[5], i));
          at_stride<bool>(data[0], strides[0], i) =
              cross_equal(at_stride<int64_t>(data[1], strides[1], i), at_stride<int64_t>(data[2], strides[2], i),
                          at_stride<int64_t>(data[3], strides[3], i), at_stride<int64_t>(data[4], strides[4], i), m);
        }
      },
      kGrain);
}

void neg_cpu(NegArgs& args) {
  if (same_contiguous_rows({&args.out_num, &args.a}, args.primes)) {
    const int64_t rows = args.a.size(0);
    const int64_t length = rows == 0 ? 0 : args.a.numel() / rows;
    const int64_t* p = args.primes.data_ptr<int64_t>();
    const int64_t* a = args.a.data_ptr<int64_t>();
    int64_t* out = args.out_num.data_ptr<int64_t>();
    for_each_row_span(rows, length, [&](int64_t r, int64_t at, int64_t n) { neg_row(a + at, p[r], n, out + at); });
    return;
  }
  auto iter = neg_iterator(args);
  iter.for_each(
      [](char** data, const int64_t* strides, int64_t n) {
        if (unit_strides(strides, 2) && strides[2] == 0) {
          neg_row(reinterpret_cast<const int64_t*>(data[1]), *reinterpret_cast<const int64_t*>(data[2]), n,
                  reinterpret_cast<int64_t*>(data[0]));
          return;
        }
        ModulusCache cache;
        for (int64_t i = 0; i < n; ++i) {
          const Modulus& m = cache.get(at_stride<int64_t>(data[2], strides[2], i));
          at_stride<int64_t>(data[0], strides[0], i) = neg_mod(at_stride<int64_t>(data[1], strides[1], i), m);
        }
      },
      kGrain);
}

}  // namespace kalvex::kernels
