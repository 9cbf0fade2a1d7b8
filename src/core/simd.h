#pragma once
// KALVEX_CLONES marks a hot loop to be compiled for several x86-64 levels and
// picked at load time by the CPU it runs on (AVX-512, AVX2 with FMA, baseline).
// The level names need GCC 11; other compilers build the loop once.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__CUDACC__) && __GNUC__ >= 11
#define KALVEX_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define KALVEX_CLONES
#endif
