// Primitives: small services for primitive code (class membership).
// Owns no global. Prefix: none (isKindOf).
#include "prim/prUtil.h"

#include "mman/mmSysOop.h"

int isKindOf(oop object, oop cls) {
  if (cls == nilOop()) return 0;
  for (oop c = classOf(object); c != nilOop(); c = superclassOf(c))
    if (c == cls) return 1;
  return 0;
}
