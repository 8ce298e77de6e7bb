// mkimage: integer literals between digits and base-256 magnitudes, both ways in
// subquadratic time. Owns no globals. Prefix mk.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Digit values (each below radix, most significant first) to a little-endian base-256
// magnitude without leading zero bytes.
std::vector<uint8_t> mkMagnitudeOf(const std::vector<uint8_t>& digits, int radix);

// A little-endian base-256 magnitude in decimal ("0" for none).
std::string mkDecimalOf(const std::vector<uint8_t>& magnitude);
