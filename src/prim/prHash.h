// Primitives: content hashes of byte objects and immediates (1700-1702, 1747) and in-place
// byte reversal of 2-, 4-, 8- and 16-byte units (1750-1753). Owns no global record.
// Prefix: none (initHashPrimitives, initBytePrimitives).
#pragma once

void initHashPrimitives();
void initBytePrimitives();
