// The exported object interface for C (oe*) and the user-primitive toolkit (UP*) in process:
// the oop test against each space, every accessor and conversion over a table of valid and
// invalid oops and indices with the code it leaves, copies, allocation, the registry and
// registration; the UP twins fail the running primitive (through the primitive harness) with
// their negative codes, the error handler hearing of each but the UPmustBe* ones.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/mmNewSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prOe.h"
#include "stack/stackzone.h"
#include "support/primHarness.h"
#include <tessel/oe.h>

namespace {

oop si(int64_t v) { return smallIntegerFor(v); }

class OeInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initPrimitiveTable();
    oeErrorCode = 0;
    // An indexable class with 2 named slots, its instance with 3 indexed slots 10, 20, 30
    // (named-slot count asked of the class), and one whose header counts its named slots.
    twoNamed = newTestClass(formatPointers | formatIndexable | 2);
    mixed = newOldObject(twoNamed, 5);
    setIndexability(headerOf(mixed), indexabilityAskClass);
    for (int i = 0; i < 3; i++) bodyOf(headerOf(mixed))[2 + i] = si(10 * (i + 1));
    headerNamed = newOldObject(testClasses.pointers, 4);
    setIndexability(headerOf(headerNamed), 1);
    array = newOldObject(classIndexArray, 3);
    for (int i = 0; i < 3; i++) bodyOf(headerOf(array))[i] = si(i + 1);
    string = newByteObject(classIndexByteString, "hello");
    bytes = newByteObject(classIndexByteArray, "0123456789");
    young = newNewObject(classIndexArray, 2);
    savedPastTop = pastSpace.top, savedFutureTop = futureSpace.top;
  }
  void TearDown() override {
    startOfStackZone = endOfStackZone = 0;
    pastSpace.top = savedPastTop, futureSpace.top = savedFutureTop;
    if (replacedHandler) UPinstallErrorHandler(savedHandler);
    freeTestHeap();
  }
  // The survivor spaces' tops, which a test may move, as set-up left them.
  uint64_t savedPastTop = pastSpace.top, savedFutureTop = futureSpace.top;
  // The error handler a case replaces, put back after it.
  upErrorHandlerFn savedHandler = nullptr;
  bool replacedHandler = false;

  static oop newByteObject(uint32_t classIndex, const char* text) {
    uint64_t n = strlen(text);
    ObjectHeader* h = headerOf(newOldObject(classIndex, (n + 7) & ~uint64_t(7)));
    setIndexability(h, uint32_t(((n + 7) & ~uint64_t(7)) - n));
    memcpy(bodyOf(h), text, n);
    return oopOf(h);
  }

  uint32_t twoNamed = 0;
  oop mixed = 0, headerNamed = 0, array = 0, string = 0, bytes = 0, young = 0;
};

// One call and what it must leave: its answer and the code (0: the code must not change).
struct Case {
  std::string what;
  std::function<oop()> call;
  oop answer;
  uint32_t code;
};

void runCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    oeErrorCode = 0;
    EXPECT_EQ(c.call(), c.answer);
    EXPECT_EQ(oeGetErrorCode(), c.code);
  }
}

TEST_F(OeInterface, OopTestKnowsEverySpaceAndItsTop) {
  oop eden1 = young, edenTop = eden.allocPtr;
  pastSpace.top = pastSpace.start + 32;
  futureSpace.top = futureSpace.start + 32;
  // A stack zone over an old object's header: refused there, whatever lies beneath.
  oop inStack = newOldObject(classIndexArray, 1);
  startOfStackZone = inStack;
  endOfStackZone = inStack + 16;
  struct { const char* what; oop word; bool valid; } cases[] = {
      {"SmallInteger", si(-7), true},
      {"Character", characterFor('a'), true},
      {"SmallDouble", smallDoubleFor(1.5), true},
      {"eden object", eden1, true},
      {"eden's top", edenTop, false},
      {"past eden's top", edenTop + 64, false},
      {"past space below its top", pastSpace.start + 16, true},
      {"past space's top", pastSpace.top, false},
      {"future space below its top", futureSpace.start, true},
      {"future space's top", futureSpace.top, false},
      {"old object", array, true},
      {"unaligned", array + 4, false},
      {"below new space", newSpaceLowerBound - 16, false},
      {"zero", 0, false},
      {"stack zone", inStack, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    oeErrorCode = 0;
    EXPECT_EQ(oeCouldBeOop(c.word), uint32_t(c.valid));
    EXPECT_EQ(oeGetErrorCode(), c.valid ? 0u : uint32_t(oeErrInvalidOop));
  }
}

TEST_F(OeInterface, AccessorsOverValidAndInvalidOops) {
  oop bad = eden.allocPtr + 64;  // past eden's top
  uint64_t u = 99;
  int64_t i = 99;
  char ch = 'z';
  std::vector<Case> cases = {
      // Sizes: named slots from the class at 255 or from the header; bytes less the odd ones.
      {"instVarSize asked of the class", [&] { oeInstVarSize(mixed, &u); return oop(u); }, 2, 0},
      {"instVarSize from the header", [&] { oeInstVarSize(headerNamed, &u); return oop(u); }, 1, 0},
      {"instVarSize of an immediate", [&] { oeInstVarSize(si(3), &u); return oop(u); }, 0, 0},
      {"indexVarSize slots", [&] { oeIndexVarSize(mixed, &u); return oop(u); }, 3, 0},
      {"indexVarSize bytes", [&] { oeIndexVarSize(string, &u); return oop(u); }, 5, 0},
      {"indexVarSize immediate", [&] { return oeIndexVarSize(si(3), &u); }, 0, oeErrKind},
      {"indexVarSize invalid", [&] { return oeIndexVarSize(bad, &u); }, 0, oeErrInvalidOop},
      // Indexed slots after the named ones: 0, 1, size, size + 1.
      {"basicAt 0", [&] { return oeBasicAt(mixed, 0); }, 0, oeErrRange},
      {"basicAt 1", [&] { return oeBasicAt(mixed, 1); }, si(10), 0},
      {"basicAt size", [&] { return oeBasicAt(mixed, 3); }, si(30), 0},
      {"basicAt size+1", [&] { return oeBasicAt(mixed, 4); }, 0, oeErrIndex},
      {"basicAt bytes", [&] { return oeBasicAt(string, 1); }, 0, oeErrKind},
      {"basicAt immediate", [&] { return oeBasicAt(si(1), 1); }, 0, oeErrKind},
      {"basicAt stack-zone word", [&] { return oeBasicAt(bad, 1); }, 0, oeErrInvalidOop},
      {"instVarAt 2", [&] { return oeInstVarAt(mixed, 2); }, nilOop(), 0},
      {"instVarAt 3", [&] { return oeInstVarAt(mixed, 3); }, 0, oeErrIndex},
      {"instVarAt 0", [&] { return oeInstVarAt(mixed, 0); }, 0, oeErrRange},
      {"basicAtPut stores", [&] { oeBasicAtPut(array, 3, si(9)); return slotOf(array, 2); }, si(9), 0},
      {"basicAtPut an invalid value", [&] { return oeBasicAtPut(array, 1, bad); }, 0, oeErrInvalidOop},
      {"instVarAtPut size+1", [&] { return oeInstVarAtPut(mixed, 3, si(1)); }, 0, oeErrIndex},
      // Bytes: 5 of a 5-byte String with 3 odd bytes.
      {"byteAt 5", [&] { oeByteAt(string, 5, &ch); return oop(ch); }, 'o', 0},
      {"byteAt 6", [&] { return oeByteAt(string, 6, &ch); }, 0, oeErrIndex},
      {"byteAt 0", [&] { return oeByteAt(string, 0, &ch); }, 0, oeErrRange},
      {"byteAt pointers", [&] { return oeByteAt(array, 1, &ch); }, 0, oeErrKind},
      {"byteAtPut", [&] { oeByteAtPut(string, 1, 'j'); return oop(reinterpret_cast<char*>(bodyOf(headerOf(string)))[0]); }, 'j', 0},
      // Typed elements of Array-like objects.
      {"integerAt 2", [&] { oeIntegerAt(array, 2, &i); return oop(i); }, 2, 0},
      {"integerAt of a String", [&] { return oeIntegerAt(string, 1, &i); }, 0, oeErrKind},
      {"integerAtPut 2^60", [&] { return oeIntegerAtPut(array, 1, int64_t(1) << 60); }, 0, oeErrRange},
      {"integerAtPut", [&] { return oeIntegerAtPut(array, 1, -5); }, si(-5), 0},
      {"floatAt of a SmallInteger", [&] { float f; return oeFloatAt(array, 1, &f); }, 0, oeErrKind},
      // Conversions.
      {"OEToCint", [&] { oeOEToCint(si(-12), &i); return oop(i); }, oop(-12), 0},
      {"OEToCint of a Character", [&] { return oeOEToCint(characterFor('a'), &i); }, 0, oeErrKind},
      {"OEToCint invalid", [&] { return oeOEToCint(bad, &i); }, 0, oeErrInvalidOop},
      {"OEToCchar", [&] { oeOEToCchar(characterFor('q'), &ch); return oop(ch); }, 'q', 0},
      {"OEToCbool of nil", [&] { int32_t b; return oeOEToCbool(nilOop(), &b); }, 0, oeErrKind},
      {"OEToCdouble of a SmallDouble", [&] { double d = 0; oeOEToCdouble(smallDoubleFor(2.5), &d); return oop(d * 2); }, 5, 0},
      {"CtoOEint 2^60 - 1", [&] { return oeCtoOEint((int64_t(1) << 60) - 1); }, si((int64_t(1) << 60) - 1), 0},
      {"CtoOEint 2^60", [&] { return oeCtoOEint(int64_t(1) << 60); }, 0, oeErrRange},
      {"CtoOEint -2^60 - 1", [&] { return oeCtoOEint(-(int64_t(1) << 60) - 1); }, 0, oeErrRange},
      {"CtoOEchar of 0xE9 (signed)", [&] { return oeCtoOEchar(char(0xE9)); }, characterFor(uint64_t(int64_t(-23))), 0},
      {"CtoOEbool", [&] { return oeCtoOEbool(7); }, trueOop(), 0},
      // Tests and classes.
      {"isString", [&] { return oop(oeIsString(string)); }, 1, 0},
      {"isString of a ByteArray", [&] { return oop(oeIsString(bytes)); }, 0, 0},
      {"isByteArray", [&] { return oop(oeIsByteArray(bytes)); }, 1, 0},
      {"isArrayOfInteger", [&] { return oop(oeIsArrayOfInteger(array)); }, 1, 0},
      {"isArrayOfInteger of an invalid oop", [&] { return oop(oeIsArrayOfInteger(bad)); }, 0, 0},
      {"isKindOf", [&] { return oop(oeIsKindOf(mixed, classAt(twoNamed))); }, 1, 0},
      {"class of a SmallInteger", [&] { return oeClass(si(1)); }, classAt(classIndexSmallInteger), 0},
      {"class of an invalid oop", [&] { return oeClass(bad); }, 0, oeErrInvalidOop},
      {"classType of Array", [&] { return oop(oeClassType(classAt(classIndexArray))); }, 2, 0},
      {"classType of an Array", [&] { return oop(oeClassType(array)); }, 0, 0},
      // Allocation and the registry.
      {"allocArray -1", [&] { return oeAllocArray(nilOop(), -1); }, 0, oeErrRange},
      {"allocArray of an invalid value", [&] { return oeAllocArray(bad, 2); }, 0, oeErrInvalidOop},
      {"allocFsObject of an indexable class", [&] { return oeAllocFsObject(classAt(classIndexArray)); }, 0, oeErrKind},
      {"allocVsObject -1", [&] { return oeAllocVsObject(classAt(classIndexArray), -1); }, 0, oeErrRange},
      {"allocString -1", [&] { return oeAllocString('x', -1); }, 0, oeErrRange},
      {"registeredHandleAt -1", [&] { return oeRegisteredHandleAt(-1); }, 0, oeErrRange},
      {"registeredHandleAt beyond", [&] { return oeRegisteredHandleAt(maxValidSysOopX() + 1); }, 0, oeErrRange},
      {"registeredHandleAt 1", [&] { return oeRegisteredHandleAt(1); }, trueOop(), 0},
      {"registeredHandleAtPut 0 (nil)", [&] { return oeRegisteredHandleAtPut(0, si(1)); }, 0, oeErrRange},
      {"registeredHandleAtPut 2 (false)", [&] { return oeRegisteredHandleAtPut(2, si(1)); }, 0, oeErrRange},
  };
  runCases(cases);
  EXPECT_EQ(sysOop(sysNil), nilOop());
  EXPECT_EQ(oeRegisteredHandleAt(0), nilOop());
}

TEST_F(OeInterface, TheCodeStaysAfterLaterSuccesses) {
  oeErrorCode = 0;
  EXPECT_EQ(oeBasicAt(array, 0), 0u);
  EXPECT_EQ(oeBasicAt(array, 1), si(1));
  EXPECT_EQ(oeCtoOEint(5), si(5));
  EXPECT_EQ(oeGetErrorCode(), uint32_t(oeErrRange));
}

TEST_F(OeInterface, CopiesBetweenObjectsAndBuffers) {
  char buffer[8] = {};
  int64_t count = -1;
  // From index 3 of 10 bytes into 4: bytes 3-6.
  EXPECT_EQ(oeCopyOEtoCbytes(bytes, buffer, 4, 3, &count), bytes);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(std::string(buffer, 4), "2345");
  // To the end of the object at most.
  EXPECT_EQ(oeCopyOEtoCstring(string, buffer, 8, 4, &count), string);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(std::string(buffer, 2), "lo");
  EXPECT_EQ(oeCopyCtoOEbytes(bytes, "ab", 2, 9, &count), bytes);
  EXPECT_EQ(reinterpret_cast<const char*>(bodyOf(headerOf(bytes)))[9], 'b');
  // An empty object copies nothing whatever the start; otherwise the start is checked.
  oop empty = newOldObject(classIndexByteArray, 0);
  count = -1;
  EXPECT_EQ(oeCopyOEtoCbytes(empty, buffer, 8, 0, &count), empty);
  EXPECT_EQ(count, 0);
  count = -1;
  oeErrorCode = 0;
  EXPECT_EQ(oeCopyOEtoCbytes(bytes, buffer, 8, 11, &count), 0u);
  EXPECT_EQ(oeGetErrorCode(), uint32_t(oeErrRange));
  EXPECT_EQ(count, -1);  // written only on success
  oeErrorCode = 0;
  EXPECT_EQ(oeCopyOEtoCstring(bytes, buffer, 8, 1, &count), 0u);
  EXPECT_EQ(oeGetErrorCode(), uint32_t(oeErrKind));
  // Integers: read back what was written; a non-SmallInteger element is refused.
  int64_t ints[3] = {7, -8, 9}, back[3] = {};
  EXPECT_EQ(oeCopyCtoOEintArray(array, ints, 3, 1, &count), array);
  EXPECT_EQ(oeCopyOEtoCintArray(array, back, 3, 1, &count), array);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(back[1], -8);
  bodyOf(headerOf(array))[1] = nilOop();
  oeErrorCode = 0;
  EXPECT_EQ(oeCopyOEtoCintArray(array, back, 3, 1, &count), 0u);
  EXPECT_EQ(oeGetErrorCode(), uint32_t(oeErrKind));
  // Floats: each a new Float, read back.
  float floats[2] = {1.5f, -0.25f}, fback[2] = {};
  EXPECT_EQ(oeCopyCtoOEfloatArray(array, floats, 2, 2, &count), array);
  EXPECT_EQ(oeIsArrayOfFloat(array), 0u);  // element 1 is still a SmallInteger
  EXPECT_EQ(oeCopyOEtoCfloatArray(array, fback, 2, 2, &count), array);
  EXPECT_EQ(fback[0], 1.5f);
  EXPECT_EQ(fback[1], -0.25f);
}

TEST_F(OeInterface, AllocationFillsAndRemembers) {
  oop b = oeAllocByteArray(char(0xA5), 13);
  ASSERT_NE(b, 0u);
  uint64_t n = 0;
  oeIndexVarSize(b, &n);
  EXPECT_EQ(n, 13u);
  for (int k = 1; k <= 13; k++) {
    char c = 0;
    oeByteAt(b, k, &c);
    EXPECT_EQ(uint8_t(c), 0xA5) << k;
  }
  EXPECT_EQ(oeIsString(oeAllocString('s', 3)), 1u);
  oop a = oeAllocArray(young, 4);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(oeBasicAt(a, 4), young);
  EXPECT_EQ(oeIsDouble(oeCtoOEdouble(1e300)), 1u);  // no immediate form: a boxed Double
  double d = 0;
  EXPECT_NE(oeOEToCdouble(oeCtoOEdouble(1e300), &d), 0u);
  EXPECT_EQ(d, 1e300);
  float f = 0;
  EXPECT_NE(oeOEToCfloat(oeCtoOEfloat(0.75f), &f), 0u);
  EXPECT_EQ(f, 0.75f);
  // An old holder of a young value is remembered; when it cannot be, nothing is stored.
  oop holder = newOldObject(classIndexArray, 2);
  EXPECT_EQ(oeBasicAtPut(holder, 1, young), holder);
  EXPECT_TRUE(inRt(headerOf(holder)));
  oop other = newOldObject(classIndexArray, 2);
  oop saved = rt.object;
  rt.object = 0;
  oeErrorCode = 0;
  EXPECT_EQ(oeBasicAtPut(other, 1, young), 0u);
  rt.object = saved;
  EXPECT_EQ(oeGetErrorCode(), uint32_t(oeErrRemember));
  EXPECT_EQ(slotOf(other, 0), nilOop());
}

oop dummyPrimitive(oop receiver) { return receiver; }

TEST_F(OeInterface, RegistrationChecksNumberCountAndFunction) {
  void* f = reinterpret_cast<void*>(dummyPrimitive);
  struct { int64_t number; void* function; int64_t numArgs; uint32_t answer; } cases[] = {
      {9999, f, 0, 0}, {10000, f, 16, 0}, {10000, f, -1, 0}, {65536, f, 0, 0},
      {10001, nullptr, 0, 0}, {65535, f, 15, 1}, {10000, f, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(oeAddPrimitive(c.number, c.function, c.numArgs), c.answer);
    EXPECT_EQ(UPaddPrimitive(c.number, c.function, c.numArgs), c.answer);
    const PrimEntry* e = getPrimEntry(uint64_t(c.number));
    EXPECT_EQ(e->kind == primKindUser && e->function == reinterpret_cast<uint64_t>(f), c.answer == 1);
  }
}

// Sends from C refused before anything is touched: 0.
TEST_F(OeInterface, SendsWithBadArgumentsOrFromAnotherThreadAnswerZero) {
  oop fail = si(-9), args[1] = {si(1)};
  EXPECT_EQ(oeCSendMessageMany(array, "at:", nullptr, 2, nullptr, fail), 0u);
  EXPECT_EQ(oeCSendMessageMany(array, "at:", args, -1, nullptr, fail), 0u);
  EXPECT_EQ(oeCSendMessageMany(array, nullptr, args, 1, nullptr, fail), 0u);
  uint64_t eden0 = eden.allocPtr;
  oop answer = 1;
  std::thread other([&] { answer = oeCSendMessage1(array, "at:", si(1), nullptr, fail); });
  other.join();
  EXPECT_EQ(answer, 0u);
  answer = 1;
  std::thread other2([&] { answer = oeSendMessage0(array, nilOop(), nullptr, fail); });
  other2.join();
  EXPECT_EQ(answer, 0u);
  EXPECT_EQ(eden.allocPtr, eden0);  // nothing was allocated
}

// ---- UP: checks fail the running primitive ---------------------------------------------------

int handlerCalls, lastHandlerCode;
void countingHandler(int32_t code) {
  handlerCalls++;
  lastHandlerCode = code;
}

// The UP call under test, run as a two-argument primitive's body that answers what it returns.
std::function<oop(oop, oop)> upCall;
oop upBody(oop, oop a, oop b) { return upCall(a, b); }

struct UpCase {
  std::string what;
  std::function<oop(oop, oop)> call;
  oop a, b;
  int32_t code;  // 0: answers
  oop answer;
  bool handler;  // the handler hears of the failure
};

TEST_F(OeInterface, UpChecksFailThePrimitiveWithTheirCodes) {
  addCPrimitive(1999, reinterpret_cast<const void*>(upBody), 2);
  savedHandler = UPinstallErrorHandler(countingHandler);
  replacedHandler = true;
  oop bad = eden.allocPtr + 64;
  std::vector<UpCase> cases = {
      {"basicAt 1", [](oop a, oop b) { return UPbasicAt(a, smallIntegerValue(b)); }, array, si(1), 0, si(1), false},
      {"basicAt 0", [](oop a, oop b) { return UPbasicAt(a, smallIntegerValue(b)); }, array, si(0), upErrRange, 0, true},
      {"basicAt size+1", [](oop a, oop b) { return UPbasicAt(a, smallIntegerValue(b)); }, array, si(4), upErrIndex, 0, true},
      {"basicAt of bytes", [](oop a, oop b) { return UPbasicAt(a, smallIntegerValue(b)); }, string, si(1), upErrKind, 0, true},
      {"basicAt invalid", [](oop a, oop b) { return UPbasicAt(a, smallIntegerValue(b)); }, bad, si(1), upErrInvalidOop, 0, true},
      {"isString invalid", [](oop a, oop) { return oop(UPisString(a)); }, bad, 0, upErrInvalidOop, 0, true},
      {"isString", [](oop a, oop) { return oop(UPisString(a)); }, string, 0, 0, 1, false},
      {"mustBeInteger of a Character", [](oop a, oop) { UPmustBeInteger(a); return a; }, characterFor('a'), 0, upErrKind, 0, false},
      {"mustBeInteger", [](oop a, oop) { UPmustBeInteger(a); return a; }, si(3), 0, 0, si(3), false},
      {"STtoCint of nil", [](oop a, oop) { return oop(UPSTtoCint(a)); }, nilOop(), 0, upErrKind, 0, true},
      {"CtoSTint 2^60", [](oop, oop) { return UPCtoSTint(int64_t(1) << 60); }, 0, 0, upErrRange, 0, true},
      {"allocArray -1", [](oop, oop) { return UPallocArray(nilOop(), -1); }, 0, 0, upErrRange, 0, true},
      {"allocVsObject of a fixed class", [](oop a, oop) { return UPallocVsObject(a, 1); }, classAt(testClasses.object), 0, upErrKind, 0, true},
      {"registeredHandleAtPut 1 (true)", [](oop a, oop) { return UPregisteredHandleAtPut(1, a); }, si(1), 0, upErrRange, 0, true},
      {"registeredHandleAt beyond", [](oop, oop) { return UPregisteredHandleAt(maxValidSysOopX() + 1); }, 0, 0, upErrRange, 0, true},
      {"fail -100", [](oop, oop) { UPfail(-100); return oop(0); }, 0, 0, -100, 0, false},
  };
  for (const UpCase& c : cases) {
    SCOPED_TRACE(c.what);
    handlerCalls = 0;
    lastHandlerCode = 0;
    upCall = c.call;
    PrimOutcome o = callPrimitive(1999, nilOop(), {c.a, c.b});
    if (c.code == 0) {
      EXPECT_FALSE(o.failed);
      EXPECT_EQ(o.result, c.answer);
    } else {
      EXPECT_TRUE(o.failed);
      EXPECT_TRUE(o.afterCommit);
      EXPECT_EQ(o.errorOop, si(c.code));
      EXPECT_EQ(o.numArgs, 2u);
    }
    EXPECT_EQ(handlerCalls, c.handler ? 1 : 0);
    if (c.handler) { EXPECT_EQ(lastHandlerCode, c.code); }
  }
}

}  // namespace

namespace {

// UnsafeUPaddPrimitive turns the oop test off for good (so in a child process): an unchecked
// word is taken as it is, while kind and index checks still fail.
TEST_F(OeInterface, UnsafeRegistrationDropsOnlyTheOopTest) {
  EXPECT_EXIT(
      {
        addCPrimitive(1999, reinterpret_cast<const void*>(upBody), 2);
        int failures = 0;
        UnsafeUPaddPrimitive(10000, reinterpret_cast<void*>(dummyPrimitive), 0);
        // A String the oop test refuses (a stack zone is said to lie over it) is taken as it is.
        startOfStackZone = string;
        endOfStackZone = string + 16;
        upCall = [](oop a, oop) { return oop(UPisString(a)); };
        PrimOutcome o = callPrimitive(1999, nilOop(), {string, si(0)});
        failures += o.failed || o.result != 1;
        startOfStackZone = endOfStackZone = 0;
        upCall = [](oop a, oop b) { return UPbasicAt(a, smallIntegerValue(b)); };
        o = callPrimitive(1999, nilOop(), {array, si(0)});
        failures += !o.failed || o.errorOop != si(upErrRange);
        o = callPrimitive(1999, nilOop(), {array, si(4)});
        failures += !o.failed || o.errorOop != si(upErrIndex);
        o = callPrimitive(1999, nilOop(), {string, si(1)});
        failures += !o.failed || o.errorOop != si(upErrKind);
        exit(failures);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
