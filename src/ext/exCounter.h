// High-resolution counter readings as microseconds: floor(count x 1000000 / frequency), exact
// for every 64-bit count and frequency (a platform's counter can run at any rate).
// Prefix: none (countToMicroseconds).
#pragma once
#include <cstdint>

uint64_t countToMicroseconds(uint64_t count, uint64_t frequency);
