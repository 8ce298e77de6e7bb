// Primitives: SmallInteger arithmetic, comparison, bit and shift operations (1-18, 55-58).
// Owns no global record.
// Prefix: none (initArithmeticPrims).
#pragma once

// Registers primitives 1-18 and 55-58 as C primitives of one argument, in number order.
void initArithmeticPrims();
