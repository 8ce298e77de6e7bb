// Object memory: the string primitives.
// Prefix: none.
#include "mman/mmString.h"

#include "mman/mmSubscript.h"
#include "tran/tprim.h"

void initStringPrims() { addCPrimitive(414, reinterpret_cast<const void*>(primTwoByteReplace), 4); }
