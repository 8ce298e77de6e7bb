// Primitives: the enumeration primitives 77, 78, 163, 197, 198, 402-404, 408, 440, 530, 531.
// Owns no global record. Prefix: none (initEnumerationPrims).
#pragma once

void initEnumerationPrims();
