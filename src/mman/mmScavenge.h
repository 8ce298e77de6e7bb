// Object memory: generation scavenger (its start-up sizing; the collector comes later).
// Owns tenureThreshold. Prefix: none (initScavenger, getTenureThreshold).
#pragma once
#include <cstdint>

extern int64_t tenureThreshold;  // slots: survivors beyond this many past-space slots are tenured
enum : uint64_t { platformTenureThreshold = 61440 };  // bytes: the default threshold

// Start-up, once the spaces are placed: the threshold becomes bytes / 8 slots, but never more
// than past space's slots less 250; answers the threshold in bytes.
int64_t initScavenger(uint64_t bytes);
int64_t getTenureThreshold();
