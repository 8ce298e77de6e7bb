// Snapshot files: the name of the new file a snapshot writes beside its target, shared by the
// platform layers, so that the next save to a target knows the file a killed save left.
// Prefix: snapshotTemp, isSnapshotTempOf.
#pragma once
#include <cctype>
#include <cstdint>
#include <cstring>

// "<target>.saving-" and six letters or digits.
inline constexpr char snapshotTempMarker[] = ".saving-";
enum : uint64_t {
  snapshotTempMarkerChars = sizeof snapshotTempMarker - 1,
  snapshotTempSuffixChars = 6,
  snapshotTempNameExtra = snapshotTempMarkerChars + snapshotTempSuffixChars,  // beyond the target's
};

// Writes target's name into out, which has room for snapshotTempNameExtra bytes more than
// target and its NUL; each seed gives another six.
inline void snapshotTempName(char* out, const char* target, uint64_t seed) {
  static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  size_t n = strlen(target);
  memcpy(out, target, n);
  memcpy(out + n, snapshotTempMarker, snapshotTempMarkerChars);
  seed *= 0x9E3779B97F4A7C15u;
  for (uint64_t i = 0; i < snapshotTempSuffixChars; i++, seed >>= 6)
    out[n + snapshotTempMarkerChars + i] = letters[(seed & 63) % 62];
  out[n + snapshotTempNameExtra] = 0;
}

// Whether name, in the directory of the file named base, is that form of base's name.
inline bool isSnapshotTempOf(const char* name, const char* base) {
  size_t b = strlen(base);
  if (strncmp(name, base, b) != 0 || strncmp(name + b, snapshotTempMarker, snapshotTempMarkerChars) != 0)
    return false;
  const char* suffix = name + b + snapshotTempMarkerChars;
  if (strlen(suffix) != snapshotTempSuffixChars) return false;
  for (const char* c = suffix; *c != 0; c++)
    if (!isalnum((unsigned char)*c)) return false;
  return true;
}
