// Prologues as listings: the frame decision, primitive calls of every kind, temporaries, the
// stack check and its branch, with the PC-map records each makes.
#include <gtest/gtest.h>

#include <cinttypes>
#include <string>
#include <vector>

#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "tran/cgenx86_64.h"
#include "tran/disx86_64.h"
#include "tran/nmLayout.h"
#include "tran/taction.h"
#include "tran/taux.h"
#include "tran/tstack.h"

namespace {

alignas(256) uint8_t block[1024];
std::vector<std::string> records;

// Fake glue entries: named in listings, never run.
const uint64_t glueBase = 0x10000;
const char* const glueNames[] = {"rtPICAbortSendMiss", "PrimGlue0", "PrimGlue1", "PrimGlue2", "PrimGlue3",
                                 "PrimGlue4", "UserPrimGlue0", "UserPrimGlue1", "UserPrimGlue2", "UserPrimGlue3",
                                 "UserPrimGlue4", "rtPrimGlueVarArgMany", "abortSend0", "abortSend1", "abortSend2",
                                 "abortPrimFail0", "abortPrimFail1", "abortPrimFail2", "abortNoFrame"};
const void* glue(int k) { return (const void*)(uintptr_t)(glueBase + 16 * k); }

int name(char* buf, int size, uint64_t a) {
  if (a >= glueBase && a < glueBase + 16 * 19) {
    snprintf(buf, size, "%s", glueNames[(a - glueBase) / 16]);
  } else {
    snprintf(buf, size, "nm@%03" PRIx64, a - (uint64_t)(uintptr_t)block);
  }
  return 1;
}

std::string hex(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "0x%" PRIx64, v);
  return buf;
}

// The listing from the unchecked entry to the body; the stack limit's address reads
// "stackLimit", immediates of the abort stubs their names.
std::string listing(uint8_t* from, uint8_t* to) {
  std::string out;
  for (uint8_t* p = from; p < to;) {
    char text[200];
    uint8_t* next = (uint8_t*)disx86_64Text(p, text, sizeof text, nullptr, name, disMode64);
    std::string line = text;
    std::string limit = hex((uint64_t)(uintptr_t)&stackLimit);
    size_t at = line.find(limit);
    if (at != std::string::npos) line.replace(at, limit.size(), "stackLimit");
    char off[16];
    snprintf(off, sizeof off, "%03x ", (unsigned)(p - block));
    out += off + line + "\n";
    p = next;
    // A primitive call is followed by the failure jump and a 32-bit word of data.
    if (line.find("call   PrimGlue") == 0 || line.find("call   UserPrimGlue") == 0 ||
        line.find("call   rtPrimGlueVarArgMany") == 0) {
      snprintf(off, sizeof off, "%03x ", (unsigned)(p - block));
      disx86_64Text(p, text, sizeof text, nullptr, name, disMode64);
      out += off + std::string(text) + "\n";
      uint32_t word;
      memcpy(&word, p + 2, 4);
      snprintf(text, sizeof text, "%03x .long  0x%x\n", (unsigned)(p + 2 - block), word);
      out += text;
      p += 6;
    }
  }
  return out;
}

void recordRelCall(uint64_t after, uint64_t target) {
  char buf[64];
  name(buf, sizeof buf, target);
  records.push_back("call@" + hex(after - (uint64_t)(uintptr_t)block) + " " + buf);
}
void recordLit(uint64_t literal, uint64_t address, int64_t) {
  records.push_back("lit@" + hex(address - (uint64_t)(uintptr_t)block) + " " + hex(literal));
}
void recordOnly(uint64_t vpc, uint64_t address) {
  records.push_back("map@" + hex(address - (uint64_t)(uintptr_t)block) + " vpc " + std::to_string(vpc));
}

struct Fixture {
  Fixture() {
    tStackInit();
    actionInit();
    initPrimitiveTable();
    tNil = 0x500000;
    tRt.picAbortSendMiss = glue(0);
    for (int k = 0; k < 5; k++) {
      tRt.primGlue[k] = glue(1 + k);
      tRt.userPrimGlue[k] = glue(6 + k);
    }
    tRt.primGlueVarArgMany = glue(11);
    for (int k = 0; k < 3; k++) {
      AbortSendTable[k] = (uint8_t*)glue(12 + k);
      AbortPrimFailTable[k] = (uint8_t*)glue(15 + k);
    }
    AbortNoFrame = (uint8_t*)glue(18);
    tMapRelCall = recordRelCall;
    tMapLit = recordLit;
    tMapOnly = recordOnly;
    records.clear();
  }
  ~Fixture() {
    tMapRelCall = nullptr;
    tMapLit = nullptr;
    tMapOnly = nullptr;
  }
};

}  // namespace

TEST(Prologue_FrameSize, ScanKeepsPureAccessorsFrameless) {
  const struct {
    std::vector<uint8_t> bytes;
    int numArgs, numTemps, headerFrame, context;
    int frame;
  } cases[] = {
    {{0x03, 0x7C}, 0, 0, 0, 0, 12},                // 0x7C is no return
    {{0x03, 0x64}, 0, 0, 0, 0, 0},                 // push ivar 3, return top
    {{0x60}, 0, 0, 0, 0, 0},                       // return self
    {{0xD0, 200, 0x1C, 0x44, 0x49, 0x64}, 0, 0, 0, 0, 0},
    {{0xD7, 65, 0xD8, 7, 0xF9, 1, 2, 0xD2, 9, 0x63}, 0, 0, 0, 0, 0},
    {{0x11, 0x64}, 2, 0, 0, 0, 0},                 // a register argument
    {{0x11, 0x64}, 3, 0, 0, 0, 12},                // a stacked argument
    {{0x03, 0x64}, 0, 1, 0, 0, 12},                // one temporary
    {{0x03, 0x64}, 0, 13, 0, 0, 15},
    {{0x03, 0x64}, 0, 0, 0, 1, 12},                // context receiver
    {{0x03, 0x64}, 0, 0, 20, 0, 20},               // the header's frame size stays
    {{0xD0, 1, 0x70, 0x64}, 0, 0, 0, 0, 12},       // a send (or anything else) first
    {{254, 0, 60, 0x64}, 0, 0, 0, 0, 12},          // the primitive marker
    {{0x03}, 0, 0, 0, 0, 12},                      // no return at all
  };
  for (const auto& c : cases) {
    TVInfo info = {};
    info.numArgs = (uint8_t)c.numArgs;
    info.numTemps = (uint8_t)c.numTemps;
    info.frameSize = (uint8_t)c.headerFrame;
    info.contextReceiver = (uint8_t)c.context;
    EXPECT_EQ(tFrameSizeFor(c.bytes.data(), c.bytes.data() + c.bytes.size(), &info), c.frame)
        << "first byte " << (int)c.bytes[0] << " temps " << c.numTemps;
  }
}

namespace {

struct Variant {
  const char* name;
  std::vector<uint8_t> bytes;
  int numArgs, numTemps;
  int primKind;        // -1 no primitive; else the kind registered for primitive 60
  uint64_t function;   // its function (0: none)
  int primNumArgs;
  int frameSize;       // from the header
};

std::string run(const Variant& v, std::string* recs, uint8_t** body) {
  Fixture f;
  if (v.primKind >= 0) addPrimitiveWithParams(60, (const void*)(uintptr_t)v.function, (uint8_t)v.primNumArgs,
                                              (uint8_t)v.primKind, 0);
  TVInfo info = {};
  info.bytecodes = v.bytes.data();
  info.bytecodesEnd = v.bytes.data() + v.bytes.size();
  info.numArgs = (uint8_t)v.numArgs;
  info.numTemps = (uint8_t)v.numTemps;
  info.frameSize = (uint8_t)v.frameSize;
  info.primitive = v.primKind >= 0 || (v.bytes.size() > 2 && v.bytes[0] == 254) ? 60 : -1;
  memset(block, 0, sizeof block);
  *body = initTemps(info.bytecodes, block, &info);
  *recs = "";
  for (const std::string& r : records) *recs += r + "\n";
  // The two bytes after the cannot-resume call are the distance to the body, not code.
  uint16_t distance;
  memcpy(&distance, block + nMethodAbortOffsetOffset, 2);
  char word[32];
  snprintf(word, sizeof word, "%03x .word  0x%x\n", (unsigned)nMethodAbortOffsetOffset, distance);
  return listing(block + nMethodCannotResumeEntry, block + nMethodAbortOffsetOffset) + word +
         listing(block + nMethodAbortSendMissOffset, *body);
}

}  // namespace

TEST(Prologue_Listing, Variants) {
  const struct {
    Variant v;
    const char* listing;
    const char* records;
  } cases[] = {
#include "prologueListings.inc"
  };
  for (const auto& c : cases) {
    std::string recs;
    uint8_t* body;
    std::string text = run(c.v, &recs, &body);
    EXPECT_EQ(text, c.listing) << c.v.name;
    EXPECT_EQ(recs, c.records) << c.v.name;
    uint16_t distance;
    memcpy(&distance, block + nMethodAbortOffsetOffset, 2);
    EXPECT_EQ(block + nMethodAbortOffsetOffset + distance, body) << c.v.name << ": the abort offset word";
  }
}

namespace {

// A translated primitive's record: its second word generates the inline code.
uint8_t* markerGenerator(uint8_t* at, const void*, int popsError) { return cgenPutB(popsError ? 0xA1 : 0xA0, at); }
const void* translatedRecord[2] = {nullptr, (const void*)markerGenerator};

}  // namespace

TEST(Prologue_Primitive, TranslatedPrimitivesGenerateTheirOwnCode) {
  Fixture f;
  addPrimitiveWithParams(60, translatedRecord, 0, primKindTranslated, 0);
  for (int pops = 0; pops < 2; pops++) {
    std::vector<uint8_t> bytes = {254, 0, 60, (uint8_t)(pops ? 0x56 : 0x64)};
    TVInfo info = {};
    info.bytecodes = bytes.data();
    info.bytecodesEnd = bytes.data() + bytes.size();
    info.primitive = 60;
    initTemps(info.bytecodes, block, &info);
    EXPECT_EQ(block[nMethodEntryNoCheck], pops ? 0xA1 : 0xA0);
    EXPECT_EQ(block[nMethodEntryNoCheck + 1], 0x55) << "the frame follows directly";
  }
}

TEST(Prologue_PrimitiveDeathTest, UnknownPrimitiveKindIsFatal) {
  Fixture f;
  addPrimitiveWithParams(60, (const void*)0x401000, 0, 7, 0);
  static const uint8_t bytes[] = {254, 0, 60, 0x64};
  TVInfo info = {};
  info.bytecodes = bytes;
  info.bytecodesEnd = bytes + sizeof bytes;
  info.primitive = 60;
  EXPECT_DEATH(initTemps(bytes, block, &info), "This primitive type is not recognized");
}

TEST(Prologue_Trailer, PrimitiveMethodsEndWithTheCarefulCallStubAndTwoOffsets) {
  Fixture f;
  addCPrimitive(60, (const void*)0x401000, 0);
  tRt.carefulCallPrim = glue(11);
  for (int has43 = 0; has43 < 2; has43++) {
    std::vector<uint8_t> bytes = {254, 0, 60};
    if (has43) bytes.push_back(0x43);
    bytes.push_back(0x64);
    TVInfo info = {};
    info.bytecodes = bytes.data();
    info.bytecodesEnd = bytes.data() + bytes.size();
    info.primitive = 60;
    uint8_t* body = initTemps(info.bytecodes, block, &info);
    uint8_t* bodyEnd = body + 5;  // whatever the body is
    records.clear();
    uint8_t* end = tFinishMethod(bodyEnd, block, &info);
    EXPECT_EQ((uintptr_t)end % 16, 0u);
    EXPECT_GE(end - bodyEnd, 32);
    EXPECT_LT(end - bodyEnd, 51);
    char text[100];
    const uint8_t* p = disx86_64Text(bodyEnd, text, sizeof text, nullptr, name, disMode64);
    uint64_t entry = (uint64_t)(uintptr_t)getPrimEntry(60);
    EXPECT_EQ(std::string(text), (entry <= 0x7fffffff ? "mov    $" : "movabs $") + hex(entry) + ",%rbx");
    p = disx86_64Text(p, text, sizeof text, nullptr, name, disMode64);
    EXPECT_EQ(std::string(text), "mov    $" + hex(glueBase + 16 * 11) + ",%rax");
    disx86_64Text(p, text, sizeof text, nullptr, name, disMode64);
    EXPECT_STREQ(text, "call   *%rax");
    uint64_t words[2];
    memcpy(words, end - 16, 16);
    EXPECT_EQ(words[0], (uint64_t)(bodyEnd - block)) << "the stub's offset";
    EXPECT_EQ(words[1], has43 ? (uint64_t)(primReturnEntry - block) : ~0ull) << "the primitive return entry";
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], "map@" + hex((uint64_t)(bodyEnd - block)) + " vpc " + std::to_string(bytes.size()));
  }
}
