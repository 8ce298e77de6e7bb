// C interface: callback thunks made and destroyed for the image, pending callback work, and
// faults inside C calls. Owns no global record. Prefix: none.
#include "prim/prCallback.h"

#include <cfenv>

#include "prim/prCall.h"
#include "ext/exError.h"
#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "prim/prCKind.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "ext/exRequest.h"
#include "tran/nmLayout.h"
#include "ext/exPrimTable.h"

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// A thunk's id: a SmallInteger's or Character's value, else an 8-byte integer.
static bool thunkId(oop id, uint64_t* out) {
  if (isSmallInteger(id)) return *out = uint64_t(smallIntegerValue(id)), true;
  if (isCharacter(id)) return *out = characterValue(id), true;
  return stOopToCValue(out, id, 8) != 0;
}

static bool isArrayOf(oop o, uint64_t n) {
  return isHeapObject(o) && hasPtrs(headerOf(o)) && isKindOf(o, sysOop(sysArrayClass)) && bodyWordsOf(headerOf(o)) == n;
}

enum : uint64_t { maxThunkEntries = 255, thunkNoMemory = 0, thunkRefused = 1 };

// 391: id, struct types, kinds, sizes (Arrays of one size: the result, then each argument).
static oop primThunkCreate(oop, oop id, oop types, oop kinds, oop sizes) {
  uint64_t value;
  if (!thunkId(id, &value) || isImmediate(types) || !hasPtrs(headerOf(types))) return fail(primErrBadArgument, 4);
  uint64_t n = bodyWordsOf(headerOf(types));
  if (n == 0 || n > maxThunkEntries || !isArrayOf(types, n) || !isArrayOf(kinds, n) || !isArrayOf(sizes, n))
    return fail(primErrBadArgument, 4);
  void* thunk = pdThunkCreate(value, n - 1, bodyOf(headerOf(types)), bodyOf(headerOf(sizes)), bodyOf(headerOf(kinds)));
  if (thunk == reinterpret_cast<void*>(thunkNoMemory)) return fail(primErrMalloc, 4);
  if (thunk == reinterpret_cast<void*>(thunkRefused)) return fail(primErrWrongClass, 4);
  oop address = cUnsignedToOop(uint64_t(uintptr_t(thunk)));
  if (address == 0) {
    pdThunkDestroy(thunk, value);
    return fail(primErrNoSpace, 4);
  }
  return address;
}

// 388: thunk address, id.
static oop primThunkDestroy(oop receiver, oop address, oop id) {
  uint64_t a, value;
  if (!oopToQ64(address, &a) || a == 0 || !thunkId(id, &value)) return fail(primErrBadArgument, 2);
  if (!pdThunkDestroy(reinterpret_cast<void*>(a), value)) return fail(primErrBadArgument, 2);
  return receiver;
}

// 387: lets the callbacks and call-out completions that other threads queued run now.
static oop primServeCallbacks(oop) {
  oop nil = nilOop();
  if (nil == 0) return fail(primErrGeneral, 0);
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(nil) : nil;
}

void initCallbackPrimitives() {
  addCPrimitive(387, reinterpret_cast<const void*>(primServeCallbacks), 0);
  addCPrimitive(388, reinterpret_cast<const void*>(primThunkDestroy), 2);
  addCPrimitive(391, reinterpret_cast<const void*>(primThunkCreate), 4);
}

// ---- Faults inside C calls ---------------------------------------------------------------

void maybeCallCFatalError(int signal, int64_t value) {
  if (calloutResult == 0 || !pdOnEngineThread()) return;
  feclearexcept(FE_ALL_EXCEPT);
  calloutResult = 0;
  if (calloutIsLongComp) pdFinishLongComp();
  const CallErrorRecord record = {oop(int64_t(callErrorFault)), uint64_t(int64_t(signal)), uint64_t(value)};
  oop error = cloneCallCError(&record);
  commitPrimitive(error);
  uint64_t nm = reinterpret_cast<const uint64_t*>(currentStack[shFp])[frNMethod] & frameNMethodMask;
  failPrimitive(error, reinterpret_cast<const NMethodHeader*>(nm)->numArgs);
}
