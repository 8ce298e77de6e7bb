// Double sites translated and run natively: every site form against the C primitives and
// the sends, chains of sites against the same operations kept apart, a full eden, and the
// stubs as objdump decodes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <limits>
#include <functional>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ext/exRequest.h"
#include "ext/platform.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "mman/mmDebug.h"
#include "mman/mmNewSpace.h"
#include "mman/mmObject.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "prim/prArithmetic.h"
#include "prim/prDouble.h"
#include "mman/mmCValue.h"
#include "ext/exOption.h"
#include "support/primHarness.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "support/testZone.h"
#include "tran/translateRun.h"
#include "tran/nmalloc.h"
#include "tran/tloop.h"
#include "tran/taux.h"
#include "tran/tmain.h"
#include "tran/txmem.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"


#include "tran/translatorZone.h"

namespace {

// SmallDouble sites: + - < > <= >= = ~= * / on variables (wk:with:, and before a branch if
// false gk:with: or if true hk:with:), with a SmallDouble constant argument (dk:, before a
// branch ek:), with a SmallDouble constant receiver (rk:) and a SmallInteger one (sk:), with a
// SmallInteger constant argument (ik:, before a branch jk:) and a wide one (xk:), in methods
// that do floating point (a * first: integer methods keep their code as it was).
const char* const doubleOps[10] = {"+", "-", "<", ">", "<=", ">=", "=", "~=", "*", "/"};
// Chains of Double sites (ch0:with:with: ...), each beside the same operations with every
// intermediate result stored in a temporary first (uch0:with:with: ...), which keeps them apart.
const struct {
  const char* selector;
  const char* chained;
  const char* unchained;
} doubleChains[] = {
    {"ch0:", "^(a * b) + c", "t := a * b. ^t + c"},                      // the result as receiver
    {"ch1:", "^a - (b * c)", "t := b * c. ^a - t"},                      // as argument
    {"ch2:", "^((a + b) / c) < a", "t := a + b. u := t / c. ^u < a"},   // three, ending in a Boolean
    {"ch3:", "^((a * a) + (b * b)) <= 2.5 ifTrue: [1] ifFalse: [2]",     // one from the machine stack
     "t := a * a. u := b * b. v := t + u. ^v <= 2.5 ifTrue: [1] ifFalse: [2]"},
    {"ch4:", "((a - b) > c) ifFalse: [^2]. ^1", "t := a - b. (t > c) ifFalse: [^2]. ^1"},
    {"ch5:", "^2.0 * a * b + c", "t := 2.0 * a. u := t * b. ^u + c"},  // after a constant receiver
    {"ch6:", "^(a + (a := b)) * a", "t := a + b. a := b. ^t * a"},     // a store inside the chain
    {"ch7:", "^(a * b) abs + c", "t := a * b. u := t abs. ^u + c"},    // a send between
    {"ch8:", "^((a * b) + 1) < 4", "t := a * b. u := t + 1. ^u < 4"},  // into SmallInteger constants
    {"ch9:", "((a / b) - 1152921504606846975) >= 1152921504606846975 ifFalse: [^2]. ^1",  // wide ones
     "t := a / b. u := t - 1152921504606846975. (u >= 1152921504606846975) ifFalse: [^2]. ^1"},
};
class Translate_Doubles : public TranslatorZone {
 protected:
  std::vector<MkSource> sources() override {
    std::string s = runSource(), extra;
    for (int k = 0; k < 10; k++) {
      std::string op = doubleOps[k], n = std::to_string(k);
      extra += "w" + n + ": a with: b = ( ^a " + op + " b )\n";
      extra += "d" + n + ": a = ( ^a " + op + " 2.5 )\n";
      extra += "r" + n + ": a = ( ^0.75 " + op + " a )\n";
      extra += "s" + n + ": a = ( ^3 " + op + " a )\n";
      extra += "i" + n + ": a = ( 0.5 * 0.5. ^a " + op + " 3 )\n";
      extra += "x" + n + ": a = ( 0.5 * 0.5. ^a " + op + " 1152921504606846975 )\n";
      if (k < 2 || k > 7) continue;
      extra += "g" + n + ": a with: b = ( ^(a " + op + " b) ifTrue: [1] ifFalse: [2] )\n";
      extra += "h" + n + ": a with: b = ( (a " + op + " b) ifFalse: [^2]. ^1 )\n";
      extra += "e" + n + ": a = ( ^(a " + op + " 2.5) ifTrue: [1] ifFalse: [2] )\n";
      extra += "j" + n + ": a = ( 0.5 * 0.5. ^(a " + op + " 3) ifTrue: [1] ifFalse: [2] )\n";
    }
    for (const auto& c : doubleChains) {
      extra += std::string(c.selector) + " a with: b with: c = ( " + c.chained + " )\n";
      extra += "u" + std::string(c.selector) + " a with: b with: c = ( | t u v | " + c.unchained + " )\n";
    }
    s.insert(s.size() - 1, extra);
    return {{"T.som", s}};
  }
  void SetUp() override {
    TranslatorZone::SetUp();
    savedLimit = eden.warningLimit;
  }
  // The switch and the limit the cases set; the next set-up makes a fresh code zone.
  void TearDown() override {
    IEEEInfNaN = savedIeee;
    eden.warningLimit = savedLimit;
    TranslatorZone::TearDown();
  }
  uint32_t savedIeee = IEEEInfNaN;
  uint64_t savedLimit = 0;
};

oop smallDoubleOfBits(uint64_t bits) {
  double d;
  memcpy(&d, &bits, 8);
  return smallDoubleFor(d);
}

// Every site against the C primitives of its selector over a table of operands. Where the
// operands are SmallDoubles, boxed Doubles or SmallIntegers (not two SmallIntegers), the site
// answers without a send what the image answers: the SmallDouble primitive (821-830) on the
// receiver as a SmallDouble (a SmallInteger converted as the image's mixed arithmetic converts
// it), and where that has no immediate answer, the Double primitive (561-570) on the receiver
// boxed, whose new Double must hold the same bits. Where both fail (an infinity or a NaN
// without the IEEE switch) or the operands are anything else, the site sends exactly that
// receiver, argument and selector.
TEST_F(Translate_Doubles, SitesAnswerAsThePrimitiveOrSend) {
  translate("w0:with:");   // the first translation enters the translated primitives: the C ones again
  initSmallDoublePrims();
  initDoublePrims();
  const oop minPos = smallDoubleOfBits(smallDoubleMinMagnitude), maxPos = smallDoubleOfBits(smallDoubleMaxMagnitude);
  const oop minNeg = smallDoubleOfBits(smallDoubleMinMagnitude | doubleSignBit);
  const oop maxNeg = smallDoubleOfBits(smallDoubleMaxMagnitude | doubleSignBit);
  const oop immediates[] = {smallDoubleFor(0.0), smallDoubleFor(-0.0), smallDoubleFor(1.5), smallDoubleFor(-2.25),
                            smallDoubleFor(2.5), smallDoubleFor(1e-70), smallDoubleFor(3e70), minPos, maxPos,
                            minNeg, maxNeg, smallIntegerFor(0), smallIntegerFor(3), smallIntegerFor(-7),
                            smallIntegerFor((int64_t(1) << 60) - 1), smallIntegerFor(-(int64_t(1) << 60))};
  const double inf = std::numeric_limits<double>::infinity();
  const oop others[] = {newDoubleBox(1e308), newDoubleBox(2.5), newDoubleBox(-1e-300), newDoubleBox(5e-324),
                        newDoubleBox(-0.0), newDoubleBox(inf), newDoubleBox(-inf), newDoubleBox(std::nan("")),
                        newFloatBox(1.5f), cSignedToOop(int64_t(1) << 62), nilOop(), characterFor('a')};
  std::vector<oop> operands(std::begin(immediates), std::end(immediates));
  operands.insert(operands.end(), std::begin(others), std::end(others));
  const uint64_t operandsEnd = eden.allocPtr;
  auto number = [](oop o) { return isSmallDouble(o) || isSmallInteger(o) || isDoubleObject(o); };
  auto valueOf = [](oop o) {
    return isSmallInteger(o) ? double(smallIntegerValue(o)) : isSmallDouble(o) ? loadSmallDoubleFromOop(o) : doubleValueOf(o);
  };
  const oop sentinel = smallIntegerFor(4242);
  int inline_ = 0, boxed = 0, sent = 0;
  for (uint32_t ieee : {0u, 1u}) {
    IEEEInfNaN = ieee;
    reInitNMethods();  // the stubs follow the switch
    for (int k = 0; k < 10; k++) {
      SCOPED_TRACE(std::string(doubleOps[k]) + (ieee ? " ieee" : ""));
      std::string n = std::to_string(k);
      bool comparison = k >= 2 && k <= 7;
      std::vector<std::pair<uint64_t, oop>> sites = {{translate("w" + n + ":with:"), 0}};
      if (comparison) {
        sites.push_back({translate("g" + n + ":with:"), 0});
        sites.push_back({translate("h" + n + ":with:"), 0});
      }
      // The constant forms: d and e take 2.5 as argument, r takes 0.75 as receiver.
      uint64_t d = translate("d" + n + ":"), r = translate("r" + n + ":"), si = translate("s" + n + ":");
      uint64_t e = comparison ? translate("e" + n + ":") : 0;
      uint64_t ic = translate("i" + n + ":"), wc = translate("x" + n + ":");
      uint64_t jc = comparison ? translate("j" + n + ":") : 0;
      // One site run: the answer (a Boolean becomes 1 or 2 where a branch consumed it).
      auto check = [&](uint64_t nm, bool branch, oop a, oop b, std::vector<uint64_t> args) {
        eden.allocPtr = operandsEnd;  // the last check's boxes are garbage: eden never fills
        PrimOutcome p = {true, 0, 0, 0, false};
        if (number(a) && number(b) && !(isSmallInteger(a) && isSmallInteger(b))) {
          double v = valueOf(a);
          if (fitsSmallDouble(v)) p = callPrimitive(uint32_t(821 + k), smallDoubleFor(v), {b});
          if (p.failed) p = callPrimitive(uint32_t(561 + k), newDoubleBox(v), {b});
        }
        uint64_t before = recCount;
        recAnswer = branch ? trueOop() : sentinel;
        oop got = run(nm, args);
        SCOPED_TRACE(::testing::Message() << std::hex << a << " op " << b);
        if (!p.failed) {
          EXPECT_EQ(recCount, before);
          if (isDoubleObject(p.result) && !branch) {
            ASSERT_TRUE(isDoubleObject(got));
            EXPECT_EQ(doubleBits(doubleValueOf(got)), doubleBits(doubleValueOf(p.result)));
            boxed++;
          } else {
            EXPECT_EQ(got, branch ? smallIntegerFor(p.result == trueOop() ? 1 : 2) : p.result);
            inline_++;
          }
          return;
        }
        // SmallIntegers on both sides are the SmallInteger path's: + - answer the SmallInteger
        // or (overflowing) send, comparisons answer without one; everything else sends.
        if (isSmallInteger(a) && isSmallInteger(b) && k < 8) {
          int64_t x = smallIntegerValue(a), y = smallIntegerValue(b), sum = k == 0 ? x + y : x - y;
          if (k < 2 && !fitsSmallInteger(sum)) {
            EXPECT_EQ(recCount, before + 1);
            EXPECT_EQ(recReceiver, a);
            EXPECT_EQ(recArg, b);
            EXPECT_EQ(recSelector & 0xFFFFFFFF, uint64_t(k));
            EXPECT_EQ(got, sentinel);
            sent++;
            return;
          }
          bool holds = k == 2 ? x < y : k == 3 ? x > y : k == 4 ? x <= y : k == 5 ? x >= y : k == 6 ? x == y : x != y;
          oop want = k < 2 ? smallIntegerFor(sum) : branch ? smallIntegerFor(holds ? 1 : 2) : holds ? trueOop() : falseOop();
          EXPECT_EQ(recCount, before);
          EXPECT_EQ(got, want);
          return;
        }
        EXPECT_EQ(recCount, before + 1);
        EXPECT_EQ(recReceiver, a);
        EXPECT_EQ(recArg, b);
        EXPECT_EQ(recSelector & 0xFFFFFFFF, uint64_t(k));
        EXPECT_EQ(got, branch ? smallIntegerFor(1) : sentinel);
        sent++;
      };
      for (oop a : operands) {
        for (oop b : operands) {
          for (size_t i = 0; i < sites.size(); i++) check(sites[i].first, i > 0, a, b, {a, b});
        }
        check(d, false, a, smallDoubleFor(2.5), {a});
        if (e != 0) check(e, true, a, smallDoubleFor(2.5), {a});
        check(r, false, smallDoubleFor(0.75), a, {a});
        check(si, false, smallIntegerFor(3), a, {a});
        check(ic, false, a, smallIntegerFor(3), {a});
        check(wc, false, a, smallIntegerFor((int64_t(1) << 60) - 1), {a});
        if (jc != 0) check(jc, true, a, smallIntegerFor(3), {a});
      }
    }
  }
  EXPECT_GT(inline_, 1000);
  EXPECT_GT(boxed, 100);
  EXPECT_GT(sent, 1000);
}

// A chain answers as the same operations kept apart, for operands that make intermediate results
// leave the immediate range (boxed, or an infinity or NaN going to the send), SmallIntegers and
// boxed Doubles mixed in, and a non-number part-way: the same answer (a new Double with the same
// bits), the same number of sends and the same last send.
TEST_F(Translate_Doubles, ChainsAnswerAsOperationsKeptApart) {
  const double inf = std::numeric_limits<double>::infinity();
  const oop operands[] = {smallDoubleFor(0.0), smallDoubleFor(-0.0), smallDoubleFor(1.5), smallDoubleFor(-2.25),
                          smallDoubleFor(3e70), smallDoubleFor(1e-70), smallDoubleOfBits(smallDoubleMaxMagnitude),
                          smallDoubleOfBits(smallDoubleMinMagnitude | doubleSignBit), smallIntegerFor(3),
                          smallIntegerFor(-(int64_t(1) << 60)), newDoubleBox(1e308), newDoubleBox(inf),
                          newDoubleBox(std::nan("")), nilOop()};
  const uint64_t operandsEnd = eden.allocPtr;
  int compared = 0, sends = 0;
  for (uint32_t ieee : {0u, 1u}) {
    IEEEInfNaN = ieee;
    reInitNMethods();
    for (const auto& c : doubleChains) {
      SCOPED_TRACE(std::string(c.selector) + (ieee ? " ieee" : ""));
      uint64_t chained = translate(std::string(c.selector) + "with:with:");
      uint64_t apart = translate("u" + std::string(c.selector) + "with:with:");
      // Where a branch tests a sent comparison's answer, the sends answer Booleans.
      bool branch = strstr(c.chained, "ifFalse:") != nullptr;
      for (oop a : operands) {
        for (oop b : operands) {
          for (oop x : operands) {
            for (oop answer : {branch ? trueOop() : nilOop(), branch ? falseOop() : smallDoubleFor(0.5)}) {
              SCOPED_TRACE(::testing::Message() << std::hex << a << " " << b << " " << x << " sends answer " << answer);
              recAnswer = answer;
              eden.allocPtr = operandsEnd;
              recCount = recReceiver = recArg = recSelector = 0;
              oop want = run(apart, {a, b, x});
              uint64_t count = recCount, rcv = recReceiver, arg = recArg, sel = recSelector;
              double wantValue = isDoubleObject(want) ? doubleValueOf(want) : 0;
              eden.allocPtr = operandsEnd;
              recCount = recReceiver = recArg = recSelector = 0;
              oop got = run(chained, {a, b, x});
              if (isDoubleObject(want)) {
                ASSERT_TRUE(isDoubleObject(got));
                EXPECT_EQ(doubleBits(doubleValueOf(got)), doubleBits(wantValue));
              } else {
                EXPECT_EQ(got, want);
              }
              ASSERT_EQ(recCount, count);
              EXPECT_EQ(recReceiver, rcv);
              EXPECT_EQ(recArg, arg);
              EXPECT_EQ(recSelector, sel);
              compared++;
              sends += count != 0;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(sends, 1000);
  EXPECT_GT(compared - sends, 1000);
}

// A result that needs a box while eden has no room below its limit takes the send, which
// allocates elsewhere and asks for a scavenge; the same site boxes inline once there is room.
TEST_F(Translate_Doubles, FullEdenSendsInsteadOfBoxing) {
  const oop big = smallDoubleOfBits(smallDoubleMaxMagnitude);
  for (bool full : {true, false}) {
    SCOPED_TRACE(full ? "full" : "room");
    eden.warningLimit = full ? eden.allocPtr : savedLimit;
    reInitNMethods();  // the limit is written into the code
    uint64_t before = recCount;
    recAnswer = smallIntegerFor(4242);
    oop got = run(translate("w8:with:"), {big, big});
    EXPECT_EQ(recCount, before + (full ? 1 : 0));
    EXPECT_EQ(isDoubleObject(got), !full);
  }
}

}  // namespace

namespace {

// One instruction as objdump decodes it: its offset from the start, mnemonic and operands.
struct Instruction {
  uint64_t offset;
  std::string mnemonic, operands;
};
std::vector<Instruction> disassemble(const uint8_t* code, size_t size) {
  std::vector<Instruction> out;
  std::string bin = ::testing::TempDir() + "/double-stub.bin";
  FILE* f = fopen(bin.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  if (f == nullptr) return out;
  fwrite(code, 1, size, f);
  fclose(f);
  FILE* p = popen(("objdump -D -b binary -mi386:x86-64 " + bin).c_str(), "r");
  EXPECT_NE(p, nullptr);
  char line[512];
  while (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
    std::string l(line);
    size_t colon = l.find(":\t"), tab2 = l.find('\t', l.find('\t') + 1);
    if (colon == std::string::npos || tab2 == std::string::npos) continue;
    Instruction i;
    i.offset = std::stoull(l.substr(0, colon), nullptr, 16);
    std::istringstream words(l.substr(tab2 + 1));
    words >> i.mnemonic;
    std::getline(words, i.operands);
    out.push_back(i);
  }
  if (p != nullptr) pclose(p);
  remove(bin.c_str());
  return out;
}

// The stub of the site whose send path (jmp rel32 to the stub, then mov r15d, index; call)
// sends special selector index; null when the nmethod has no such path or it jumps elsewhere.
const uint8_t* stubOfSite(uint64_t nm, uint8_t index, const uint8_t** end) {
  const uint8_t* code = reinterpret_cast<const uint8_t*>(nm);
  *end = code + reinterpret_cast<NMethodHeader*>(nm)->usedSize;
  const uint8_t send[] = {0x41, 0xBF, index, 0, 0, 0, 0xE8};
  const uint8_t* q = std::search(code + nMethodEntryNoCheck, *end, send, send + sizeof send);
  if (q == *end || q[-5] != 0xE9) return nullptr;
  int32_t d;
  memcpy(&d, q - 4, 4);
  const uint8_t* stub = q + d;
  return stub > q && stub < *end ? stub : nullptr;
}

// The stub of a site on two variables, as objdump decodes it: the constants it holds in
// registers, then two SmallDoubles decoded straight into the operation; for + - * / the encoding back to a SmallDouble with its exit, then the
// new Double taken from eden for a result without that form (an infinity or a NaN to the send
// first); for < the condition's two jumps; then the other forms (a SmallInteger or boxed
// Double argument, a SmallInteger receiver with a SmallDouble or boxed Double, a boxed Double
// receiver) jumping back, and the send for everything else.
TEST_F(Translate_Doubles, StubsDisassembleAsIntended) {
  const std::vector<std::string> operands = {
      "movabs", "lea", "test", "jne", "shr", "cmp", "jbe", "lea", "ror", "movq",  // receiver
      "lea", "test", "jne", "shr", "cmp", "jbe", "lea", "ror", "movq"};           // argument
  std::vector<std::string> encoding = {"movq", "rol", "sub", "cmp", "jae", "lea", "jmp",  // immediate
                                       "add",  "cmp", "ja",  "lea",    "jmp",                        // a zero
                                       "movq", "shr", "and", "cmp",    "je"};  // an infinity or a NaN
  // The eden top's address and the limit each in their shortest form.
  encoding.push_back(reinterpret_cast<uintptr_t>(&eden.allocPtr) <= 0x7FFFFFFF ? "mov" : "movabs");
  encoding.insert(encoding.end(), {"mov", "lea"});
  if (eden.end > 0x7FFFFFFF) encoding.push_back("movabs");
  encoding.insert(encoding.end(), {"cmp", "ja", "mov", "mov", "lea", "mov", "movabs", "mov", "lea", "movq", "mov", "jmp"});
  const std::vector<std::string> box = {"mov", "test", "jne", "mov", "movabs", "and", "cmp", "jne", "mov", "movsd", "jmp"};
  std::vector<std::string> mixed = {"mov", "and", "cmp", "jne", "mov", "sar", "cvtsi2sd", "jmp"};  // argument
  mixed.insert(mixed.end(), box.begin(), box.end());
  mixed.insert(mixed.end(), {"mov", "and", "cmp", "jne", "mov", "sar", "cvtsi2sd",                 // receiver
                             "lea", "test", "jne", "shr", "cmp", "jbe", "lea", "ror", "movq", "jmp"});
  mixed.insert(mixed.end(), box.begin(), box.end());
  mixed.push_back("jmp");
  const struct {
    const char* selector;
    int index;
    std::vector<std::string> operation;
  } cases[] = {{"w0:with:", 0, {"addsd"}}, {"w1:with:", 1, {"subsd"}}, {"w8:with:", 8, {"mulsd"}},
               {"w9:with:", 9, {"divsd"}}, {"w2:with:", 2, {"ucomisd", "ja", "jmp"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    uint64_t nm = translate(c.selector);
    const uint8_t* end;
    const uint8_t* stub = stubOfSite(nm, uint8_t(c.index), &end);
    ASSERT_NE(stub, nullptr);
    std::vector<std::string> mnemonics;
    for (const Instruction& i : disassemble(stub, size_t(std::min<int64_t>(end - stub, 512)))) mnemonics.push_back(i.mnemonic);
    std::vector<std::string> want = operands;
    if (c.operation.size() == 1) want.insert(want.begin(), "movabs");  // the encoding's bound
    want.insert(want.end(), c.operation.begin(), c.operation.end());
    if (c.operation.size() == 1) want.insert(want.end(), encoding.begin(), encoding.end());
    want.insert(want.end(), mixed.begin(), mixed.end());
    ASSERT_GE(mnemonics.size(), want.size());
    mnemonics.resize(want.size());
    auto joined = [](const std::vector<std::string>& v) {
      std::string t;
      for (const std::string& m : v) t += m + " ";
      return t;
    };
    EXPECT_EQ(joined(mnemonics), joined(want));
  }
}

// A chained site's stub, as objdump decodes it: the first operation's result encoded, the next
// site's operand loads copied, and a jump into the next stub that finds the result still in
// xmm1: as receiver at its argument's decoding, as argument moved to xmm0 before the receiver's.
TEST_F(Translate_Doubles, ChainedStubsGoStraightIntoTheNextStub) {
  const std::vector<std::string> decode = {"lea", "test", "jne", "shr", "cmp", "jbe", "lea", "ror", "movq"};
  const struct {
    const char* selector;
    std::vector<std::string> loads;  // the copied loads and the jump
    std::vector<std::string> next;   // where the jump lands, up to the operation
  } cases[] = {{"ch0:with:with:", {"mov", "jmp"}, {"lea", "test", "jne", "shr", "cmp", "jbe", "lea", "ror", "movq", "addsd"}},
               {"ch1:with:with:", {"mov", "pop", "jmp"}, {"movaps", "lea", "test", "jne", "shr", "cmp", "jbe", "lea", "ror", "movq", "jmp", "subsd"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    uint64_t nm = translate(c.selector);
    const uint8_t* end;
    const uint8_t* stub = stubOfSite(nm, 8, &end);  // the * site's
    ASSERT_NE(stub, nullptr);
    std::vector<Instruction> is = disassemble(stub, size_t(end - stub));
    std::vector<std::string> want = {"movabs", "movabs"};
    want.insert(want.end(), decode.begin(), decode.end());
    want.insert(want.end(), decode.begin(), decode.end());
    want.insert(want.end(), {"mulsd", "movq", "rol", "sub", "cmp", "jae", "lea"});
    want.insert(want.end(), c.loads.begin(), c.loads.end());
    ASSERT_GE(is.size(), want.size());
    std::string got, wanted;
    for (size_t i = 0; i < want.size(); i++) got += is[i].mnemonic + " ", wanted += want[i] + " ";
    ASSERT_EQ(got, wanted);
    // Follow the jumps to the operation.
    uint64_t target = std::stoull(is[want.size() - 1].operands, nullptr, 16);
    got.clear();
    wanted.clear();
    size_t i = 0;
    while (i < is.size() && is[i].offset != target) i++;
    for (const std::string& m : c.next) {
      ASSERT_LT(i, is.size());
      got += is[i].mnemonic + " ";
      wanted += m + " ";
      if (is[i].mnemonic == "jmp") {
        target = std::stoull(is[i].operands, nullptr, 16);
        i = 0;
        while (i < is.size() && is[i].offset != target) i++;
      } else {
        i++;
      }
    }
    EXPECT_EQ(got, wanted);
  }
}

}  // namespace
