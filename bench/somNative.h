// The SOM benchmark programs' algorithms in C++ (-O2): each runs its workload n times and
// answers what its program prints.
#pragma once
#include <cstdint>

int64_t nativeRichards(int64_t n);
int64_t nativeRecursion(int64_t n);
int64_t nativeClosedPics(int64_t n);
int64_t nativeOpenPics(int64_t n);
int64_t nativeBlocks(int64_t n);
int64_t nativeSieve(int64_t n);
int64_t nativeDoubles(int64_t n);
int64_t nativeNewArrays(int64_t n);
int64_t nativeValues(int64_t n);
int64_t nativePerforms(int64_t n);
int64_t nativeHanoi(int64_t n);
int64_t nativeTempVectors(int64_t n);
int64_t nativeNBody(int64_t n);
int64_t nativeMandelbrot(int64_t n);
int64_t nativeMatrixNorm(int64_t n);
