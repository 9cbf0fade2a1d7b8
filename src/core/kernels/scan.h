#pragma once
// The launchers of running values in blocks (NOTE: [Running values in
// blocks of 32]): a fold step (AddOp, MulOp: residue_ops.h) scanned within
// every block of a row, and block starts folded into the blocks.  The CPU
// runs the blocks of a row side by side in vector lanes; other devices run
// doubling steps over whole tensors with the element-wise launcher.
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

namespace kalvex::kernels {

constexpr int64_t kRunningBlock = 32;

inline int64_t block_count(int64_t n) { return (n + kRunningBlock - 1) / kRunningBlock; }

// The running values of num/den [P, n] (n >= 1, row i modulo primes[i])
// within each block of kRunningBlock elements: element i of block b holds
// x[32 b] (+) ... (+) x[i].  Contiguous [P, n] results.
template <typename Op>
void scan_blocks(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, at::Tensor& out_num,
                 at::Tensor& out_den);

// The block scan's totals, the last element of every block, as
// [2, P, blocks] int64 where the scan ran.
at::Tensor block_totals(const at::Tensor& scanned_num, const at::Tensor& scanned_den);

// num/den [P, n] from scan_blocks, with start b [P, blocks] (on any device)
// folded in front of every element of block b: the running values.
template <typename Op>
void fold_starts(const at::Tensor& start_num, const at::Tensor& start_den, const at::Tensor& primes,
                 at::Tensor& num, at::Tensor& den);

// Running sums whose denominators in each row all equal the row's first one,
// on the CPU: the numerator sum of every block modulo its prime, [P, blocks]
// on the host; none where the host loops do not run or some denominator differs.
c10::optional<at::Tensor> shared_denominator_block_sums(const at::Tensor& num, const at::Tensor& den,
                                                        const at::Tensor& primes);

// The running sums of such rows, from their shared denominators d (host
// int64 [P]) and the block starts [P, blocks]: with S_k a block's numerator
// sum up to its k-th element (k from 0), start (+) (d^k S_k, d^(k+1)).
void shared_denominator_running_sums(const at::Tensor& num, const at::Tensor& shared_den, const at::Tensor& primes,
                                     const at::Tensor& start_num, const at::Tensor& start_den, at::Tensor& out_num,
                                     at::Tensor& out_den);

}  // namespace kalvex::kernels
