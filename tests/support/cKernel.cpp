// Test support: the C test heap.
#include "support/cKernel.h"

#include <cstring>

#include "prim/prCall.h"
#include "prim/prMessage.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prCKind.h"
#include "support/ioKernel.h"

CTestClasses cTestClasses;

static oop classWithSuper(uint64_t format, oop superclass) {
  uint32_t index = newTestClass(format);
  oop cls = classAt(index);
  bodyOf(headerOf(cls))[classSuperclassSlot] = superclass;
  return cls;
}

void newCTestHeap() {
  newIOTestHeap();
  cTestClasses.data = classWithSuper(formatIndexable, classAt(classIndexByteArray));
  sysOopRegistry[sysCDataClass] = cTestClasses.data;
  cTestClasses.composite = classAt(newTestClass(formatPointers | 2));
  cTestClasses.pointer = classAt(newTestClass(formatPointers | 2));
  cTestClasses.datum = classAt(newTestClass(formatPointers | 1));
  const oop roles[cClassRoleCount] = {cTestClasses.composite, classAt(newTestClass(formatPointers | 2)),
                                      cTestClasses.pointer, classAt(newTestClass(formatPointers | 2)),
                                      classAt(newTestClass(formatPointers | 2)), cTestClasses.datum};
  for (uint32_t role = 0; role < cClassRoleCount; role++) {
    cClassX[role] = allocSysOopSlot();
    registerSysOop(roles[role], uint32_t(cClassX[role]));
  }
  initCPrimitives();
  initMessagePrimitives();
}

oop newCData(uint64_t n, const void* bytes) {
  ObjectHeader* h = allocVSObj(cTestClasses.data, n);
  if (bytes != nullptr && n != 0) memcpy(bodyOf(h), bytes, n);
  return oopOf(h);
}

oop newDescriptor(const std::vector<std::pair<int, int>>& fields) {
  ObjectHeader* d = allocVSObj(sysOop(sysArrayClass), 5 * fields.size());
  for (size_t i = 0; i < fields.size(); i++) {
    oop* r = bodyOf(d) + 5 * i;
    r[0] = smallIntegerFor(int64_t(i) + 1);
    r[1] = smallIntegerFor(fields[i].first);
    r[3] = smallIntegerFor(fields[i].second);
    r[4] = cTestClasses.pointer;
  }
  return oopOf(d);
}

oop newComposite(oop descriptor, uint64_t n, const void* bytes) {
  oop data = newCData(n, bytes);
  ObjectHeader* c = allocFSObj(cTestClasses.composite);
  bodyOf(c)[0] = data;
  bodyOf(c)[1] = descriptor;
  return oopOf(c);
}

oop errorValueOf(oop error) {
  if (!isHeapObject(error) || !hasPtrs(headerOf(error))) return 0;
  for (uint32_t k = 0; k < 37; k++)
    if (error == primErrorAt(k)) return 0;
  return slotOf(error, 0);
}
