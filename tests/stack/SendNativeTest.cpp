// Sends natively: a loop of hand-built machine code sends through one 11-byte site to
// nmethods with the translator's entry sequence; the lookup is a table of the test's own.
// Linking, relinking on a class-check miss, immediates, super sends and doesNotUnderstand:.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mman/testHeap.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/send.h"
#include "stack/stackzone.h"
#include "tran/cgenx86_64.h"
#include "tran/nativeCode.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/taction.h"
#include "tran/taux.h"
#include "tran/tstack.h"

extern "C" uint64_t testEnter(void (*entry)());

namespace {

alignas(stackSegmentBytes) uint64_t sendZone[4 * stackSegmentWords];

std::map<std::pair<oop, uint32_t>, uint64_t> methods;
int lookups;
uint64_t tableLookup(oop selector, uint32_t classIndex) {
  lookups++;
  auto it = methods.find({selector, classIndex});
  return it == methods.end() ? lookupNotUnderstood : it->second;
}

struct {
  uint64_t rbx, r12, r13;
} seenDnu;
uint64_t loopIndex, rspBefore, rspAfter;
extern "C" void flushNothing() {}

constexpr uint32_t selFoo = 0, selDnu = 1;  // special-selector indices
const uint8_t returnSelf[] = {0x60};

class SendNativeTest : public ::testing::Test {
 protected:
  uint8_t* area = nullptr;
  uint8_t* next = nullptr;
  uint64_t (*savedHook)(oop, uint32_t) = nullptr;
  void (*savedFlush)() = nullptr;
  oop selector[2] = {};
  uint32_t classA = 0, classB = 0, classC = 0;

  void SetUp() override {
    newTestHeap();
    initStacks(sendZone, 4);
    stackAlloc(0);
    area = nativeCodeArea();
    tGlue.picAbortSendMiss = reinterpret_cast<const void*>(&rtPICAbortSendMiss);
    next = initTxAborts(area);
    tStackInit();
    actionInit();
    savedFlush = rtFlushICache;
    rtFlushICache = flushNothing;  // the program's zone is not executable here
    savedHook = findMethodHook;
    findMethodHook = tableLookup;
    methods.clear();
    lookups = 0;
    oop specials = newOldObject(testClasses.pointers, 4);
    for (int i = 0; i < 2; i++) {
      selector[i] = newOldObject(testClasses.bytes, 3);
      memcpy(bodyOf(headerOf(selector[i])), i == 0 ? "foo" : "dnu", 3);
      bodyOf(headerOf(specials))[2 * i] = selector[i];
    }
    sysOopRegistry[sysSpecialSelectors] = specials;
    sysOopRegistry[sysDnuSelector] = selector[selDnu];
    uint32_t message = newTestClass(formatPointers | 3);
    sysOopRegistry[sysMessageClass] = classAt(message);
    classA = newTestClass(formatPointers);
    classB = newTestClass(formatPointers);
    classC = newTestClass(formatPointers);
  }
  void TearDown() override {
    findMethodHook = savedHook;
    rtFlushICache = savedFlush;
    initStackChains();
    freeTestHeap();
  }

  uint8_t* block() {
    next = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(next) + 255) & ~uintptr_t(255));
    uint8_t* b = next;
    next += 256;
    return b;
  }
  // An nmethod answering id in rbx; a doesNotUnderstand: method also records rbx, r12, r13.
  uint64_t nmethod(oop sel, uint32_t classIndex, int numArgs, int32_t id, bool records = false) {
    uint8_t* b = block();
    auto* h = reinterpret_cast<NMethodHeader*>(b);
    memset(h, 0, sizeof *h);
    h->usedSize = 256;
    h->mark = nmMarkAllocated;
    h->numArgs = uint8_t(numArgs);
    h->selector = sel;
    TVInfo info = {};
    info.bytecodes = returnSelf;
    info.bytecodesEnd = returnSelf + 1;
    info.primitive = -1;
    info.numArgs = uint8_t(numArgs);
    info.receiverTag = uint8_t(classIndex < 8 ? classIndex : 0);
    uint8_t* at = initTemps(returnSelf, b, &info);
    EXPECT_EQ(at, b + nMethodGlueEntry);
    if (records) {
      at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(&seenDnu));
      at = emitMovMR(at, rR11, 0, rBX);
      at = emitMovMR(at, rR11, 8, rR12);
      at = emitMovMR(at, rR11, 16, rR13);
    }
    emitRet(emitMovRI32(at, rBX, id));
    uint64_t nm = reinterpret_cast<uint64_t>(b);
    methods[{sel, classIndex}] = nm;
    return nm;
  }

  static uint8_t* bytes(uint8_t* at, std::initializer_list<uint8_t> bs) {
    for (uint8_t x : bs) *at++ = x;
    return at;
  }
  static uint8_t* u32(uint8_t* at, uint32_t v) {
    memcpy(at, &v, 4);
    return at + 4;
  }

  // A loop over receivers[count..1] sending selector index imm with n arguments (the k-th
  // argument is SmallInteger k) through one site of glue entry; answers in results[i].
  // The site's return address goes to *site.
  void (*caller(uint32_t imm, void (*glue)(), int n, const uint64_t* receivers, uint64_t* results,
                uint64_t* site, oop methodClass = 0))() {
    uint8_t* start = block();
    uint8_t* at = start;
    uint8_t* loop = at;
    at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(&loopIndex));
    at = emitMovRM(at, rR14, rR11, 0);
    at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(receivers));
    at = bytes(at, {0x4B, 0x8B, 0x1C, 0xF3});  // mov rbx, [r11 + r14*8]
    at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(&rspBefore));
    at = emitMovMR(at, rR11, 0, rSP);
    if (n >= 3) at = emitPushR(at, rBX);
    for (int k = 1; k <= n - 2; k++) at = emitPushI32(at, int32_t(smallIntegerFor(k)));
    if (n >= 1) at = emitMovRI64(at, rR12, smallIntegerFor(n >= 2 ? n - 1 : 1));
    if (n >= 2) at = emitMovRI64(at, rR13, smallIntegerFor(n));
    at = emitMovRI64(at, rR9, uint64_t(n));
    if (methodClass != 0) at = emitMovRI64(at, rR11, methodClass);
    at = bytes(at, {0x41, 0xBF});
    at = u32(at, imm);
    at = emitCallRel(at, reinterpret_cast<const void*>(glue));
    *site = reinterpret_cast<uint64_t>(at);
    at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(&rspAfter));
    at = emitMovMR(at, rR11, 0, rSP);
    at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(&loopIndex));
    at = emitMovRM(at, rR14, rR11, 0);
    at = emitMovRI64(at, rR10, reinterpret_cast<uint64_t>(results));
    at = bytes(at, {0x4B, 0x89, 0x1C, 0xF2});  // mov [r10 + r14*8], rbx
    at = bytes(at, {0x49, 0xFF, 0xCE});        // dec r14
    at = emitMovMR(at, rR11, 0, rR14);
    at = emitJccRel32(at, 5, int32_t(loop - (at + 6)));  // jnz loop
    emitRet(at);
    next = at + 64;
    return reinterpret_cast<void (*)()>(start);
  }

  void run(void (*code)(), uint64_t count) {
    loopIndex = count;
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
    testEnter(code);
  }
  static uint32_t siteImmediate(uint64_t R) {
    uint32_t v;
    memcpy(&v, reinterpret_cast<const void*>(R - 9), 4);
    return v;
  }
  static uint64_t siteTarget(uint64_t R) {
    int32_t d;
    memcpy(&d, reinterpret_cast<const void*>(R - 4), 4);
    return R + int64_t(d);
  }
};

TEST_F(SendNativeTest, MonomorphicSendsLinkOnceAndCallTheMethodDirectly) {
  uint64_t nm = nmethod(selector[selFoo], classA, 0, 11);
  const uint64_t count = 1000000;
  std::vector<uint64_t> receivers(count + 1, newOldObject(classA, 0)), results(count + 1, 0);
  uint64_t R = 0;
  run(caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R), count);
  EXPECT_EQ(lookups, 1);
  EXPECT_EQ(std::count(results.begin() + 1, results.end(), 11u), int64_t(count));
  EXPECT_EQ(siteImmediate(R), classA);
  EXPECT_EQ(siteTarget(R), nm + nMethodEntry);
}

// Each send kind links to its own entry; immediates link with their 3-bit tag.
TEST_F(SendNativeTest, EachKindLinksToItsEntryWithTheReceiversTag) {
  const struct {
    void (*glue)();
    bool immediate;
    uint32_t entry;
  } cases[] = {
      {unlinkedSend0, false, nMethodEntry},
      {unlinkedSend0, true, nMethodEntry},
      {unlinkedSendNoCheck0, true, nMethodEntryNoCheck},
      {unlinkedSendNonImmediate0, false, nMethodEntryNonImmediate},
  };
  uint64_t onA = nmethod(selector[selFoo], classA, 0, 21);
  uint64_t onInt = nmethod(selector[selFoo], classIndexSmallInteger, 0, 22);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    lookups = 0;
    oop r = c.immediate ? smallIntegerFor(5) : newOldObject(classA, 0);
    std::vector<uint64_t> receivers(4, r), results(4, 0);
    uint64_t R = 0;
    run(caller(selFoo, c.glue, 0, receivers.data(), results.data(), &R), 3);
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(results[1], c.immediate ? 22u : 21u);
    EXPECT_EQ(siteImmediate(R), c.immediate ? classIndexSmallInteger : classA);
    EXPECT_EQ(siteTarget(R), (c.immediate ? onInt : onA) + c.entry);
  }
}

// A class-check miss in the callee's entry relinks the site to the new class's method.
TEST_F(SendNativeTest, ClassCheckMissRelinksTheSite) {
  std::map<char, uint64_t> ids = {{'A', 31}, {'B', 32}, {'i', 33}};
  nmethod(selector[selFoo], classA, 0, 31);
  nmethod(selector[selFoo], classB, 0, 32);
  nmethod(selector[selFoo], classIndexSmallInteger, 0, 33);
  const struct {
    std::string order;  // sent first to last
    int lookups;
  } cases[] = {{"AAAA", 1}, {"AABB", 2}, {"ABAB", 4}, {"iAiiB", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.order);
    lookups = 0;
    size_t n = c.order.size();
    std::vector<uint64_t> receivers(n + 1), results(n + 1, 0);
    for (size_t i = 0; i < n; i++) {  // the loop runs from the highest index down
      char k = c.order[i];
      receivers[n - i] = k == 'i' ? smallIntegerFor(int64_t(i)) : newOldObject(k == 'A' ? classA : classB, 0);
    }
    uint64_t R = 0;
    run(caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R), n);
    EXPECT_EQ(lookups, c.lookups);
    for (size_t i = 0; i < n; i++) EXPECT_EQ(results[n - i], ids[c.order[i]]) << i;
  }
}

// Not understood: the Message carries the selector, the arguments in order and the lookup
// class; the stacked arguments are gone when the doesNotUnderstand: method returns.
TEST_F(SendNativeTest, NotUnderstoodSendsAMessageWithTheArgumentsInOrder) {
  nmethod(selector[selDnu], classC, 1, 41, true);
  const struct {
    int n;
    void (*glue)();
  } cases[] = {{0, unlinkedSend0}, {1, unlinkedSend1}, {2, unlinkedSend2}, {3, unlinkedSend3},
               {6, unlinkedSendMany}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    oop r = newOldObject(classC, 0);
    std::vector<uint64_t> receivers(2, r), results(2, 0);
    uint64_t R = 0;
    seenDnu = {};
    run(caller(selFoo, c.glue, c.n, receivers.data(), results.data(), &R), 1);
    EXPECT_EQ(results[1], 41u);
    EXPECT_EQ(rspAfter, rspBefore);
    EXPECT_EQ(seenDnu.rbx, r);
    oop message = seenDnu.r12;
    ASSERT_TRUE(isHeapObject(message));
    EXPECT_EQ(classOf(message), sysOop(sysMessageClass));
    EXPECT_EQ(slotOf(message, 0), selector[selFoo]);
    EXPECT_EQ(slotOf(message, 2), nilOop());
    oop args = slotOf(message, 1);
    ASSERT_EQ(classTagOf(headerOf(args)), classIndexArray);
    ASSERT_EQ(bodyWordsOf(headerOf(args)), uint64_t(c.n));
    for (int k = 1; k <= c.n; k++) EXPECT_EQ(slotOf(args, k - 1), smallIntegerFor(k)) << k;
    EXPECT_EQ(siteTarget(R), reinterpret_cast<uint64_t>(c.glue)) << "the site stays unlinked";
  }
}

// The two-argument form gets the selector and the Array in registers.
TEST_F(SendNativeTest, TwoArgumentDoesNotUnderstandGetsSelectorAndArray) {
  nmethod(selector[selDnu], classC, 2, 42, true);
  std::vector<uint64_t> receivers(2, newOldObject(classC, 0)), results(2, 0);
  uint64_t R = 0;
  run(caller(selFoo, unlinkedSend1, 1, receivers.data(), results.data(), &R), 1);
  EXPECT_EQ(results[1], 42u);
  EXPECT_EQ(seenDnu.r12, selector[selFoo]);
  ASSERT_EQ(bodyWordsOf(headerOf(seenDnu.r13)), 1u);
  EXPECT_EQ(slotOf(seenDnu.r13, 0), smallIntegerFor(1));
}

// Super sends look up from the method class's superclass and link to the no-check entry;
// a nil superclass is not understood with the method class as lookup class.
TEST_F(SendNativeTest, SuperSendsStartAboveTheMethodClass) {
  uint32_t object = testClasses.object;
  uint64_t onObject = nmethod(selector[selFoo], object, 0, 51);
  nmethod(selector[selFoo], classA, 0, 52);  // not seen: the lookup starts above A
  nmethod(selector[selDnu], classA, 1, 53, true);
  oop r = newOldObject(classA, 0);
  std::vector<uint64_t> receivers(3, r), results(3, 0);
  uint64_t R = 0;
  run(caller(selFoo, unlinkedSendSuper0, 0, receivers.data(), results.data(), &R, classAt(classA)), 2);
  EXPECT_EQ(results[1], 51u);
  EXPECT_EQ(results[2], 51u);
  EXPECT_EQ(lookups, 1);
  EXPECT_EQ(siteImmediate(R), object);
  EXPECT_EQ(siteTarget(R), onObject + nMethodEntryNoCheck);

  oop rootClass = classAt(object);
  ASSERT_EQ(superclassOf(rootClass), nilOop());
  run(caller(selFoo, unlinkedSendSuper0, 0, receivers.data(), results.data(), &R, rootClass), 1);
  EXPECT_EQ(results[1], 53u);
  EXPECT_EQ(slotOf(seenDnu.r12, 2), rootClass);
}

}  // namespace
