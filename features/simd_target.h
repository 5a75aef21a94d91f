#pragma once

// Compiles the code between two markers for AVX2 (with or without FMA) or AVX-512 (chosen at run time
// by the caller), under GCC and clang alike: clang ignores GCC's target pragma.
#if defined(__clang__)
#define CASTELLAN_BEGIN_AVX2 _Pragma("clang attribute push (__attribute__((target(\"avx2\"))), apply_to = function)")
#define CASTELLAN_END_AVX2 _Pragma("clang attribute pop")
#define CASTELLAN_BEGIN_AVX2_FMA \
    _Pragma("clang attribute push (__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define CASTELLAN_END_AVX2_FMA _Pragma("clang attribute pop")
#define CASTELLAN_BEGIN_AVX512 \
    _Pragma("clang attribute push (__attribute__((target(\"avx512f\"))), apply_to = function)")
#define CASTELLAN_END_AVX512 _Pragma("clang attribute pop")
#else
#define CASTELLAN_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define CASTELLAN_END_AVX2 _Pragma("GCC pop_options")
#define CASTELLAN_BEGIN_AVX2_FMA _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")
#define CASTELLAN_END_AVX2_FMA _Pragma("GCC pop_options")
#define CASTELLAN_BEGIN_AVX512 _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f\")")
#define CASTELLAN_END_AVX512 _Pragma("GCC pop_options")
#endif
