// Sends natively: a loop of hand-built machine code sends through one 11-byte site to
// nmethods with the translator's entry sequence; the lookup is a table of the test's own.
// Linking, relinking on a class-check miss, immediates, super sends and doesNotUnderstand:.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ext/exOption.h"
#include "mman/testHeap.h"
#include "support/testZone.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/send.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/cgenx86_64.h"
#include "tran/nativeCode.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/taction.h"
#include "tran/taux.h"
#include "tran/tmain.h"
#include "tran/tpcmap.h"
#include "tran/tpic.h"
#include "tran/tprim.h"
#include "tran/tstack.h"
#include "tran/txmem.h"

#if defined(__SANITIZE_ADDRESS__)
#define SEND_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SEND_TEST_ASAN 1
#endif
#endif
#ifdef SEND_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

extern "C" {
uint64_t testEnter(void (*entry)());
void testExit();
void CrtAttemptToAssign(oop object, oop value, uint64_t index);
}

namespace {

alignas(stackSegmentBytes) uint64_t sendZone[4 * stackSegmentWords];

std::map<std::pair<oop, uint32_t>, uint64_t> methods;
int lookups;
// The method table with the method cache in front, as the translator's lookup fills it.
uint64_t tableLookup(oop selector, uint32_t classIndex) {
  lookups++;
  auto it = methods.find({selector, classIndex});
  if (it == methods.end()) return lookupNotUnderstood;
  if (mCacheProbe(selector, classIndex) == 0) mCacheFill(mCacheVictim(selector, classIndex), classIndex, it->second);
  return it->second;
}

// An executable zone below 2 GiB for the PICs (the program's zone is plain data).
uint8_t* executableZone() {
  static void* zone = mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE | PROT_EXEC,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  return static_cast<uint8_t*>(zone);
}

struct {
  uint64_t rbx, r12, r13, stacked[4];
} seenDnu;
uint64_t loopIndex, rspBefore, rspAfter;
extern "C" void flushNothing() {}

constexpr uint32_t selFoo = 0, selDnu = 1;  // special-selector indices
const uint8_t returnSelf[] = {0x60};

class SendNative : public ::testing::Test {
 protected:
  uint8_t* area = nullptr;
  uint8_t* next = nullptr;
  uint64_t (*savedHook)(oop, uint32_t) = nullptr;
  void (*savedFlush)() = nullptr;
  std::unique_ptr<SavedNMethodZone> savedZone;
  MethodCacheEntry* savedCache = nullptr;
  uint64_t savedOptions = 0;
  NPICMaintenance savedOps = {};
  int savedSymbols = 0;
  bool zoneMethods = false;  // nmethods in the zone, where the collection can move them
  static void clearPICTable() {
    VToNTable& t = allVToNTables[nmPICTable];
    memset(t.buckets, 0, (t.mask + 1) * sizeof(uint64_t));
  }
  oop selector[2] = {};
  uint32_t classA = 0, classB = 0, classC = 0;

  void SetUp() override {
    newTestHeap();
    initStacks(sendZone, 4);
    stackAlloc(0);
    area = nativeCodeArea();
    tRt.picAbortSendMiss = reinterpret_cast<const void*>(&rtPICAbortSendMiss);
    next = area;
    tStackInit();
    actionInit();
    savedOptions = qrxOptions;
    savedCache = mCache;
    savedZone = std::make_unique<SavedNMethodZone>();
    ASSERT_NE(executableZone(), MAP_FAILED);
    initNMethodAlloc(reinterpret_cast<uint64_t>(executableZone()), 1 << 20);
    clearPICTable();
    savedOps = npicOps;
    initPICs();
    savedFlush = rtFlushICache;
    rtFlushICache = flushNothing;  // the program's zone is not executable here
    savedSymbols = nzoneRTSymbolCount;  // each fixture names its stubs again
    initTxAborts();  // into the zone's permanent area
    savedHook = findMethodHook;
    findMethodHook = tableLookup;
    methods.clear();
    lookups = 0;
    oop specials = newOldObject(testClasses.pointers, 4);
    for (int i = 0; i < 2; i++) {
      selector[i] = newOldObject(testClasses.bytes, 3);
      memcpy(bodyOf(headerOf(selector[i])), i == 0 ? "foo" : "dnu", 3);
      bodyOf(headerOf(specials))[2 * i] = selector[i];
      getObjHash(headerOf(selector[i]));  // selectors the image sends have their hashes
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
    clearPICTable();
    npicOps = savedOps;
    nzoneRTSymbolCount = savedSymbols;
    savedZone.reset();
    mCache = savedCache;
    qrxOptions = savedOptions;
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
  uint64_t nmethod(oop sel, uint32_t classIndex, int numArgs, uint64_t id, bool records = false,
                   bool isBlock = false) {
    auto* h = zoneMethods ? nMethodAlloc(256) : reinterpret_cast<NMethodHeader*>(block());
    uint8_t* b = reinterpret_cast<uint8_t*>(h);
    uint32_t used = zoneMethods ? h->usedSize : 256;
    memset(h, 0, sizeof *h);
    h->usedSize = used;
    b[used - 1] = mapEnd;  // no sites in its map
    h->mark = nmMarkAllocated;
    h->numArgs = uint8_t(numArgs);
    h->selector = sel;
    TVInfo info = {};
    info.bytecodes = returnSelf;
    info.bytecodesEnd = returnSelf + 1;
    info.primitive = -1;
    info.numArgs = uint8_t(numArgs);
    info.receiverTag = uint8_t(classIndex < 8 ? classIndex : 0);
    info.isBlock = isBlock;
    uint8_t* at = initTemps(returnSelf, b, &info);
    EXPECT_EQ(at, b + (isBlock ? nMethodBlockEntry : nMethodGlueEntry));
    if (records) {
      at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(&seenDnu));
      at = emitMovMR(at, rR11, 0, rBX);
      at = emitMovMR(at, rR11, 8, rR12);
      at = emitMovMR(at, rR11, 16, rR13);
      for (int k = 0; k + 2 < numArgs; k++) {  // stacked arguments, the first deepest
        at = emitMovRM(at, rAX, rSP, 8 * (numArgs - 2 - k));
        at = emitMovMR(at, rR11, 24 + 8 * k, rAX);
      }
    }
    at = emitMovRI64(at, rBX, id);
    if (numArgs >= 3) {
      at = bytes(at, {0xC2, uint8_t(8 * (numArgs - 1)), 0});  // ret: drop receiver and stacked
    } else {
      emitRet(at);
    }
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

TEST_F(SendNative, MonomorphicSendsLinkOnceAndCallTheMethodDirectly) {
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
TEST_F(SendNative, EachKindLinksToItsEntryWithTheReceiversTag) {
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

// A class-check miss in the callee's entry relinks the site (PICs off) or turns it
// polymorphic: then each class is looked up once.
TEST_F(SendNative, ClassCheckMissRelinksTheSite) {
  std::map<char, uint64_t> ids = {{'A', 31}, {'B', 32}, {'i', 33}};
  nmethod(selector[selFoo], classA, 0, 31);
  nmethod(selector[selFoo], classB, 0, 32);
  nmethod(selector[selFoo], classIndexSmallInteger, 0, 33);
  const struct {
    std::string order;  // sent first to last
    bool picsOff;
    int lookups;
  } cases[] = {{"AAAA", true, 1}, {"AABB", true, 2}, {"ABAB", true, 4}, {"iAiiB", true, 4},
               {"AAAA", false, 1}, {"AABB", false, 2}, {"ABAB", false, 2}, {"iAiiB", false, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.order << (c.picsOff ? " PICs off" : ""));
    qrxOptions = c.picsOff ? savedOptions | (uint64_t(1) << 32) : savedOptions & ~(uint64_t(1) << 32);
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

// An nmethod made unenterable the way unlinking does it (its miss call leads to the relink
// routine, its unchecked entry jumps to that call): the next send relinks the site to the
// method the lookup now answers, keeping the entry offset.
TEST_F(SendNative, ASiteOfAnUnlinkedNMethodRelinksOnItsNextSend) {
  uint64_t first = nmethod(selector[selFoo], classA, 0, 31);
  std::vector<uint64_t> receivers(4, newOldObject(classA, 0)), results(4, 0);
  uint64_t R = 0;
  void (*site)() = caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R);
  run(site, 1);
  ASSERT_EQ(siteTarget(R), first + nMethodEntry);
  uint8_t* b = reinterpret_cast<uint8_t*>(first);
  emitCallRel(b + nMethodAbortSendMissOffset, reinterpret_cast<const void*>(rtAbortRelinkSendToUnlinked));
  b[nMethodEntryNoCheck] = 0xEB;
  b[nMethodEntryNoCheck + 1] = uint8_t(int8_t(nMethodAbortSendMissOffset - (nMethodEntryNoCheck + 2)));
  reinterpret_cast<NMethodHeader*>(b)->flags |= nmFlagUnlinked;
  uint64_t second = nmethod(selector[selFoo], classA, 0, 32);
  lookups = 0;
  run(site, 3);
  EXPECT_EQ(results[3], 32u);
  EXPECT_EQ(results[1], 32u);
  EXPECT_EQ(lookups, 1);
  EXPECT_EQ(siteTarget(R), second + nMethodEntry);
  EXPECT_EQ(siteImmediate(R), classA);
}

// Not understood: the Message carries the selector, the arguments in order and the lookup
// class; the stacked arguments are gone when the doesNotUnderstand: method returns.
TEST_F(SendNative, NotUnderstoodSendsAMessageWithTheArgumentsInOrder) {
  nmethod(selector[selDnu], classC, 1, 41, true);
  const struct {
    int n;
    void (*glue)();
  } cases[] = {{0, unlinkedSend0}, {1, unlinkedSend1}, {2, unlinkedSend2}, {3, unlinkedSend3},
               {6, unlinkedSendMany}};
  // The first send goes from the unlinked routine, the second through the MNU PIC it made
  // (or, with PICs off, through the unlinked routine again).
  for (bool picsOff : {false, true}) {
    qrxOptions = picsOff ? savedOptions | (uint64_t(1) << 32) : savedOptions & ~(uint64_t(1) << 32);
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.n << (picsOff ? " PICs off" : ""));
      oop r = newOldObject(classC, 0);
      std::vector<uint64_t> receivers(3, r), results(3, 0);
      uint64_t R = 0;
      run(caller(selFoo, c.glue, c.n, receivers.data(), results.data(), &R), 2);
      for (int round = 1; round <= 2; round++) EXPECT_EQ(results[round], 41u) << round;
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
      if (picsOff) {
        EXPECT_EQ(siteTarget(R), reinterpret_cast<uint64_t>(c.glue)) << "the site stays unlinked";
      } else {
        const auto* pic = reinterpret_cast<const NMethodHeader*>(siteTarget(R) - nPICGlueEntry);
        EXPECT_EQ(pic->flags, nmFlagPIC);
        EXPECT_EQ(pic->numTemps, 1) << "the MNU path";
      }
    }
  }
}


// The two-argument form gets the selector and the Array in registers.
TEST_F(SendNative, TwoArgumentDoesNotUnderstandGetsSelectorAndArray) {
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
TEST_F(SendNative, SuperSendsStartAboveTheMethodClass) {
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

// Classes met at one site: the second makes a closed PIC (one call of the miss routine), the
// third extends it (one call of the extend routine); each class is looked up once.
TEST_F(SendNative, AThreeClassSiteBuildsOneClosedPIC) {
  uint32_t classes[3] = {classA, classB, classC};
  for (int i = 0; i < 3; i++) nmethod(selector[selFoo], classes[i], 0, 90 + uint64_t(i));
  const uint64_t rounds = 300;
  std::vector<uint64_t> receivers(3 * rounds + 1), results(3 * rounds + 1, 0);
  for (uint64_t i = 1; i <= 3 * rounds; i++) receivers[i] = newOldObject(classes[i % 3], 0);
  uint64_t R = 0;
  run(caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R), 3 * rounds);
  for (uint64_t i = 1; i <= 3 * rounds; i++) ASSERT_EQ(results[i], 90 + i % 3) << i;
  EXPECT_EQ(lookups, 3);
  const auto* pic = reinterpret_cast<const NMethodHeader*>(siteTarget(R) - nPICGlueEntry);
  EXPECT_EQ(pic->flags, nmFlagPIC);
  EXPECT_EQ(pic->frame, 3) << "cases";
  EXPECT_EQ(pic->numTemps, 0) << "no MNU path";
}

// Ten classes twice, two of them not understood: the ninth moves the site to the open PIC,
// which a second site of the selector shares. Once a class was looked up, the open PIC's
// cache probe finds its method; not-understood sends look up the selector and
// doesNotUnderstand: each time.
TEST_F(SendNative, TenClassesMoveTheSiteToTheSharedOpenPIC) {
  std::vector<uint32_t> classes = {classA, classB, classC};
  while (classes.size() < 10) classes.push_back(newTestClass(formatPointers));
  for (size_t i = 0; i < classes.size(); i++) {
    if (i == 3 || i == 7) nmethod(selector[selDnu], classes[i], 1, 200 + i, true);
    else nmethod(selector[selFoo], classes[i], 0, 100 + i);
  }
  std::vector<uint64_t> receivers(21), results(21, 0);
  for (size_t i = 0; i < 20; i++) receivers[20 - i] = newOldObject(classes[i % 10], 0);
  auto expectResults = [&] {
    for (size_t i = 0; i < 20; i++) {
      size_t k = i % 10;
      EXPECT_EQ(results[20 - i], (k == 3 || k == 7 ? 200 : 100) + k) << i;
    }
  };
  uint64_t R1 = 0, R2 = 0;
  void (*site1)() = caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R1);
  run(site1, 20);
  expectResults();
  // First ten: one lookup per understood class, three per not-understood one (selector,
  // doesNotUnderstand: for the case, and for the send); second ten: two per not-understood.
  EXPECT_EQ(lookups, 8 + 2 * 3 + 2 * 2);
  uint64_t open = siteTarget(R1) - nPICGlueEntry;
  EXPECT_EQ(reinterpret_cast<const NMethodHeader*>(open)->flags, nmFlagOpenPIC);
  lookups = 0;
  std::fill(results.begin(), results.end(), 0);
  run(site1, 20);
  expectResults();
  EXPECT_EQ(lookups, 2 * 2 * 2);
  std::fill(results.begin(), results.end(), 0);
  run(caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R2), 20);
  expectResults();
  EXPECT_EQ(siteTarget(R2), siteTarget(R1)) << "one open PIC per selector";
}

// The closed PIC's bytes against GNU as: three classes and a not-understood one.
TEST_F(SendNative, ClosedPICBytesMatchTheAssembler) {
  uint32_t classD = newTestClass(formatPointers);
  uint64_t targets[3];
  uint32_t classes[4] = {classA, classB, classC, classD};
  for (int i = 0; i < 3; i++) targets[i] = nmethod(selector[selFoo], classes[i], 0, 90 + uint64_t(i));
  nmethod(selector[selDnu], classD, 1, 94);
  std::vector<uint64_t> receivers(5), results(5, 0);
  for (int i = 0; i < 4; i++) receivers[4 - i] = newOldObject(classes[i], 0);
  uint64_t R = 0;
  run(caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R), 4);
  uint64_t pic = siteTarget(R) - nPICGlueEntry;
  ASSERT_EQ(reinterpret_cast<const NMethodHeader*>(pic)->frame, 4);

  char text[4096];
  int n = snprintf(text, sizeof text,
                   "\t.text\ns:\n\tlea s-40(%%rip), %%r14\n\tpush $%" PRIu64 "\n\tret\n\t.fill 11, 1, 0x90\n"
                   "\tmov %%rbx, %%rax\n\tand $7, %%rax\n\tjnz 1f\n\tmov 8(%%rbx), %%rax\n"
                   "\tand $0xFFFFF, %%eax\n1:\tcmp %%r15, %%rax\n\tjne 2f\n\t{disp32} jmp s-40+%" PRIu64 "\n2:\n",
                   glueAddress(rtMNUFromPIC), targets[0] + nMethodEntryNoCheck - pic);
  for (int k = 1; k < 4; k++) {
    uint64_t target = k < 3 ? targets[k] + nMethodEntryNoCheck - pic : nMethodCannotResumeEntry;
    n += snprintf(text + n, sizeof text - size_t(n),
                  "\t.byte 0x48, 0x81, 0xf8\n\t.long %u\n\t{disp32} je s-40+%" PRIu64 "\n", classes[k], target);
  }
  snprintf(text + n, sizeof text - size_t(n), "\tlea s-40(%%rip), %%r14\n\tpush $%" PRIu64 "\n\tret\n",
           glueAddress(rtExtendClosedPIC));
  std::string dir = std::string(TESSEL_BINARY_DIR) + "/pic-oracle";
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  FILE* f = fopen((dir + "/pic.s").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(text, f);
  fclose(f);
  std::string cmd = "cd '" + dir + "' && as -o pic.o pic.s && objcopy -O binary -j .text pic.o pic.bin";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << text;
  f = fopen((dir + "/pic.bin").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> expected(512);
  expected.resize(fread(expected.data(), 1, expected.size(), f));
  fclose(f);
  const uint8_t* code = reinterpret_cast<const uint8_t*>(pic) + nMethodCannotResumeEntry;
  std::vector<uint8_t> actual(code, code + expected.size());
  EXPECT_EQ(actual, expected) << text;
  EXPECT_EQ(expected.size(), nPICFirstTargetOffset - nMethodCannotResumeEntry + 3 * nPICTypeCaseSize + 13u);
}

// What a printer writes for one block.
static std::string printed(void (*print)(uint64_t, FILE*), uint64_t block) {
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  print(block, f);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}
static std::string hex(uint64_t v) {
  char b[24];
  snprintf(b, sizeof b, "0x%" PRIx64, v);
  return b;
}

// The listings of a closed PIC (two classes after case 0, a not-understood one last) and of
// the open PIC a ninth class brings; the nmethod printer hands PICs to them.
TEST_F(SendNative, PICListingsShowTheCasesTheirClassesAndTheMNUPath) {
  std::vector<uint32_t> classes = {classA, classB, classC};
  while (classes.size() < 10) classes.push_back(newTestClass(formatPointers));
  uint64_t targets[10];
  for (size_t i = 0; i < 10; i++)
    targets[i] = i == 3 ? nmethod(selector[selDnu], classes[i], 1, 94) : nmethod(selector[selFoo], classes[i], 0, 90 + i);
  // A run of count sends visits receivers[count] down to receivers[1].
  std::vector<uint64_t> receivers(11), results(11, 0);
  auto firstClasses = [&](int count) {
    for (int i = 0; i < count; i++) receivers[size_t(count - i)] = newOldObject(classes[size_t(i)], 0);
  };
  uint64_t R = 0;
  void (*site)() = caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R);
  firstClasses(4);
  run(site, 4);
  uint64_t pic = siteTarget(R) - nPICGlueEntry;
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(pic);
  const std::string sel = hex(selector[selFoo]);
  std::string header = "nPIC " + hex(pic) + ": closed, mark=255 with MNU Case(s)=" + hex(pic + 40) +
                       " (entry: " + hex(pic + 64) + ")\n  usedSize=" + hex(h->usedSize) + " link=" + hex(h->link) +
                       "\n  numArgs=0x0 numCases=4 \n  selector=" + sel + " (foo)\n";
  EXPECT_EQ(printed(printNPIC, pic), header);
  EXPECT_EQ(printed(printNMethod, pic), header);
  EXPECT_EQ(printed(printEntireNPIC, pic), header + "case 0: " + hex(targets[0]) + "\ncase 1: " + hex(targets[1]) +
                                                ", class " + hex(classes[1]) + "\ncase 2: " + hex(targets[2]) +
                                                ", class " + hex(classes[2]) + "\ncase 3 is MNU, class " +
                                                hex(classes[3]) + "\nmnuNMethod: " + hex(targets[3]) + "\n");

  firstClasses(10);
  run(site, 10);  // the ninth class moves the site to the open PIC
  uint64_t open = siteTarget(R) - nPICGlueEntry;
  ASSERT_NE(open, pic);
  const NMethodHeader* o = reinterpret_cast<const NMethodHeader*>(open);
  std::string openHeader = "nPIC " + hex(open) + ": open, mark=255 (entry: " + hex(open + 64) +
                           ")\n  usedSize=" + hex(o->usedSize) + " link=" + hex(o->link) +
                           "\n  numArgs=0x0 numCases=0 \n  selector=" + sel + " (foo)\n";
  EXPECT_EQ(printed(printEntireNPIC, open), openHeader);
  // Both PICs are filed: the full closed one stays until the collection sweeps it.
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  printPICSelectors(f);
  fclose(f);
  std::string all(text, size);
  free(text);
  std::string closedNow = printed(printNPIC, pic);
  EXPECT_TRUE(all == closedNow + openHeader || all == openHeader + closedNow) << all;
}

// The one PIC filed in the native-method tables, or 0 when there is none.
static uint64_t onlyPIC() {
  uint64_t found = 0;
  const VToNTable& t = allVToNTables[nmPICTable];
  for (uint32_t i = 0; i <= t.mask; i++)
    for (uint64_t e = t.buckets[i]; e != 0; e = reinterpret_cast<const NMethodHeader*>(e)->link) {
      EXPECT_EQ(found, 0u) << "one PIC expected";
      found = e;
    }
  return found;
}

// A compaction moves the PIC and the nmethods it enters: its cases follow them, the case of a
// freed nmethod goes, and its MNU path works again once restored.
TEST_F(SendNative, CompactionMovesAClosedPICWhoseCasesStillDispatch) {
  zoneMethods = true;
  NMethodHeader* gap = nMethodAlloc(256);
  uint64_t gapSize = nMethodBlockSize(gap);
  uint32_t classD = newTestClass(formatPointers);
  uint32_t classes[4] = {classA, classB, classC, classD};
  nmethod(selector[selFoo], classA, 0, 90);
  nmethod(selector[selFoo], classB, 0, 91);
  uint64_t dnu = nmethod(selector[selDnu], classC, 1, 92, true);
  uint64_t gone = nmethod(selector[selFoo], classD, 0, 93);
  uint64_t goneSize = nMethodBlockSize(reinterpret_cast<NMethodHeader*>(gone));
  std::vector<uint64_t> receivers(5), results(5, 0);
  for (int i = 0; i < 4; i++) receivers[4 - i] = newOldObject(classes[i], 0);
  uint64_t R = 0;
  void (*site)() = caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R);
  run(site, 4);
  uint64_t pic = siteTarget(R) - nPICGlueEntry;
  ASSERT_EQ(onlyPIC(), pic);
  ASSERT_EQ(reinterpret_cast<const NMethodHeader*>(pic)->frame, 4);
  ASSERT_EQ(reinterpret_cast<const NMethodHeader*>(pic)->vmethod, dnu);

  zoneMethods = false;
  nmethod(selector[selFoo], classD, 0, 94);  // D's method was replaced
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(gone));
  nMethodDealloc(gap);
  nmCompact(0);
  uint64_t moved = onlyPIC();
  ASSERT_EQ(moved, pic - gapSize - goneSize);
  const auto* h = reinterpret_cast<const NMethodHeader*>(moved);
  EXPECT_EQ(h->frame, 3) << "the freed nmethod's case is dropped";
  EXPECT_EQ(h->numTemps, 1) << "MNU path kept";
  EXPECT_EQ(h->vmethod, dnu - gapSize) << "the doesNotUnderstand: nmethod moved with the zone";

  // The test's site and method table lie outside the zone: they follow the move here.
  updateInlineCacheToPIC(R, pic, moved);
  methods[{selector[selDnu], classC}] = dnu - gapSize;
  std::fill(results.begin(), results.end(), 0);
  run(site, 4);
  EXPECT_EQ(results[4], 90u);
  EXPECT_EQ(results[3], 91u);
  EXPECT_EQ(results[2], 92u);
  EXPECT_EQ(seenDnu.rbx, receivers[2]);
  EXPECT_EQ(results[1], 94u) << "the new method, through a new case";
  EXPECT_EQ(reinterpret_cast<const NMethodHeader*>(moved)->frame, 4);
}

// What a compaction does with a PIC whose doesNotUnderstand: nmethod or case 0 was freed:
// the first keeps its MNU case and looks the method up again, the second is freed.
TEST_F(SendNative, CompactionForgetsAFreedDnuMethodAndFreesAPICWithoutCase0) {
  zoneMethods = true;
  uint64_t first = nmethod(selector[selFoo], classA, 0, 90);
  uint64_t dnu = nmethod(selector[selDnu], classC, 1, 92, true);
  zoneMethods = false;
  nmethod(selector[selFoo], classB, 0, 91);
  std::vector<uint64_t> receivers = {0, newOldObject(classC, 0)}, results(2, 0);
  uint64_t R = 0;
  void (*site)() = caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R);
  run(site, 1);
  run(site, 1);  // the second send goes through the MNU PIC made by the first
  uint64_t pic = siteTarget(R) - nPICGlueEntry;
  ASSERT_EQ(onlyPIC(), pic);
  ASSERT_EQ(reinterpret_cast<const NMethodHeader*>(pic)->vmethod, dnu);

  nmethod(selector[selDnu], classC, 1, 95, true);  // a new doesNotUnderstand: method
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(dnu));
  nmCompact(0);
  uint64_t moved = onlyPIC();
  ASSERT_NE(moved, 0u) << "the PIC stays";
  const auto* h = reinterpret_cast<const NMethodHeader*>(moved);
  EXPECT_EQ(h->vmethod, 0u);
  EXPECT_EQ(h->numTemps, 1);
  EXPECT_EQ(h->frame, 1);
  updateInlineCacheToPIC(R, pic, moved);
  results[1] = 0;
  run(site, 1);
  EXPECT_EQ(results[1], 95u) << "case 0 still enters the MNU path, which looks the method up";

  // A second site whose case 0 is a zone nmethod that is then freed.
  std::vector<uint64_t> two = {0, newOldObject(classB, 0), newOldObject(classA, 0)}, out(3, 0);
  uint64_t R2 = 0;
  run(caller(selFoo, unlinkedSend0, 0, two.data(), out.data(), &R2), 2);
  ASSERT_EQ(out[2], 90u);
  ASSERT_EQ(out[1], 91u);
  uint64_t second = siteTarget(R2) - nPICGlueEntry;
  ASSERT_NE(second, moved);
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(first));
  nmCompact(0);
  uint64_t left = onlyPIC();
  ASSERT_NE(left, 0u);
  EXPECT_EQ(reinterpret_cast<const NMethodHeader*>(left)->numTemps, 1) << "only the MNU PIC is left";
}

// A method added for the selector: the MNU PIC's cases may be understood now, and the next
// send through it finds the method and links the site to it.
TEST_F(SendNative, ANewMethodForTheSelectorIsFoundThroughTheMNUPath) {
  nmethod(selector[selDnu], classC, 1, 92, true);
  std::vector<uint64_t> receivers = {0, newOldObject(classC, 0)}, results(2, 0);
  uint64_t R = 0;
  void (*site)() = caller(selFoo, unlinkedSend0, 0, receivers.data(), results.data(), &R);
  run(site, 1);
  ASSERT_EQ(results[1], 92u);
  uint64_t pic = siteTarget(R) - nPICGlueEntry;
  uint64_t found = nmethod(selector[selFoo], classC, 0, 97);
  nmFlushLookupEntriesForSelector(selector[selFoo]);
  EXPECT_EQ(reinterpret_cast<const NMethodHeader*>(pic)->vmethod, 1u);
  EXPECT_EQ(reinterpret_cast<const NMethodHeader*>(pic)->mark, 0);
  run(site, 1);
  EXPECT_EQ(results[1], 97u);
  EXPECT_EQ(siteTarget(R), found + nMethodEntry) << "the site is linked to it";
  EXPECT_EQ(siteImmediate(R), classC);
}

// A branch that met a non-Boolean sends mustBeBoolean and runs again on the answer; the
// True form is handed the value less true.
TEST_F(SendNative, NonBooleanBranchRunsAgainOnTheAnswerOfMustBeBoolean) {
  oop mustBeBoolean = newOldObject(testClasses.bytes, 1);
  sysOopRegistry[sysMustBeBooleanSelector] = mustBeBoolean;
  nmethod(mustBeBoolean, classA, 0, trueOop(), true);
  static uint64_t trueWord;
  trueWord = trueOop();
  for (bool trueForm : {false, true}) {
    SCOPED_TRACE(trueForm);
    oop value = newOldObject(classA, 0);
    // top: cmp rbx, [true]; je done; (rbx -= true); r9 := bytes back to top; call; done: ret
    uint8_t* top = block();
    uint8_t* at = emitMovRI64(top, rR11, reinterpret_cast<uint64_t>(&trueWord));
    at = bytes(at, {0x49, 0x3B, 0x1B});  // cmp rbx, [r11]
    uint8_t* je = at;
    at += 2;
    if (trueForm) at = bytes(at, {0x49, 0x2B, 0x1B});  // sub rbx, [r11]
    uint8_t* loadBackUp = at;
    at = emitMovRI64(at, rR9, 0);
    at = emitCallRel(at, reinterpret_cast<const void*>(trueForm ? rtNotBooleanTrue : rtNotBoolean));
    uint64_t backUp = uint64_t(at - top);
    memcpy(loadBackUp + 2, &backUp, 8);
    je[0] = 0x74;
    je[1] = uint8_t(at - (je + 2));
    emitRet(at);
    next = at + 16;
    seenDnu = {};
    lookups = 0;
    uint64_t* p = currentStack + shRootReturn;
    currentStack[shSp] = reinterpret_cast<uint64_t>(p);
    currentStack[shFp] = rootFpOf(currentStack);
    // testEnter starts with rbx unset: enter through a stub that loads the value.
    uint8_t* stub = block();
    at = emitMovRI64(stub, rBX, value);
    emitJmpRel32(at, top);
    next = stub + 64;
    EXPECT_EQ(testEnter(reinterpret_cast<void (*)()>(stub)), trueOop());
    EXPECT_EQ(seenDnu.rbx, value);
    EXPECT_EQ(lookups, 1);
  }
}

// Stores 4 into slot 3 of object through the routine, from code laid at code (a block);
// answers what the method sent answered.
static uint64_t assignToImmutable(uint8_t* code, oop object) {
  uint8_t* at = emitMovRI64(code, rR12, object);
  at = emitMovRI64(at, rBX, smallIntegerFor(4));
  at = emitMovRI64(at, rR9, 2);
  at = emitCallRel(at, reinterpret_cast<const void*>(rtAttemptToAssign));
  emitRet(at);
  currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
  currentStack[shFp] = rootFpOf(currentStack);
  return testEnter(reinterpret_cast<void (*)()>(code));
}

// A store into an immutable object sends the registry's selector with the value and the
// 1-based index.
TEST_F(SendNative, AssignmentToAnImmutableObjectIsSent) {
  oop attempt = newOldObject(testClasses.bytes, 1);
  sysOopRegistry[sysReadOnlyAssignSelector] = attempt;
  nmethod(attempt, classA, 2, 61, true);
  oop object = newOldObject(classA, 0);
  EXPECT_EQ(assignToImmutable(block(), object), 61u);
  EXPECT_EQ(seenDnu.rbx, object);
  EXPECT_EQ(seenDnu.r12, smallIntegerFor(4));
  EXPECT_EQ(seenDnu.r13, smallIntegerFor(3));
}

// A routine that sends from C goes back into native code without returning, leaving its
// frame (a local array among it) on the C stack. The sanitizer must forget that frame's
// poisoned areas, or the next C code to use the stack faults on its own fresh locals.
TEST_F(SendNative, ARoutineThatSendsLeavesNoPoisonOnTheCStack) {
#ifdef SEND_TEST_ASAN
  oop attempt = newOldObject(testClasses.bytes, 1);
  sysOopRegistry[sysReadOnlyAssignSelector] = attempt;
  nmethod(attempt, classA, 2, 61, true);
  ASSERT_EQ(assignToImmutable(block(), newOldObject(classA, 0)), 61u);
  const uint64_t below = 4096;  // the routine ran under the glue's C stack level
  void* region = reinterpret_cast<void*>(CStack - below);
  void* stale = __asan_region_is_poisoned(region, below);
  __asan_unpoison_memory_region(region, below);  // so that a failure can be reported
  EXPECT_EQ(stale, nullptr) << "poisoned C stack left under " << reinterpret_cast<void*>(CStack);
#else
  GTEST_SKIP() << "needs the address sanitizer";
#endif
}

// A bad bytecode sends the registry's selector to the top frame's method with the index;
// the answer comes back to the stub that called the routine.
TEST_F(SendNative, ABadBytecodeIsReportedToTheTopFramesMethod) {
  oop badSelector = newOldObject(testClasses.bytes, 1);
  sysOopRegistry[sysBadBytecodeSelector] = badSelector;
  uint32_t methodClass = newTestClass(formatPointers);
  oop method = newOldObject(methodClass, 0);
  nmethod(badSelector, methodClass, 1, 62, true);
  NMethodHeader stub = {};
  stub.vmethod = method;
  uint64_t frame[6] = {};
  frame[4 + frNMethod] = reinterpret_cast<uint64_t>(&stub);
  uint8_t* code = block();
  uint8_t* at = bytes(code, {0x55});  // push rbp: the stub's frame is the top one
  at = emitMovRI64(at, rBP, reinterpret_cast<uint64_t>(&frame[4]));
  at = emitMovRI64(at, rBX, 300);
  at = emitCallRel(at, reinterpret_cast<const void*>(rtBadBytecode));
  at = bytes(at, {0x5D});  // pop rbp
  emitRet(at);
  next = at + 16;
  currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
  currentStack[shFp] = rootFpOf(currentStack);
  seenDnu = {};
  EXPECT_EQ(testEnter(reinterpret_cast<void (*)()>(code)), 62u);
  EXPECT_EQ(seenDnu.rbx, method);
  EXPECT_EQ(seenDnu.r12, smallIntegerFor(300));
  EXPECT_EQ(lookups, 1);
  sysOopRegistry[sysBadBytecodeSelector] = nilOop();
}

// Non-local return: frames laid by hand on the running segment, bottom first; the home's
// return pc leads out of the test. Frame letters: B bottom, H home, X with a context, Y
// without, K the block returning (on top); a star marks an unwind-marked method.
class MethodReturn : public SendNative {
 protected:
  NMethodHeader nms[8] = {};
  std::map<char, uint64_t> fps;

  uint64_t enterReturn(const std::string& frames, oop result, oop deadHome = 0) {
    oop method = newOldObject(testClasses.pointers, 1);
    uint64_t* s = currentStack;
    uint64_t fp = reinterpret_cast<uint64_t>(s + shRootFp - 5);
    uint64_t caller = rootFpOf(s);
    size_t k = 0;
    for (size_t i = 0; i < frames.size(); i++) {
      char name = frames[i];
      bool unwind = i + 1 < frames.size() && frames[i + 1] == '*';
      if (name == '*') continue;
      NMethodHeader& nm = nms[k++];
      nm = {};
      nm.flags = unwind ? nmFlagUnwind : 0;
      nm.frame = 12;
      nm.vmethod = method;
      uint64_t* f = reinterpret_cast<uint64_t*>(fp);
      if (caller != rootFpOf(s)) f[frReturnPc] = name == 'H' ? 0 : 0xDEAD;
      f[frCallerFp] = caller;
      f[frContext] = 0;
      f[frNMethod] = reinterpret_cast<uint64_t>(&nm);
      f[frReceiver] = smallIntegerFor(int64_t(i));
      fps[name] = fp;
      caller = fp;
      fp -= 40;
    }
    s[shFp] = caller;
    s[shSp] = caller - 24;
    reinterpret_cast<uint64_t*>(fps['H'])[frReturnPc] = reinterpret_cast<uint64_t>(&testExit);
    for (auto& [name, at] : fps)
      if (name == 'H' || name == 'X') frameMakeHybrid(at, 0);
    oop home = deadHome != 0 ? deadHome : reinterpret_cast<uint64_t*>(fps['H'])[frContext];
    oop closure = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(closure))[1] = home;
    reinterpret_cast<uint64_t*>(fps['K'])[frReceiver] = closure;
    uint8_t* code = block();
    uint8_t* at = emitMovRI64(code, rBX, result);
    at = emitMovRI64(at, rR12, 1);
    at = emitCallRel(at, reinterpret_cast<const void*>(rtMethodReturn));
    emitRet(at);
    next = at + 16;
    return testEnter(reinterpret_cast<void (*)()>(code));
  }
  oop contextOf(char name) { return reinterpret_cast<uint64_t*>(fps[name])[frContext]; }
};

TEST_F(MethodReturn, ReturnsFromTheHomeAndKillsTheContextsBetween) {
  for (const char* frames : {"BHXYK", "BHK", "BHYYXK"}) {
    SCOPED_TRACE(frames);
    fps.clear();
    oop result = smallIntegerFor(1234);
    EXPECT_EQ(enterReturn(frames, result), result);
    if (fps.count('X')) {
      oop x = contextOf('X');
      EXPECT_EQ(isLiveHybrid(x), 0);
      EXPECT_EQ(slotOf(x, ctxSender), nilOop());
    }
    EXPECT_EQ(currentStack[shFp], fps['B']) << "the home's caller runs";
    EXPECT_EQ(isLiveHybrid(contextOf('H')), 0) << "the home has returned";
  }
}

// The first unwind-marked context met on the way (the home included) is sent the unwind
// selector with the result, from the returning block's context; nothing is dropped.
TEST_F(MethodReturn, AnUnwindMarkedFrameOnTheWayIsSentTheUnwindSelector) {
  oop unwindSelector = newOldObject(testClasses.bytes, 1);
  sysOopRegistry[sysUnwindSelector] = unwindSelector;
  nmethod(unwindSelector, classIndexHybridMethodContext, 2, 77, true);
  const struct {
    const char* frames;
    char unwind;
  } cases[] = {{"BHX*K", 'X'}, {"BH*YK", 'H'}, {"BHY*X*K", 'X'}, {"BHXY*K", 'Y'}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    fps.clear();
    seenDnu = {};
    oop result = smallIntegerFor(55);
    EXPECT_EQ(enterReturn(c.frames, result), 77u);
    EXPECT_EQ(seenDnu.rbx, contextOf('K'));
    EXPECT_EQ(seenDnu.r12, result);
    EXPECT_EQ(seenDnu.r13, contextOf(c.unwind));
    EXPECT_EQ(isLiveHybrid(contextOf('H')), 1);
  }
}

// A home whose method has returned: cannotReturn: goes to the home with the result.
TEST_F(MethodReturn, ADeadHomeCannotBeReturnedTo) {
  oop cannotReturnSelector = newOldObject(testClasses.bytes, 1);
  sysOopRegistry[sysCannotReturnSelector] = cannotReturnSelector;
  nmethod(cannotReturnSelector, classIndexMethodContext, 1, 88, true);
  ObjectHeader* h = reinterpret_cast<ObjectHeader*>(newOldObject(testClasses.pointers, contextNamedSlots));
  setClassTag(h, classIndexMethodContext);
  bodyOf(h)[ctxSender] = nilOop();
  oop result = smallIntegerFor(9);
  EXPECT_EQ(enterReturn("BHK", result, oopOf(h)), 88u);
  EXPECT_EQ(seenDnu.rbx, oopOf(h));
  EXPECT_EQ(seenDnu.r12, result);
}

// Evaluation primitives called from a method prologue through the real primitive glue.
// The method's failure code answers the error it finds on its stack.
class Evaluation : public SendNative {
 protected:
  uint8_t primBytecodes[4] = {254, 0, 0, 0x60};

  void SetUp() override {
    SendNative::SetUp();
    for (int k = 0; k < 5; k++) tRt.primGlue[k] = reinterpret_cast<const void*>(PrimGlueTable[k]);
    initPrimitiveTable();
    initEvaluationPrimitives();
    oop table = newOldObject(testClasses.pointers, 10);
    for (int k = 0; k < 10; k++) bodyOf(headerOf(table))[k] = newOldObject(testClasses.pointers, 1);
    sysOopRegistry[sysPrimErrorTable] = table;
    sysOopRegistry[sysArrayClass] = classAt(classIndexArray);
  }
  void TearDown() override {
    vToNMethodHook = nullptr;
    SendNative::TearDown();
  }
  // A method whose prologue calls primitive prim; its failure code answers the error.
  uint64_t primMethod(int prim, int numArgs) {
    uint8_t* b = block();
    next += 256;
    auto* h = reinterpret_cast<NMethodHeader*>(b);
    memset(h, 0, sizeof *h);
    h->usedSize = 512;
    h->mark = nmMarkAllocated;
    h->flags = nmFlagPrimitive;
    h->numArgs = uint8_t(numArgs);
    TVInfo info = {};
    primBytecodes[1] = uint8_t(prim >> 8);
    primBytecodes[2] = uint8_t(prim);
    info.bytecodes = primBytecodes;
    info.bytecodesEnd = primBytecodes + 4;
    info.primitive = prim;
    info.numArgs = uint8_t(numArgs);
    uint8_t* at = initTemps(primBytecodes, b, &info);
    h->frame = info.frameSize;
    at = emitMovRM(at, rBX, rSP, 0);  // the error value the prologue pushed
    tReturn(info.frameSize, numArgs, at);
    return reinterpret_cast<uint64_t>(b);
  }
  // Calls entry once with receiver and arguments laid out as a send of n arguments; answers
  // rbx and checks that the caller's stack is as it was.
  uint64_t callOnce(uint64_t entry, oop receiver, std::vector<oop> args) {
    int n = int(args.size());
    uint8_t* code = block();
    uint8_t* at = emitMovRI64(code, rR11, reinterpret_cast<uint64_t>(&rspBefore));
    at = emitMovMR(at, rR11, 0, rSP);
    at = emitMovRI64(at, rBX, receiver);
    if (n >= 3) at = emitPushR(at, rBX);
    for (int k = 0; k + 2 < n; k++) {
      at = emitMovRI64(at, rAX, args[size_t(k)]);
      at = emitPushR(at, rAX);
    }
    if (n >= 1) at = emitMovRI64(at, rR12, args[size_t(n >= 2 ? n - 2 : 0)]);
    if (n >= 2) at = emitMovRI64(at, rR13, args[size_t(n - 1)]);
    at = emitCallRel(at, reinterpret_cast<const void*>(entry + nMethodEntryNoCheck));
    at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(&rspAfter));
    at = emitMovMR(at, rR11, 0, rSP);
    emitRet(at);
    next = at + 16;
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
    seenDnu = {};
    uint64_t answer = testEnter(reinterpret_cast<void (*)()>(code));
    EXPECT_EQ(rspAfter, rspBefore) << "the caller's stack";
    return answer;
  }
  oop array(std::vector<oop> values) {
    oop a = newOldObject(testClasses.pointers, values.size());
    setClassTag(headerOf(a), classIndexArray);
    for (size_t i = 0; i < values.size(); i++) bodyOf(headerOf(a))[i] = values[i];
    return a;
  }
};

TEST_F(Evaluation, PerformsSendTheSelectorWithTheArguments) {
  oop sel0 = selector[selFoo], sel1 = newOldObject(testClasses.bytes, 1), sel2 = newOldObject(testClasses.bytes, 2),
      sel3 = newOldObject(testClasses.bytes, 3);
  nmethod(sel0, classA, 0, 70, true);
  nmethod(sel1, classA, 1, 71, true);
  nmethod(sel2, classA, 2, 72, true);
  nmethod(sel3, classA, 3, 73, true);
  oop r = newOldObject(classA, 0);
  const oop a = smallIntegerFor(1), b = smallIntegerFor(2), c = smallIntegerFor(3);
  const struct {
    int prim;
    std::vector<oop> args;  // of the primitive
    uint64_t answer;
    std::vector<oop> seen;  // r12, r13, then the stacked first argument
  } cases[] = {
      {511, {sel0}, 70, {}},
      {512, {sel1, a}, 71, {a}},
      {513, {sel2, a, b}, 72, {a, b}},
      {510, {sel2, array({a, b})}, 72, {a, b}},
      {510, {sel3, array({a, b, c})}, 73, {b, c, a}},
      {184, {r, sel1, array({a})}, 71, {a}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.prim << " " << k.args.size());
    uint64_t performer = primMethod(k.prim, int(k.args.size()));
    EXPECT_EQ(callOnce(performer, k.prim == 184 ? smallIntegerFor(0) : r, k.args), k.answer);
    EXPECT_EQ(seenDnu.rbx, r);
    const uint64_t got[3] = {seenDnu.r12, seenDnu.r13, seenDnu.stacked[0]};
    for (size_t i = 0; i < k.seen.size(); i++) EXPECT_EQ(got[i], k.seen[i]) << i;
  }
}

// A failing evaluation primitive runs the method's failure code with the error and leaves
// the caller's stack as it was.
TEST_F(Evaluation, FailuresAnswerTheErrorAndLeaveTheStack) {
  oop sel1 = newOldObject(testClasses.bytes, 1);
  nmethod(sel1, classA, 1, 71);
  oop r = newOldObject(classA, 0);
  const struct {
    int prim;
    std::vector<oop> args;
    uint32_t error;
  } cases[] = {
      {511, {sel1}, 7},                                     // the method takes one argument
      {513, {sel1, smallIntegerFor(1), smallIntegerFor(2)}, 7},
      {510, {sel1, smallIntegerFor(4)}, 3},                 // not an Array
      {510, {sel1, array({})}, 7},
      {501, {}, 5},                                         // the receiver is no block
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.prim << " " << k.args.size());
    uint64_t performer = primMethod(k.prim, int(k.args.size()));
    EXPECT_EQ(callOnce(performer, k.prim == 501 ? smallIntegerFor(3) : r, k.args), primErrorAt(k.error));
  }
}

TEST_F(Evaluation, PerformOfAnUnknownSelectorSendsDoesNotUnderstandForIt) {
  nmethod(selector[selDnu], classA, 1, 74, true);
  oop unknown = newOldObject(testClasses.bytes, 1);
  oop r = newOldObject(classA, 0);
  uint64_t performer = primMethod(512, 2);
  EXPECT_EQ(callOnce(performer, r, {unknown, smallIntegerFor(6)}), 74u);
  oop message = seenDnu.r12;
  EXPECT_EQ(slotOf(message, 0), unknown);
  EXPECT_EQ(slotOf(slotOf(message, 1), 0), smallIntegerFor(6));
}

std::map<oop, uint64_t> blockMethods;
uint64_t blockLookup(oop method) { return blockMethods.count(method) ? blockMethods[method] : 0; }

TEST_F(Evaluation, BlockValueRunsTheBlockMethodWithTheArguments) {
  blockMethods.clear();
  vToNMethodHook = blockLookup;
  const oop a = smallIntegerFor(1), b = smallIntegerFor(2), c = smallIntegerFor(3);
  const struct {
    int prim;
    std::vector<oop> args;
    int blockArgs;
    std::vector<oop> seen;
  } cases[] = {
      {501, {}, 0, {}},          {502, {a}, 1, {a}},       {503, {a, b}, 2, {a, b}},
      {504, {a, b, c}, 3, {b, c, a}}, {500, {0}, 2, {a, b}}, {500, {0}, 3, {b, c, a}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.prim << " " << k.blockArgs);
    oop method = newOldObject(testClasses.pointers, 2);
    blockMethods[method] = nmethod(0, 0, k.blockArgs, 80 + uint64_t(k.blockArgs), true, true);
    oop closure = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(closure))[0] = method;
    std::vector<oop> args = k.args;
    if (k.prim == 500) args[0] = k.blockArgs == 2 ? array({a, b}) : array({a, b, c});
    uint64_t performer = primMethod(k.prim, int(args.size()));
    EXPECT_EQ(callOnce(performer, closure, args), 80 + uint64_t(k.blockArgs));
    EXPECT_EQ(seenDnu.rbx, closure);
    const uint64_t got[3] = {seenDnu.r12, seenDnu.r13, seenDnu.stacked[0]};
    for (size_t i = 0; i < k.seen.size(); i++) EXPECT_EQ(got[i], k.seen[i]) << i;
  }
}

}  // namespace
