// Diagnostic printing: the send log's ring, shouldBeLiveHybrid over a hand-built frame (and
// over random words, changing nothing), the frame and segment printers, and the dump files.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ext/platform.h"
#include "mman/mmDebug.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"
#include "mman/namedClasses.h"
#include "mman/testHeap.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"
#include "stack/stackprint.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"

namespace {

alignas(stackSegmentBytes) uint64_t zone[2 * stackSegmentWords];

struct alignas(16) FakeNMethod {
  NMethodHeader h;
  uint8_t code[88];
};
FakeNMethod nms[2];

uint64_t addr(const void* p) { return reinterpret_cast<uint64_t>(p); }

// Sets (or, with 0, removes) the log-folder variable.
void setLogDir(const char* value) {
#ifdef _WIN32
  _putenv_s("QZ_LOG_DIR", value != nullptr ? value : "");
#else
  if (value != nullptr) setenv("QZ_LOG_DIR", value, 1);
  else unsetenv("QZ_LOG_DIR");
#endif
}

std::string readAll(FILE* f) {
  fflush(f);
  long n = ftell(f);
  rewind(f);
  std::string s(size_t(n), '\0');
  EXPECT_EQ(fread(s.data(), 1, s.size(), f), s.size());
  rewind(f);
  return s;
}

int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
  return n;
}

class StackPrint : public ::testing::Test {
 protected:
  uint64_t* s = nullptr;
  uint64_t sp = 0, fpA = 0, fpB = 0;
  FILE* log = nullptr;
  NMZone savedZone{};

  void push(uint64_t v) {
    sp -= 8;
    *reinterpret_cast<uint64_t*>(sp) = v;
  }
  // Bottom frame A (2 arguments, a method with an unwind mark) calls block frame B.
  void SetUp() override {
    newTestHeap();
    named.build();
    initDebugPrims();
    resetSendLog();
    initStacks(zone, 2);
    s = stackAlloc(0);
    currentStack = s;
    s[shRootSender] = nilOop();
    memset(nms, 0, sizeof nms);
    nms[0].h = {0, 128, nmFlagUnwind, nmMarkAllocated, 2, 1, 12, {}, newOldObject(classIndexArray, 1), symbolFor("at:put:")};
    nms[1].h = {0, 128, nmFlagBlock, nmMarkAllocated, 0, 0, 14, {}, newOldObject(classIndexArray, 1), 0};
    savedZone = nmZone;
    nmZone.bottom = addr(&nms[0]);
    nmZone.top = addr(&nms[2]);
    sp = s[shSp];
    push(rootFpOf(s));
    fpA = sp;
    push(0);
    push(addr(&nms[0]));
    push(smallIntegerFor(5));  // receiver
    push(smallIntegerFor(1));
    push(smallIntegerFor(2));
    push(nilOop());
    push(addr(&nms[0]) + 60);  // return pc into A
    push(fpA);
    fpB = sp;
    push(0);
    push(addr(&nms[1]));
    push(nilOop());
    push(smallIntegerFor(7));
    push(addr(&nms[1]) + 50);  // B's resume pc
    s[shSp] = sp;
    s[shFp] = fpB;
    log = tmpfile();
    debugLog = log;
  }
  void TearDown() override {
    debugLog = nullptr;
    fclose(log);
    nmZone = savedZone;
    currentStack = nullptr;
    initStackChains();
    classNameX = thisClassX = metaclassInstSize = -1;
    freeTestHeap();
  }
  NamedClasses named;
};

TEST_F(StackPrint, SendLogKeepsTheLastNinetyNineNewestFirst) {
  oop array = newOldObject(classIndexArray, 0);
  oop triple = newOldObject(testClasses.threeSlots, 3);
  oop sel = symbolFor("size");
  struct { int sends; int lines; } cases[] = {{0, 0}, {1, 1}, {150, 99}};
  for (auto& k : cases) {
    resetSendLog();
    for (int i = 0; i < k.sends; i++) logSend(i % 2 ? array : triple, i == k.sends - 1 ? sel : smallIntegerFor(i));
    printSendLog();
    std::string out = readAll(log);
    EXPECT_EQ(out.rfind("Send log (most recent first):\n", 0), 0u);
    EXPECT_EQ(count(out, "\treceiver "), k.lines) << k.sends;
    if (k.sends == 0) continue;
    char first[200];
    oop last = (k.sends - 1) % 2 ? array : triple;
    snprintf(first, sizeof first, "\treceiver 0x%" PRIx64 " (%s) selector 0x%" PRIx64 " (size)\n", last,
             last == array ? "an Array" : "a Triple", sel);
    EXPECT_EQ(out.substr(30, strlen(first)), first);
  }
  // Of 150 sends the oldest kept is send 51 (counting from 0); send 50 was cleared.
  printSendLog();
  std::string out = readAll(log);
  char oldest[100], gone[100];
  snprintf(oldest, sizeof oldest, "selector 0x%" PRIx64 " (<no selector>)\n", smallIntegerFor(51));
  snprintf(gone, sizeof gone, "selector 0x%" PRIx64 " ", smallIntegerFor(50));
  EXPECT_EQ(out.size() - out.rfind(oldest), strlen(oldest));
  EXPECT_EQ(out.find(gone), std::string::npos);
}

TEST_F(StackPrint, ClassReceiversAndUnknownSelectors) {
  logSend(classAt(classIndexArray), 0);
  logSend(smallIntegerFor(3), symbolFor("+"));
  logSend(characterFor('x'), symbolFor("value"));
  named.rename(classIndexSmallInteger, "SmallInteger");
  printSendLog();
  std::string out = readAll(log);
  EXPECT_NE(out.find("(class Array) selector 0x0 (<no selector>)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("(a SmallInteger) selector"), std::string::npos) << out;
  EXPECT_NE(out.find("(an immediate) selector"), std::string::npos) << out;  // Character: unnamed here
}

TEST_F(StackPrint, ClassNamesOfImmediatesAndCodeAddresses) {
  char b[160];
  struct { oop o; const char* text; } cases[] = {
      {nilOop(), "<nil>"},          {trueOop(), "<true>"},         {falseOop(), "<false>"},
      {smallIntegerFor(-3), "SmallInteger [ -3 ]"}, {smallDoubleFor(0.5), "SmallDouble [ 0.5 ]"},
      {characterFor('q'), "Character [ q ]"},       {characterFor(0xE9), "Character [ \xC3\xA9 ]"},
      {characterFor(0), "Character [ ? ]"},         {addr(&nms[1]) + 48, "<NMethod PC>"},
      {0x10, "<Bogus Oop>"},                        {newOldObject(classIndexArray, 1), "Array"},
  };
  for (auto& k : cases) EXPECT_STREQ(className(k.o, b, sizeof b), k.text);
}

TEST_F(StackPrint, ShouldBeLiveHybridChangesNothing) {
  oop b = frameMakeHybrid(fpB, 0);
  ASSERT_NE(b, oop(0));
  uint64_t* f = reinterpret_cast<uint64_t*>(fpB);
  EXPECT_EQ(shouldBeLiveHybrid(b), 1);
  struct { const char* what; uint64_t* word; uint64_t value; } breaks[] = {
      {"pc slot", &bodyOf(headerOf(b))[ctxPc], fpB + 1},
      {"sender slot", &bodyOf(headerOf(b))[ctxSender], fpA + 1},
      {"context in frame", &f[frContext], nilOop()},
      {"hybrid bit", &f[frNMethod], addr(&nms[1])},
      {"segment sp", &s[shSp], fpB + 8},
  };
  for (auto& k : breaks) {
    uint64_t saved = *k.word;
    *k.word = k.value;
    EXPECT_EQ(shouldBeLiveHybrid(b), 0) << k.what;
    EXPECT_EQ(classTagOf(headerOf(b)), uint32_t(classIndexHybridBlockContext)) << k.what;
    *k.word = saved;
  }
  EXPECT_EQ(shouldBeLiveHybrid(b), 1);
  std::vector<uint64_t> before(zone, zone + 2 * stackSegmentWords);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 1000000; i++) {
    uint64_t w = rng();
    if (i % 3 == 1) w = eden.start + w % (eden.end - eden.start);
    if (i % 3 == 2) w = oldSpace.otLow + w % (oldSpace.otHigh + 16 - oldSpace.otLow);
    shouldBeLiveHybrid(w & (i % 2 ? ~uint64_t(7) : ~uint64_t(0)));
  }
  EXPECT_TRUE(std::vector<uint64_t>(zone, zone + 2 * stackSegmentWords) == before);
  EXPECT_EQ(shouldBeLiveHybrid(b), 1);
}

TEST_F(StackPrint, FramePrintersNameWhatTheyFind) {
  oop b = frameMakeHybrid(fpB, 0);
  printFrame(fpA);
  std::string a = readAll(log);
  EXPECT_NE(a.find("NumArgs 2  NumTemps 1  at:put: marked for unwind\n"), std::string::npos) << a;
  EXPECT_NE(a.find("receiver 0x2b SmallInteger [ 5 ]\n"), std::string::npos) << a;
  EXPECT_NE(a.find("Volatile Root\n"), std::string::npos) << a;
  printFrame(fpB);
  std::string bt = readAll(log);
  char ctx[64];
  snprintf(ctx, sizeof ctx, "Hybrid NonRoot\nContext 0x%" PRIx64 "\n", b);
  EXPECT_NE(bt.find(ctx), std::string::npos) << bt;
  EXPECT_NE(bt.find("receiver 0x"), std::string::npos);
  EXPECT_NE(bt.find(" <nil>\n"), std::string::npos) << bt;
  struct { uint64_t fp; } bogus[] = {{0x10}, {fpB + 8}, {addr(zone) + 16}, {sp - 64}};
  for (auto& k : bogus) {
    printFrame(k.fp);
    char want[64];
    snprintf(want, sizeof want, "frame 0x%08" PRIx64 " is bogus\n", k.fp);
    EXPECT_EQ(readAll(log), want);
  }
  EXPECT_EQ(frameAbove(fpA), fpB);
  EXPECT_EQ(frameAbove(fpB), 0u);
  EXPECT_EQ(stackOfFrameFunc(fpA), addr(s));
  EXPECT_EQ(isAllocatedStack(addr(s)), 1);
  EXPECT_EQ(isStack(addr(s) + 8), 0);
  printContext(b);
  EXPECT_NE(readAll(log).find("Hybrid NonRoot"), std::string::npos);
  reinterpret_cast<uint64_t*>(fpB)[frContext] = nilOop();
  printContext(b);
  snprintf(ctx, sizeof ctx, "(context 0x%08" PRIx64 " is a dead hybrid)\n", b);
  EXPECT_NE(readAll(log).find(ctx), std::string::npos);
  printContext(0x18);
  EXPECT_EQ(readAll(log), "!probablyObj(ctxt)\n");
}

TEST_F(StackPrint, SegmentHeaderAndChains) {
  printStackHeader(addr(s));
  std::string h = readAll(log);
  const char* order[] = {" ->fp", " ->sp", " ->realLim", " ->numArgs", " ->receiver", " ->arg[0]",
                         " ->arg[1]", " ->failAddr", " ->primErr", " ->next", " ->previous"};
  size_t at = 0;
  for (const char* name : order) {
    size_t next = h.find(name, at);
    ASSERT_NE(next, std::string::npos) << name;
    at = next + 1;
  }
  printStackHeader(addr(s) + 8);
  char want[64];
  snprintf(want, sizeof want, "Arg 0x%" PRIx64 " isn't a stack.\n", addr(s) + 8);
  EXPECT_EQ(readAll(log), want);
  printChain();
  std::string c = readAll(log);
  EXPECT_NE(c.find("Free chain: "), std::string::npos);
  EXPECT_EQ(count(c, " (null)  1 total\n"), 2) << c;  // one free, one allocated
  rawPrintFrame(fpA);
  std::string r = readAll(log);
  EXPECT_NE(r.find("(retpc)"), std::string::npos);
  char temps[100];
  snprintf(temps, sizeof temps, "fp-32: 0xb\n  fp-40: 0x13\n  fp-48: 0x%" PRIx64 "\n", nilOop());
  EXPECT_EQ(r.substr(r.size() - strlen(temps)), temps) << r;
}

// A scheduler of the image's shape: Processes at two priorities, one active.
class Dumps : public StackPrint {
 protected:
  std::string dir;
  std::vector<oop> processes;
  void SetUp() override {
    StackPrint::SetUp();
    uint32_t processIndex = newTestClass(formatPointers | 4);
    named.rename(processIndex, "Process");
    oop lists = newOldObject(classIndexArray, 4);
    for (int p = 0; p < 4; p++) bodyOf(headerOf(lists))[p] = newOldObject(testClasses.pointers, 2);
    oop scheduler = newOldObject(testClasses.pointers, 2);
    bodyOf(headerOf(scheduler))[0] = lists;
    sysOopRegistry[sysProcessor] = scheduler;
    for (int k = 0; k < 4; k++) {
      oop p = newOldObject(processIndex, 4);
      bodyOf(headerOf(p))[2] = smallIntegerFor(k < 2 ? 3 : 4);
      processes.push_back(p);
    }
    oop ctxt = newOldObject(testClasses.pointers, 6);
    setClassTag(headerOf(ctxt), classIndexMethodContext);
    bodyOf(headerOf(ctxt))[ctxPc] = smallIntegerFor(4);
    bodyOf(headerOf(processes[1]))[1] = ctxt;
    bodyOf(headerOf(scheduler))[1] = processes[3];
    dir = testing::TempDir() + "stackprint-dumps";
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir, ignored);
    const char* old = getenv("QZ_LOG_DIR");
    hadDir = old != nullptr;
    if (hadDir) oldDir = old;
    setLogDir(dir.c_str());
  }
  void TearDown() override {
    setLogDir(hadDir ? oldDir.c_str() : nullptr);
    sysOopRegistry[sysProcessor] = nilOop();
    StackPrint::TearDown();
  }
  bool hadDir = false;
  std::string oldDir;
  std::string file(const char* name) {
    FILE* f = fopen((dir + "/" + name).c_str(), "rb");
    if (f == nullptr) return "<none>";
    fseek(f, 0, SEEK_END);
    std::string s = readAll(f);
    fclose(f);
    std::erase(s, '\r');  // text files end their lines with CR LF on Windows
    return s;
  }
};

static void heading(FILE* f, const void*) { fputs("Dump on vmExit:\n", f); }

TEST_F(Dumps, StackFileHoldsEveryProcessAndSectionInOrder) {
  dumpAllToFileCalling(1, 1, heading, nullptr);
  std::string d = file("stack.txt");
  EXPECT_EQ(d.find("\nVM version: "), d.find('\n')) << d;
  size_t at = d.find("Dump on vmExit:\n");
  ASSERT_NE(at, std::string::npos) << d;
  for (oop p : processes) {
    char line[80];
    snprintf(line, sizeof line, "\nprocess 0x%" PRIx64, p);
    EXPECT_NE(d.find(line), std::string::npos) << d;
  }
  EXPECT_EQ(count(d, " (activeProcess)"), 1);
  EXPECT_EQ(count(d, "suspendedContext is nil\n"), 2);
  EXPECT_NE(d.find("context 0x"), std::string::npos);
  for (const char* section : {"\nOldSpace:\n", "\nFixedSpace:\n", "\nLargeSpace:\n", "\nRemember table:\n",
                              "\nOld remember table:\n", "\nMemory manager:\n"}) {
    size_t next = d.find(section, at);
    EXPECT_NE(next, std::string::npos) << section;
    at = next;
  }
  EXPECT_EQ(d.substr(d.size() - 2), "\n\n");
  EXPECT_EQ(debugLog, nullptr);
  debugLog = log;
  dumpAllToFile();
  std::string twice = file("stack.txt");
  EXPECT_EQ(twice.substr(0, d.size()), d);
  EXPECT_EQ(count(twice, "\nMemory manager:\n"), 2);
  dumpAllProcessesToFile();
  EXPECT_EQ(count(file("processes.txt"), "\nprocess 0x"), 4);
}

// The dump under a plain heading: what a bad bytecode writes when the image has no selector
// for it, just before the system stops.
TEST_F(Dumps, BadBytecodeWithoutItsSelectorDumpsUnderItsHeadingAndStops) {
  dumpAllToFileWithChars("heading given\n");
  std::string d = file("stack.txt");
  size_t at = d.find("\n\nheading given\n");
  ASSERT_NE(at, std::string::npos) << d;
  EXPECT_LT(d.find("\nVM version: "), at);
  EXPECT_LT(at, d.find("\nprocess 0x")) << "the heading before the stacks";
  EXPECT_EQ(count(d, "\nprocess 0x"), 4) << "every process";
  EXPECT_NE(d.find("\nMemory manager:\n"), std::string::npos);
  std::filesystem::remove(dir + "/stack.txt");

  sysOopRegistry[sysBadBytecodeSelector] = nilOop();
  // The status is the report's code, which the platform may truncate.
  EXPECT_EXIT(CrtBadBytecode(17), [](int) { return true; }, "");
  d = file("stack.txt");
  EXPECT_EQ(count(d, "badBytecodeAt: 17\n"), 1) << d;
  EXPECT_EQ(count(d, "\nprocess 0x"), 4);
}

// The active process's frames come from currentStack; a missing or bogus one is said.
TEST_F(Dumps, ActiveProcessWithoutItsStack) {
  dumpAll(0);
  std::string with = readAll(log);
  EXPECT_NE(with.find(" (activeProcess) priority: 4\n"), std::string::npos) << with;
  EXPECT_NE(with.find("NumArgs 2  NumTemps 1  at:put:"), std::string::npos) << with;
  currentStack = nullptr;
  dumpAll(0);
  EXPECT_NE(readAll(log).find("activeProcess's currentStack is NULL\n"), std::string::npos);
  currentStack = s + 1;
  dumpAll(0);
  char want[80];
  snprintf(want, sizeof want, "currentStack 0x%" PRIx64 " isn't a stack.\n", addr(s + 1));
  EXPECT_NE(readAll(log).find(want), std::string::npos);
  currentStack = s;
}

TEST_F(Dumps, NoProcessClassAndAnUnopenableDirectory) {
  named.rename(classTagOf(headerOf(processes[0])), "Thread");
  dumpAllProcesses(0);
  EXPECT_EQ(readAll(log), "Could not find any processes!\n");
  dumpAll(0);
  EXPECT_EQ(count(readAll(log), "\nprocess 0x"), 1);  // the active one; the lists are empty
  setLogDir((dir + "/missing/folder").c_str());
  dumpAllToFile();
  EXPECT_EQ(debugLog, log);  // nothing was opened
  EXPECT_EQ(file("stack.txt"), "<none>");
}

}  // namespace
