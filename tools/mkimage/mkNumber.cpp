// mkimage: integer literals between digits and base-256 magnitudes. Owns no globals.
// Prefix mk.
#include "mkNumber.h"

#include <cstdio>
#include <utility>

// Both directions evaluate a sequence of digits d0 + d1 R + d2 R^2 ... in another base B:
// source digits in limbs of 2^32, or limbs of 2^32 in base 10^9. The value of a sequence is
// high x R^len(low) + low, combined level by level with Karatsuba products, so a million
// digits take a fraction of a second where a pass over the result per digit takes minutes.
// Limbs are least significant first, each below B; B <= 2^32 keeps every product and carry
// within 64 bits.
typedef std::vector<uint32_t> Limbs;

enum { karatsubaCutoff = 32 };  // limbs below which the schoolbook product is faster

static void trimLimbs(Limbs& a) {
  while (!a.empty() && a.back() == 0) a.pop_back();
}

// r += a x B^at, growing r as the carry needs.
template <uint64_t B>
static void addShifted(Limbs& r, const Limbs& a, size_t at) {
  if (r.size() < at + a.size()) r.resize(at + a.size(), 0);
  uint64_t carry = 0;
  for (size_t i = 0; i < a.size(); i++) {
    carry += uint64_t(r[at + i]) + a[i];
    r[at + i] = uint32_t(carry % B);
    carry /= B;
  }
  for (size_t k = at + a.size(); carry; k++) {
    if (k == r.size()) r.push_back(0);
    carry += r[k];
    r[k] = uint32_t(carry % B);
    carry /= B;
  }
}

// a -= b, where a >= b.
template <uint64_t B>
static void subtractLimbs(Limbs& a, const Limbs& b) {
  uint64_t borrow = 0;
  for (size_t i = 0; i < a.size() && (i < b.size() || borrow); i++) {
    uint64_t take = (i < b.size() ? b[i] : 0) + borrow;
    borrow = a[i] < take;
    a[i] = uint32_t(a[i] + (borrow ? B : 0) - take);
  }
}

template <uint64_t B>
static Limbs multiplySchool(const uint32_t* a, size_t na, const uint32_t* b, size_t nb) {
  Limbs r(na + nb, 0);
  for (size_t i = 0; i < na; i++) {
    uint64_t carry = 0;
    for (size_t j = 0; j < nb; j++) {
      carry += uint64_t(a[i]) * b[j] + r[i + j];  // at most B^2 - 1
      r[i + j] = uint32_t(carry % B);
      carry /= B;
    }
    r[i + nb] = uint32_t(carry);
  }
  return r;
}

template <uint64_t B>
static Limbs multiplyLimbs(const uint32_t* a, size_t na, const uint32_t* b, size_t nb) {
  if (na < nb) std::swap(a, b), std::swap(na, nb);
  if (nb < karatsubaCutoff) return multiplySchool<B>(a, na, b, nb);
  size_t m = na / 2;
  if (nb <= m) {  // b against each half of a
    Limbs r = multiplyLimbs<B>(a, m, b, nb);
    addShifted<B>(r, multiplyLimbs<B>(a + m, na - m, b, nb), m);
    return r;
  }
  Limbs low = multiplyLimbs<B>(a, m, b, m), high = multiplyLimbs<B>(a + m, na - m, b + m, nb - m);
  Limbs sa(a, a + m), sb(b, b + m);
  addShifted<B>(sa, Limbs(a + m, a + na), 0);
  addShifted<B>(sb, Limbs(b + m, b + nb), 0);
  Limbs middle = multiplyLimbs<B>(sa.data(), sa.size(), sb.data(), sb.size());
  subtractLimbs<B>(middle, low);
  subtractLimbs<B>(middle, high);
  trimLimbs(middle);
  Limbs r = low;
  addShifted<B>(r, middle, m);
  addShifted<B>(r, high, 2 * m);
  return r;
}

template <uint64_t B>
static Limbs multiplyLimbs(const Limbs& a, const Limbs& b) {
  Limbs r = multiplyLimbs<B>(a.data(), a.size(), b.data(), b.size());
  trimLimbs(r);
  return r;
}

template <uint64_t B>
static Limbs limbsOf(uint64_t v) {
  Limbs r;
  for (; v; v /= B) r.push_back(uint32_t(v % B));
  return r;
}

// The value of digits (least significant first, each below R) in limbs of base B.
template <uint64_t B>
static Limbs evaluate(const std::vector<uint32_t>& digits, uint64_t R) {
  std::vector<Limbs> level;  // all but the last stand for the same number of digits
  for (uint32_t d : digits) level.push_back(limbsOf<B>(d));
  Limbs power = limbsOf<B>(R);  // R to the digits one full element stands for
  while (level.size() > 1) {
    std::vector<Limbs> next;
    for (size_t i = 0; i + 1 < level.size(); i += 2) {
      Limbs v = multiplyLimbs<B>(level[i + 1], power);
      addShifted<B>(v, level[i], 0);
      trimLimbs(v);
      next.push_back(std::move(v));
    }
    if (level.size() % 2) next.push_back(std::move(level.back()));
    level.swap(next);
    if (level.size() > 1) power = multiplyLimbs<B>(power, power);
  }
  return level.empty() ? Limbs() : level[0];
}

static const uint64_t limbBase = uint64_t(1) << 32, decimalBase = 1000000000;

std::vector<uint8_t> mkMagnitudeOf(const std::vector<uint8_t>& digits, int radix) {
  size_t per = 1;  // source digits in one chunk: radix^per fits a limb
  uint64_t chunkBase = uint64_t(radix);
  while (chunkBase * uint64_t(radix) < limbBase) chunkBase *= uint64_t(radix), per++;
  std::vector<uint32_t> chunks;  // least significant first; the last may be shorter
  for (size_t end = digits.size(); end > 0;) {
    size_t start = end > per ? end - per : 0;
    uint64_t v = 0;
    for (size_t i = start; i < end; i++) v = v * uint64_t(radix) + digits[i];
    chunks.push_back(uint32_t(v));
    end = start;
  }
  std::vector<uint8_t> mag;
  for (uint32_t limb : evaluate<limbBase>(chunks, chunkBase))
    for (int k = 0; k < 4; k++) mag.push_back(uint8_t(limb >> (8 * k)));
  while (!mag.empty() && mag.back() == 0) mag.pop_back();
  return mag;
}

std::string mkDecimalOf(const std::vector<uint8_t>& magnitude) {
  std::vector<uint32_t> limbs((magnitude.size() + 3) / 4, 0);
  for (size_t i = 0; i < magnitude.size(); i++) limbs[i / 4] |= uint32_t(magnitude[i]) << (8 * (i % 4));
  Limbs groups = evaluate<decimalBase>(limbs, limbBase);  // nine decimal digits a limb
  if (groups.empty()) return "0";
  std::string out = std::to_string(groups.back());
  char buf[16];
  for (size_t i = groups.size() - 1; i-- > 0;) {
    snprintf(buf, sizeof buf, "%09u", unsigned(groups[i]));
    out += buf;
  }
  return out;
}
