// Primitives: byte- and bit-order helpers for buffers (bitmaps, pixel rows), and the
// scan-character primitives 956 and 972 of text layout. Owns the three per-byte lookup tables.
// Prefix: none (reverseBitsInData, swap..., initScanCharPrimitives).
#pragma once
#include <cstdint>

// In place over n bytes at p (any alignment). The per-byte helpers change every byte; the
// unit helpers change every whole unit and leave a shorter tail as it is.
void reverseBitsInData(uint8_t* p, uint64_t n);  // bit 0 <-> bit 7, ...
void swapFourQ2s(uint8_t* p, uint64_t n);        // the four 2-bit fields in reverse order
void swapTwoQ4s(uint8_t* p, uint64_t n);         // the two 4-bit halves exchanged
void swapTwoQ8s(uint8_t* p, uint64_t n);         // each 16-bit unit's bytes exchanged
void swapFourQ8s(uint8_t* p, uint64_t n);        // each 32-bit unit's bytes reversed
// Each of rows rows of rowBytes bytes: bytes 0 and 2 of every whole 3-byte unit exchanged.
void swapThreeQ8s(uint8_t* p, uint64_t rowBytes, uint64_t rows);

// Registers 956 (5 arguments) and 972 (6 arguments).
void initScanCharPrimitives();
