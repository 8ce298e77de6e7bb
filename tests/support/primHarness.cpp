// Test support: the primitive-call harness.
#include "support/primHarness.h"

#include <cassert>
#include <vector>

#include "mman/mmPending.h"
#include "tran/tprim.h"

PrimOutcome callPrimitive(uint32_t number, oop receiver, std::initializer_list<oop> argList) {
  return callPrimitive(number, receiver, std::vector<oop>(argList));
}

PrimOutcome callPrimitive(uint32_t number, oop receiver, const std::vector<oop>& a) {
  const PrimEntry* e = getPrimEntry(number);
  assert(e->function != 0 && e->kind == primKindC && e->numArgs == a.size());
  primFailure = PrimFailure{};
  oop result = 0;
  switch (a.size()) {
    case 0: result = reinterpret_cast<oop (*)(oop)>(e->function)(receiver); break;
    case 1: result = reinterpret_cast<oop (*)(oop, oop)>(e->function)(receiver, a[0]); break;
    case 2: result = reinterpret_cast<oop (*)(oop, oop, oop)>(e->function)(receiver, a[0], a[1]); break;
    case 3:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1], a[2]);
      break;
    case 4:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1], a[2], a[3]);
      break;
    case 5:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1], a[2],
                                                                                    a[3], a[4]);
      break;
    case 6:
      result = reinterpret_cast<oop (*)(oop, oop, oop, oop, oop, oop, oop)>(e->function)(receiver, a[0], a[1],
                                                                                         a[2], a[3], a[4], a[5]);
      break;
    default: assert(!"primitives of more than 6 arguments take the var-arg form");
  }
  if (primFailure.failed) return {true, 0, primFailure.errorOop, primFailure.numArgs};
  return {false, result, 0, 0};
}
