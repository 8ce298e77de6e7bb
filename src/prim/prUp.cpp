// C interface: the user-primitive toolkit. Its checks share the oe operations (prOe.cpp) and
// turn their codes into the failure of the running user primitive.
// Owns upArgumentChecking and upErrorHandler. Prefix: UP.
#include "prim/prUp.h"


#include "ext/exError.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "prim/prCall.h"
#include "prim/prOe.h"
#include "prim/prThreads.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"

// While set, every object handed to a UP function is oop-tested first. Cleared for good by
// UnsafeUPaddPrimitive: its caller vouches for the oops it passes.
static uint32_t upArgumentChecking = 1;
static upErrorHandlerFn upErrorHandler;

// The failure code of each oe code.
static constexpr int32_t upCodeOf[] = {0, upErrRange, upErrInvalidOop, upErrKind, upErrIndex, upErrNoSpace, upErrRemember};

// A failed check: the handler hears of it (not of a store check that could not remember),
// then the primitive fails.
[[noreturn]] static void upFailCheck(uint32_t oeCode) {
  int32_t code = upCodeOf[oeCode];
  if (code != upErrRemember && upErrorHandler != nullptr) upErrorHandler(code);
  UPFailPrimitive(code);
  doPanic(__FILE__, __LINE__);  // a failure does not return
}
static void upCheck(uint32_t oeCode) {
  if (oeCode != 0) upFailCheck(oeCode);
}
static void upTest(oop o) {
  if (upArgumentChecking && !oeValidOop(o)) upFailCheck(oeErrInvalidOop);
}

static uint64_t* words(uint64_t a) { return reinterpret_cast<uint64_t*>(a); }

extern "C" {
// ---- Ending the primitive ---------------------------------------------------------------------

void UPReturn(oop value) {
  clearX87Exceptions();
  calloutResult = 0;
  if (value == 0) value = nilOop();
  uint64_t* s = currentStack;
  if (s[shReceiver] != 0 && s[shSp] == userPrimitiveSp && !anyRequestsPending()) {
    // The user primitive is still uncommitted (not some other C primitive that called here):
    // the answer goes straight to the sender, over the receiver and the arguments its caller
    // pushed when there are more than two.
    uint64_t sp = s[shSp], n = userPrimitiveArgCount;
    if (n <= 2) {
      sp -= 8;
    } else {
      uint64_t returnPc = words(sp)[0];
      sp += 8 * n - 16;
      words(sp)[1] = returnPc;
    }
    words(sp)[0] = value;
    s[shSp] = sp;
    s[shReceiver] = 0;
    backToNcodePopResult();
  }
  commitPrimitive(value);
  if (anyRequestsPending()) handleRequests();
  backToNcode();
}
void UPreturnTrue() { UPReturn(trueOop()); }
void UPreturnFalse() { UPReturn(falseOop()); }
void UPreturnNil() { UPReturn(nilOop()); }
void UPreturnHandle(oop value) {
  if (!oeValidOop(value)) upFailCheck(oeErrInvalidOop);
  UPReturn(value);
}

void UPFailPrimitive(int32_t code) {
  clearX87Exceptions();
  calloutResult = 0;
  oop error = smallIntegerFor(code);
  commitPrimitive(error);
  // Committed, the frame is built: the failure lays itself on it for the method's arity.
  uint64_t nm = words(currentStack[shFp])[frNMethod] & frameNMethodMask;
  failPrimitive(error, reinterpret_cast<const NMethodHeader*>(nm)->numArgs);
  doPanic(__FILE__, __LINE__);
}
void UPfail(int32_t code) { UPFailPrimitive(code); }

// ---- Conversions --------------------------------------------------------------------------------

oop UPCtoSTint(int64_t v) {
  oop o = 0;
  upCheck(oeOpFromCint(v, &o));
  return o;
}
oop UPCtoSTbool(int32_t b) { return booleanOop(uint8_t(b) != 0); }
oop UPCtoSTchar(char c) { return oeCtoOEchar(c); }
oop UPCtoSTfloat(float f) {
  oop o = 0;
  upCheck(oeOpFromCfloat(f, &o));
  return o;
}
oop UPCtoSTdouble(double d) {
  oop o = 0;
  upCheck(oeOpFromCdouble(d, &o));
  return o;
}
#define UP_TO_C(name, op, type)              \
  type name(oop o) {                         \
    type v{};                                \
    upCheck(op(o, upArgumentChecking, &v));  \
    return v;                                \
  }
UP_TO_C(UPSTtoCint, oeOpToCint, int64_t)
UP_TO_C(UPSTtoCbool, oeOpToCbool, int32_t)
UP_TO_C(UPSTtoCchar, oeOpToCchar, char)
UP_TO_C(UPSTtoCfloat, oeOpToCfloat, float)
UP_TO_C(UPSTtoCdouble, oeOpToCdouble, double)
UP_TO_C(UPinstVarSize, oeOpInstVarSize, uint64_t)
UP_TO_C(UPindexVarSize, oeOpIndexVarSize, uint64_t)
#undef UP_TO_C

// ---- Tests --------------------------------------------------------------------------------------

uint32_t UPisInteger(oop o) { return isSmallInteger(o); }
uint32_t UPisCharacter(oop o) { return isCharacter(o); }
uint32_t UPisImmediate(oop o) { return isImmediate(o); }
#define UP_IS(name, test) \
  uint32_t name(oop o) {  \
    upTest(o);            \
    return test(o);       \
  }
UP_IS(UPisBoolean, oeIsBooleanOop)
UP_IS(UPisFloat, oeIsFloatOop)
UP_IS(UPisDouble, oeIsDoubleOop)
UP_IS(UPisByteLike, oeIsByteLikeOop)
UP_IS(UPisByteArray, oeIsByteArrayOop)
UP_IS(UPisString, oeIsStringOop)
UP_IS(UPisArrayOfInteger, oeIsArrayOfIntegerOop)
UP_IS(UPisArrayOfFloat, oeIsArrayOfFloatOop)
#undef UP_IS
uint32_t UPisKindOf(oop o, oop cls) {
  upTest(o);
  upTest(cls);
  return !isImmediate(cls) && isKindOf(o, cls);
}
oop UPclass(oop o) {
  upTest(o);
  return oeClassOfOop(o);
}
uint32_t UPclassType(oop o) {
  upTest(o);
  return uint32_t(classType(o));
}
// A test that answers 0 fails the primitive with the kind code, without the handler.
#define UP_MUST(name, test)                          \
  void name(oop o) {                                 \
    if (!test(o)) UPFailPrimitive(upErrKind);        \
  }
UP_MUST(UPmustBeInteger, UPisInteger)
UP_MUST(UPmustBeCharacter, UPisCharacter)
UP_MUST(UPmustBeBoolean, UPisBoolean)
UP_MUST(UPmustBeFloat, UPisFloat)
UP_MUST(UPmustBeByteLike, UPisByteLike)
UP_MUST(UPmustBeByteArray, UPisByteArray)
UP_MUST(UPmustBeString, UPisString)
UP_MUST(UPmustBeArrayOfInteger, UPisArrayOfInteger)
UP_MUST(UPmustBeArrayOfFloat, UPisArrayOfFloat)
#undef UP_MUST

// ---- Access ---------------------------------------------------------------------------------------

oop UPinstVarAt(oop o, int64_t index) {
  oop v = 0;
  upCheck(oeOpInstVarAt(o, index, upArgumentChecking, &v));
  return v;
}
void UPinstVarAtPut(oop o, int64_t index, oop value) { upCheck(oeOpInstVarAtPut(o, index, value, upArgumentChecking)); }
oop UPbasicAt(oop o, int64_t index) {
  oop v = 0;
  upCheck(oeOpBasicAt(o, index, upArgumentChecking, &v));
  return v;
}
void UPbasicAtPut(oop o, int64_t index, oop value) { upCheck(oeOpBasicAtPut(o, index, value, upArgumentChecking)); }
#define UP_AT(name, op, type)                          \
  type name(oop o, int64_t index) {                    \
    type v{};                                          \
    upCheck(op(o, index, upArgumentChecking, &v));     \
    return v;                                          \
  }
UP_AT(UPbyteAt, oeOpByteAt, char)
UP_AT(UPintegerAt, oeOpIntegerAt, int64_t)
UP_AT(UPfloatAt, oeOpFloatAt, float)
UP_AT(UPdoubleAt, oeOpDoubleAt, double)
#undef UP_AT
void UPbyteAtPut(oop o, int64_t index, char byte) { upCheck(oeOpByteAtPut(o, index, byte, upArgumentChecking)); }
void UPintegerAtPut(oop o, int64_t index, int64_t value) {
  oop stored;
  upCheck(oeOpIntegerAtPut(o, index, value, upArgumentChecking, &stored));
}
void UPfloatAtPut(oop o, int64_t index, float value) {
  oop stored;
  upCheck(oeOpFloatAtPut(o, index, value, upArgumentChecking, &stored));
}
#define UP_COPY(name, op, kind, bufferType)                                              \
  oop name(oop o, bufferType buffer, int64_t length, int64_t start, int64_t* count) {    \
    int64_t n = 0;                                                                       \
    upCheck(op(kind, o, buffer, length, start, upArgumentChecking, &n));                 \
    *count = n;                                                                          \
    return o;                                                                            \
  }
UP_COPY(UPcopySTtoCbytes, oeOpCopyOut, oeCopyBytes, void*)
UP_COPY(UPcopyCtoSTbytes, oeOpCopyIn, oeCopyBytes, const void*)
UP_COPY(UPcopySTtoCstring, oeOpCopyOut, oeCopyString, char*)
UP_COPY(UPcopyCtoSTstring, oeOpCopyIn, oeCopyString, const char*)
UP_COPY(UPcopySTtoCintArray, oeOpCopyOut, oeCopyInts, int64_t*)
UP_COPY(UPcopyCtoSTintArray, oeOpCopyIn, oeCopyInts, const int64_t*)
UP_COPY(UPcopySTtoCfloatArray, oeOpCopyOut, oeCopyFloats, float*)
UP_COPY(UPcopyCtoSTfloatArray, oeOpCopyIn, oeCopyFloats, const float*)
#undef UP_COPY

// ---- Allocation -----------------------------------------------------------------------------------

oop UPallocFsObject(oop cls) {
  oop o = 0;
  upCheck(oeOpAllocFs(cls, upArgumentChecking, &o));
  return o;
}
oop UPallocVsObject(oop cls, int64_t n) {
  oop o = 0;
  upCheck(oeOpAllocVs(cls, n, false, upArgumentChecking, &o));
  return o;
}
oop UPallocArray(oop value, int64_t n) {
  oop o = 0;
  upCheck(oeOpAllocArray(value, n, upArgumentChecking, &o));
  return o;
}
oop UPallocByteArray(char byte, int64_t n) {
  oop o = 0;
  upCheck(oeOpAllocBytes(classIndexByteArray, byte, n, &o));
  return o;
}
oop UPallocString(char byte, int64_t n) {
  oop o = 0;
  upCheck(oeOpAllocBytes(classIndexByteString, byte, n, &o));
  return o;
}

// ---- Registry, primitives and the rest ----------------------------------------------------------

oop UPnil() { return nilOop(); }
int64_t UPallocRegistrySlot() {
  int64_t x = allocSysOopSlot();
  if (x < 0) upFailCheck(oeErrNoSpace);
  return x;
}
oop UPregisteredHandleAt(int64_t index) {
  oop o = 0;
  upCheck(oeOpRegistryAt(index, &o));
  return o;
}
oop UPregisteredHandleAtPut(int64_t index, oop o) {
  upCheck(oeOpRegistryAtPut(index, o, upArgumentChecking));
  return o;
}
uint32_t UPaddPrimitive(int64_t number, void* function, int64_t numArgs) {
  return oeOpAddPrimitive(number, function, numArgs);
}
uint32_t UnsafeUPaddPrimitive(int64_t number, void* function, int64_t numArgs) {
  upArgumentChecking = 0;
  return UPaddPrimitive(number, function, numArgs);
}
upErrorHandlerFn UPinstallErrorHandler(upErrorHandlerFn handler) {
  upErrorHandlerFn previous = upErrorHandler;
  upErrorHandler = handler;
  return previous;
}
oePollHandler UPinstallPollHandler(oePollHandler handler) { return oeInstallPollHandler(handler); }
void UPpostInterrupt() { oePostInterrupt(); }
uint32_t UPsignalSemaphore(oop semaphore) { return oeOpSignalSemaphore(semaphore, true); }
void UPstartLongPrimitive(int32_t expectedMilliseconds) { pdStartLongComp(uint64_t(int64_t(expectedMilliseconds))); }
void UPfinishLongPrimitive() { pdFinishLongComp(); }
}

void initUserPrimitives() {
  oeInstallUserPollServer();
  initThreadInterface();
}
