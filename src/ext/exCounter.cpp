// High-resolution counter readings as microseconds, in 96-bit arithmetic of 32-bit digits.
#include "ext/exCounter.h"

// The quotient of the 96-bit number hi:mid:lo (32-bit digits) by divisor, one digit at a time
// while the divisor fits 32 bits, else a bit at a time.
static uint64_t divide96(uint32_t hi, uint32_t mid, uint32_t lo, uint64_t divisor) {
  const uint32_t digits[3] = {hi, mid, lo};
  uint64_t quotient = 0, remainder = 0;
  if (divisor <= 0xFFFFFFFFu) {
    for (uint32_t d : digits) {
      uint64_t current = (remainder << 32) | d;
      quotient = (quotient << 32) | (current / divisor);
      remainder = current % divisor;
    }
    return quotient;
  }
  for (int bit = 95; bit >= 0; bit--) {
    uint64_t top = remainder >> 63;
    remainder = (remainder << 1) | ((digits[2 - bit / 32] >> (bit % 32)) & 1);
    quotient <<= 1;
    if (top != 0 || remainder >= divisor) {
      remainder -= divisor;
      quotient |= 1;
    }
  }
  return quotient;
}

// count x 10^6 as three 32-bit digits: each half of the count times 10^6 fits 52 bits. A
// frequency of whole megahertz needs one division.
uint64_t countToMicroseconds(uint64_t count, uint64_t frequency) {
  if (frequency % 1000000 == 0) return count / (frequency / 1000000);
  uint64_t low = (count & 0xFFFFFFFFu) * 1000000, high = (count >> 32) * 1000000;
  uint64_t mid = (low >> 32) + (high & 0xFFFFFFFFu);
  return divide96(uint32_t((high >> 32) + (mid >> 32)), uint32_t(mid), uint32_t(low), frequency);
}

