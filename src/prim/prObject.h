// Primitives: the object primitives (identity, class, identity hash, immutability, changing an
// object's class). Owns no global record. Prefix: none (initObjectPrims).
#pragma once

void initObjectPrims();
