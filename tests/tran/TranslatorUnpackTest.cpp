// Translator: decoding compiled methods built by mkimage in-process: every method of the
// kernel against the compiler's own record, the flagged and primitive headers, the argument
// count check of the primitive table, and the objects that are not methods.
#include <gtest/gtest.h>

#include <vector>

#include "ext/exPrimTable.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"
#include "tran/tmain.h"

namespace {

struct Built {
  MkProgram program;
  MkBuilt out;
};

// A case of the header table: the assembled method, what its decoding must show.
struct HeaderCase {
  const char* selector;
  MkHeaderFields fields;
  std::vector<uint8_t> code;
  int frameSize, contextReceiver, unwind, handler, primitive, primErrorTemp;
};

const std::vector<HeaderCase>& headerCases() {
  static const std::vector<HeaderCase> cases = {
      {"ctx:", {1, 2, 0, false, true, false, false, true}, {0x60}, 12, 1, 0, 0, -1, 255},
      {"ctxFramed:", {1, 0, 30, false, true, false, false, true}, {0x60}, 30, 1, 0, 0, -1, 255},
      {"unwindHandler", {0, 1, 20, false, false, true, true, true}, {0x60}, 20, 0, 1, 1, -1, 255},
      {"short12", {0, 1, 12}, {0x60}, 12, 0, 0, 0, -1, 255},
      {"prim:", {1, 1}, {0xFE, 0x01, 0x2C, 0x43, 0x4D, 0x60}, 0, 0, 0, 0, 300, 0},
      {"primLong:a:", {2, 4}, {0xFE, 0x00, 0x3C, 0x43, 0xDB, 0x05, 0x60}, 0, 0, 0, 0, 60, 3},
      {"primDiscard", {0, 0}, {0xFE, 0x00, 0x3C, 0x43, 0x66, 0x60}, 0, 0, 0, 0, 60, 255},
      {"primNoMarker", {0, 1}, {0xFE, 0x00, 0x3C, 0x4C, 0x60}, 0, 0, 0, 0, 60, 255},
      {"primArgTemp:", {1, 0}, {0xFE, 0x00, 0x3C, 0x43, 0x4C, 0x60}, 0, 0, 0, 0, 60, 255},
  };
  return cases;
}

void build(Built& b) {
  std::vector<MkSource> extra = {{"T.som", "T = ( | a b | sum: n = ( | s | s := 0. 1 to: n do: [:i | s := s + i]. ^s ) )"}};
  extra.push_back({"Hello.som", readText(std::string(MKIMAGE_DIR) + "/examples/Hello.som")});
  b.program = compileWithKernel(extra);
  for (MkClass& k : b.program.classes) {
    if (k.name != "T") continue;
    for (const HeaderCase& c : headerCases()) {
      MkMethod m = mkAssemble(c.fields, c.code, {});
      m.className = "T";
      m.selector = c.selector;
      k.methods.push_back(m);
    }
  }
  ASSERT_TRUE(mkNewHeap());
  std::string err;
  ASSERT_TRUE(mkBuildHeap(b.program, {"Hello"}, b.out, err)) << err;
}

oop methodNamed(Built& b, const std::string& cls, const std::string& selector) {
  const MkMethod* m = findMethod(b.program, cls, selector);
  return m == nullptr ? 0 : b.out.methods.at(m);
}

class TranslatorUnpack : public ::testing::Test {
 protected:
  void SetUp() override { build(b); }
  void TearDown() override {
    initPrimitiveTable();
    iwFreeHeap();
  }
  Built b;
};

TEST_F(TranslatorUnpack, EveryCompiledMethodDecodesAsItsRecord) {
  ASSERT_GT(b.out.methods.size(), 50u);
  for (const auto& [record, method] : b.out.methods) {
    SCOPED_TRACE(record->className + ">>" + record->selector + (record->isBlock ? " [block]" : ""));
    TVInfo info;
    ASSERT_EQ(unpackVMethod(method, &info), 1);
    EXPECT_EQ(info.method, method);
    EXPECT_EQ(info.numArgs, record->numArgs);
    EXPECT_EQ(info.numTemps, record->numTemps);
    EXPECT_EQ(info.isBlock, record->isBlock ? 1 : 0);
    EXPECT_EQ(info.primitive, record->primitive);
    std::vector<uint8_t> code(info.bytecodes, info.bytecodesEnd);
    EXPECT_EQ(code, codeOf(*record));
    EXPECT_EQ(info.numLiterals, record->literals.size());
    for (uint32_t i = 0; i < info.numLiterals && i < record->literals.size(); i++) {
      if (record->literals[i].kind == mkLitSmallInt) {
        EXPECT_EQ(info.literals[i], smallIntegerFor(record->literals[i].small)) << "literal " << i;
      }
    }
  }
}

TEST_F(TranslatorUnpack, ReceiverTagFollowsTheImmediateClasses) {
  const MkClass* small = findClass(b.program, "SmallInteger");
  ASSERT_TRUE(small != nullptr && !small->methods.empty());
  for (const auto& [record, tag] : {std::pair{&small->methods[0], 3}, {findMethod(b.program, "T", "sum:"), 0}}) {
    TVInfo info;
    ASSERT_EQ(unpackVMethod(b.out.methods.at(record), &info), 1);
    EXPECT_EQ(info.receiverTag, tag) << record->className;
  }
  // The same method seen as defined by each immediate class, and by registry-slot classes
  // next to them that have no immediate instances.
  oop m = methodNamed(b, "T", "sum:");
  ASSERT_NE(m, 0u);
  oop saved = slotOf(m, 1);
  struct Index {
    uint32_t classIndex;
    uint8_t tag;
  };
  for (const Index& x : {Index{3, 3}, Index{5, 5}, Index{1, 1}, Index{4, 0}, Index{6, 0}, Index{2, 0}}) {
    oop cls = classAt(x.classIndex);
    ASSERT_TRUE(cls != 0 && cls != nilOop()) << "class index " << x.classIndex;
    bodyOf(headerOf(m))[1] = cls;
    TVInfo info;
    ASSERT_EQ(unpackVMethod(m, &info), 1);
    EXPECT_EQ(info.receiverTag, x.tag) << "class index " << x.classIndex;
  }
  bodyOf(headerOf(m))[1] = saved;
}

TEST_F(TranslatorUnpack, FlaggedAndPrimitiveHeaders) {
  for (const HeaderCase& c : headerCases()) {
    SCOPED_TRACE(c.selector);
    oop m = methodNamed(b, "T", c.selector);
    ASSERT_NE(m, 0u);
    TVInfo info;
    ASSERT_EQ(unpackVMethod(m, &info), 1);
    EXPECT_EQ(info.frameSize, c.frameSize);
    EXPECT_EQ(info.contextReceiver, c.contextReceiver);
    EXPECT_EQ(info.isUnwind, c.unwind);
    EXPECT_EQ(info.isHandler, c.handler);
    EXPECT_EQ(info.primitive, c.primitive);
    EXPECT_EQ(info.primErrorTemp, c.primErrorTemp);
    EXPECT_EQ(info.numArgs, c.fields.numArgs);
    EXPECT_EQ(info.numTemps, c.fields.numTemps);
    EXPECT_EQ(std::vector<uint8_t>(info.bytecodes, info.bytecodesEnd), c.code);
  }
}

int64_t dummyPrimitive() { return 0; }

TEST_F(TranslatorUnpack, PrimitiveOfAnotherArgumentCountIsNotCalled) {
  oop m = methodNamed(b, "T", "prim:");  // one argument, primitive 300
  ASSERT_NE(m, 0u);
  struct Row {
    uint8_t kind, numArgs;
    int32_t primitive;
  };
  for (const Row& r : {Row{primKindC, 1, 300}, Row{primKindC, 2, 0x10000}, Row{primKindUser, 0, 0x10000},
                       Row{primKindVarArgC, 0, 300}, Row{primKindVarArgUser, 0, 0x10000}}) {
    addPrimitiveWithParams(300, reinterpret_cast<const void*>(&dummyPrimitive), r.numArgs, r.kind, 0);
    TVInfo info;
    ASSERT_EQ(unpackVMethod(m, &info), 1);
    EXPECT_EQ(info.primitive, r.primitive) << "kind " << int(r.kind) << " args " << int(r.numArgs);
  }
}

TEST_F(TranslatorUnpack, ObjectsThatAreNotMethodsAreRefused) {
  oop m = methodNamed(b, "T", "sum:");
  ASSERT_NE(m, 0u);
  oop holder = slotOf(m, 0);
  struct Row {
    const char* what;
    oop object;
    oop slot0;  // replaces the method's bytecode holder when non-zero
  };
  for (const Row& r : {Row{"SmallInteger", smallIntegerFor(7), 0}, Row{"Character", oop(0x41 * 8 + 1), 0},
                       Row{"Symbol (bytes)", b.out.symbols.at("sum:"), 0}, Row{"System instance", b.out.system, 0},
                       Row{"immediate holder", m, smallIntegerFor(1)}, Row{"pointer holder", m, b.out.registry}}) {
    if (r.slot0 != 0) bodyOf(headerOf(m))[0] = r.slot0;
    TVInfo info;
    EXPECT_EQ(unpackVMethod(r.object, &info), 0) << r.what;
    bodyOf(headerOf(m))[0] = holder;
  }
}

}  // namespace
