// COM on the x64 layout, run under Wine: the system's IMalloc called through primitive 389;
// an object built by 487 called from C through its method table, its arguments turned into
// objects and the answers into C values; E_FAIL; 488 releasing the registeredArray counts;
// the primitives' refusals.
#include <gtest/gtest.h>

#include <objbase.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ext/exError.h"
#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmCValue.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntCom.h"
#include "platpc/ntThunk.h"
#include "prim/prCKind.h"
#include "prim/prDouble.h"
#include "prim/prMessage.h"
#include "support/cKernel.h"
#include "support/ioKernel.h"
#include "support/primHarness.h"

namespace {

oop k(int64_t v) { return smallIntegerFor(v); }

oop bytes(std::initializer_list<uint8_t> b) {
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), b.size());
  memcpy(bodyOf(h), b.begin(), b.size());
  return oopOf(h);
}

oop array(std::initializer_list<oop> slots) {
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), slots.size());
  uint64_t i = 0;
  for (oop o : slots) bodyOf(a)[i++] = o;
  return oopOf(a);
}

class Win_Com : public ::testing::Test {
 protected:
  void SetUp() override {
    newCTestHeap();
    comDescriptorClassX = registeredArrayX = comInterfaceSlot = -1;
    initCOMPrimitives();
    initRegisteredArrayPrimitive();
    ASSERT_FALSE(callPrimitive(339, nilOop(), {k(0)}).failed);
  }
  void TearDown() override { comSendHook = basicOeSendMessageMany; }
  static oop holder(uint64_t interfacePointer) {
    oop h = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(h))[0] = cUnsignedToOop(interfacePointer);
    return h;
  }
  // 389 on the holder's interface: method slot, arguments, kinds (result, interface, arguments).
  static PrimOutcome comCall(oop h, int slot, std::initializer_list<oop> args, std::initializer_list<uint8_t> kinds) {
    return callVarArgPrimitive(389, nilOop(), std::vector<oop>{h, k(slot), k(0), array(args), bytes(kinds), k(0), k(0), nilOop(), nilOop()});
  }
};

// CoGetMalloc's IMalloc: Alloc(64), GetSize = 64, DidAlloc = 1, Free, Release.
TEST_F(Win_Com, SystemAllocatorThroughItsMethodTable) {
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  IMalloc* malloc = nullptr;
  ASSERT_EQ(CoGetMalloc(1, &malloc), S_OK);
  oop h = holder(uint64_t(uintptr_t(malloc)));
  PrimOutcome block = comCall(h, 3, {k(64)}, {ckUnsignedLongLong, ckObject, ckUnsignedLongLong});
  ASSERT_FALSE(block.failed);
  uint64_t address;
  ASSERT_TRUE(oopToQ64(block.result, &address));
  ASSERT_NE(address, 0u);
  EXPECT_EQ(comCall(h, 6, {block.result}, {ckUnsignedLongLong, ckObject, ckPointer13}).result, k(64));
  EXPECT_EQ(comCall(h, 7, {block.result}, {ckSignedInt, ckObject, ckPointer13}).result, k(1));
  EXPECT_EQ(comCall(h, 5, {block.result}, {ckVoid, ckObject, ckPointer13}).result, nilOop());
  EXPECT_FALSE(comCall(h, 2, {}, {ckUnsignedInt, ckObject}).failed);
  CoUninitialize();
}

// What the test object's methods saw and answer.
std::vector<std::pair<oop, oop>> sends;  // receiver, selector
std::vector<oop> sentArguments;
oop (*answerFor)(oop selector, oop arguments);

oop recordingSend(oop receiver, oop selector, oop arguments, oop*, oop) {
  sends.push_back({receiver, selector});
  sentArguments.push_back(arguments);
  return answerFor(selector, arguments);
}

// The object a client holds: the method table first, the receiver's registeredArray index at
// byte offset 8.
struct ComInstance {
  void* table;
  uint32_t receiverIndex;
};

struct Guid16 {
  uint8_t b[16];
};

// Methods: QueryInterface(this, riid, ppv) -> HRESULT, AddRef(this) -> ULONG, and
// Scale(this, int32_t* p, double d) -> double; selectors at 1, 3, 5, the receiver at 7,
// the pointer argument's class at 9 and its descriptor at 11 of the registeredArray.
class Win_ComObject : public Win_Com {
 protected:
  oop registered, receiver, qi, addRef, scale, pointerClass, descriptor;
  oop table;  // 487's answer

  void SetUp() override {
    Win_Com::SetUp();
    receiver = newOldObject(testClasses.threeSlots, 3);
    qi = byteString("queryInterface"), addRef = byteString("addRef"), scale = byteString("scale:by:");
    pointerClass = cTestClasses.pointer;
    descriptor = newDescriptor({{0, ckSignedInt}});
    registered = array({qi, k(1), addRef, k(1), scale, k(1), receiver, k(1), pointerClass, k(1), descriptor, k(1)});
    ASSERT_FALSE(callPrimitive(489, nilOop(), {registered}).failed);
    oop methods = array({
        array({k(1), k(2), k(3), bytes({ckSignedInt, ckUnsignedLongLong, ckUnsignedLongLong, ckUnsignedLongLong}), nilOop()}),
        array({k(3), k(2), k(1), bytes({ckUnsignedInt, ckUnsignedLongLong}), nilOop()}),
        array({k(5), k(0x22), k(3), bytes({ckDouble, ckUnsignedLongLong, ckPointer13, ckDouble}), k(9), k(11)}),
    });
    PrimOutcome built = callPrimitive(487, nilOop(), {methods});
    ASSERT_FALSE(built.failed);
    table = built.result;
    sends.clear(), sentArguments.clear();
    comSendHook = recordingSend;
  }
  void* methodTable() {
    uint64_t a;
    EXPECT_TRUE(oopToQ64(table, &a));
    return reinterpret_cast<void*>(uintptr_t(a));
  }
  void* method(int i) { return static_cast<void**>(methodTable())[i]; }
};

TEST_F(Win_ComObject, CalledFromCThroughItsMethodTable) {
  ComInstance instance = {methodTable(), 7};
  answerFor = [](oop selector, oop args) -> oop {
    std::string s = textOf(selector);
    if (s == "queryInterface") return k(0);
    if (s == "addRef") return k(2);
    int32_t v = *reinterpret_cast<const int32_t*>(uintptr_t(smallIntegerValue(slotOf(slotOf(args, 1), 0))));
    double d;
    castOopToFiniteDouble(slotOf(args, 2), &d);
    return newDoubleBox(v * d);
  };
  Guid16 iid = {};
  void* out = nullptr;
  auto queryInterface = reinterpret_cast<HRESULT (*)(void*, const Guid16*, void**)>(method(0));
  EXPECT_EQ(queryInterface(&instance, &iid, &out), S_OK);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].first, receiver);
  EXPECT_EQ(sends[0].second, qi);
  oop args = sentArguments[0];
  ASSERT_EQ(bodyWordsOf(headerOf(args)), 3u);
  uint64_t word;
  ASSERT_TRUE(oopToQ64(slotOf(args, 0), &word));
  EXPECT_EQ(word, uint64_t(uintptr_t(&instance)));
  ASSERT_TRUE(oopToQ64(slotOf(args, 1), &word));
  EXPECT_EQ(word, uint64_t(uintptr_t(&iid)));

  auto addRefC = reinterpret_cast<ULONG (*)(void*)>(method(1));
  EXPECT_EQ(addRefC(&instance), 2u);

  int32_t seven = 7;
  auto scaleC = reinterpret_cast<double (*)(void*, int32_t*, double)>(method(2));
  EXPECT_EQ(scaleC(&instance, &seven, 1.5), 10.5);
  oop pointerArg = slotOf(sentArguments.back(), 1);
  EXPECT_EQ(classOf(pointerArg), pointerClass);
  EXPECT_EQ(slotOf(pointerArg, 1), descriptor);

  // A send that answers nothing makes the method answer E_FAIL.
  answerFor = [](oop, oop) -> oop { return 0; };
  EXPECT_EQ(uint32_t(queryInterface(&instance, &iid, &out)), 0x80004005u);
}

// 488 releases the count of every selector, class and descriptor the records name; those at 1
// become nil. The receiver's own count is the image's.
TEST_F(Win_ComObject, FreeReleasesTheRegisteredCounts) {
  ASSERT_FALSE(callPrimitive(488, nilOop(), {table}).failed);
  for (int index : {1, 3, 5, 9, 11}) {
    EXPECT_EQ(registeredArrayAt(index), nilOop()) << index;
    EXPECT_EQ(slotOf(registered, uint64_t(index)), k(0)) << index;
  }
  EXPECT_EQ(registeredArrayAt(7), receiver);
  EXPECT_EQ(slotOf(registered, 7), k(1));
  // counts that are no SmallInteger, or past the end, change nothing
  EXPECT_EQ(registeredArrayRelease(12), 0);
  EXPECT_EQ(registeredArrayRelease(40), 0);
}

// Malformed descriptors are refused with entry 3 and leave no block behind.
TEST_F(Win_Com, BuildRefusesMalformedDescriptors) {
  auto method = [](oop flags, std::initializer_list<uint8_t> kinds) {
    return array({k(1), flags, k(int64_t(kinds.size()) - 1), bytes(kinds)});
  };
  auto withValues = [](oop m) { return array({slotOf(m, 0), slotOf(m, 1), slotOf(m, 2), slotOf(m, 3), k(1), k(1)}); };
  const oop refused[] = {
      array({}),
      array({array({k(1), k(2), k(1)})}),
      array({withValues(method(k(3), {ckSignedInt, ckObject}))}),
      array({withValues(method(k(6), {ckSignedInt, ckObject}))}),
      array({withValues(method(k(0x10), {ckSignedInt, ckObject}))}),
      array({withValues(method(k(2), {14, ckObject}))}),
      array({withValues(method(k(2), {ckSignedInt, 16}))}),
      array({withValues(method(k(2), {ckSignedInt, 23}))}),
      array({withValues(method(k(0x20), {ckSignedInt, 18}))}),
      k(3),
  };
  for (oop descriptors : refused) {
    void* probe = codeArenaAlloc(8);
    codeArenaFree(probe);
    PrimOutcome r = callPrimitive(487, nilOop(), {descriptors});
    ASSERT_TRUE(r.failed);
    EXPECT_EQ(failureOf(r).code, primErrBadArgument);
    void* next = codeArenaAlloc(8);
    EXPECT_EQ(next, probe);  // nothing was carved meanwhile
    codeArenaFree(next);
  }
}

// 389's and 390's refusals; 489 takes only an Array.
TEST_F(Win_Com, CallRefusals) {
  oop h = holder(0x1000);
  const struct {
    std::vector<oop> args;
    int code;
  } rows[] = {
      {{h, k(0), k(0), array({k(1)}), bytes({ckSignedInt, ckObject}), k(0), k(0), nilOop(), nilOop()}, primErrBadArgument},
      {{h, nilOop(), k(0), array({}), bytes({ckSignedInt, ckObject}), k(0), k(0), nilOop(), nilOop()}, primErrBadArgument},
      {{holder(0), k(0), k(0), array({}), bytes({ckSignedInt, ckObject}), k(0), k(0), nilOop(), nilOop()}, primErrBadArgument},
      {{nilOop(), k(0), k(0), array({}), bytes({ckSignedInt, ckObject}), k(0), k(0), nilOop(), nilOop()}, primErrBadArgument},
  };
  for (const auto& row : rows) {
    PrimOutcome r = callVarArgPrimitive(389, nilOop(), row.args);
    ASSERT_TRUE(r.failed);
    EXPECT_EQ(failureOf(r).code, row.code);
  }
  PrimOutcome early = callVarArgPrimitive(390, h, {});
  ASSERT_TRUE(early.failed);
  EXPECT_EQ(failureOf(early).code, primErrNotInitialized);
  ASSERT_FALSE(callPrimitive(338, classAt(testClasses.pointers), {k(0)}).failed);
  harnessFrameMethod = h;  // not a call descriptor
  PrimOutcome notDescriptor = callVarArgPrimitive(390, h, {});
  harnessFrameMethod = 0;
  ASSERT_TRUE(notDescriptor.failed);
  EXPECT_EQ(failureOf(notDescriptor).code, primErrBadReceiver);
  EXPECT_EQ(failureOf(callPrimitive(489, nilOop(), {k(1)})).code, primErrBadArgument);
}

}  // namespace
