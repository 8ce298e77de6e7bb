// Execution engine: diagnostic printing of stacks, frames, contexts and processes, the send
// log and the dump files. Owns sendLog and sendLogIndex.
// Prefix: print, dump; none (logSend, shouldBeLiveHybrid, isFP, isStack).
#include "stack/stackprint.h"

#include <cinttypes>
#include <cstring>
#include <ctime>

#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmDebug.h"
#include "mman/mmEnumerate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmImageHeader.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"

// ---- Send log ------------------------------------------------------------------------------

SendLogEntry sendLog[sendLogEntries];
int32_t sendLogIndex = -1;

void resetSendLog() {
  memset(sendLog, 0, sizeof sendLog);
  sendLogIndex = -1;
}

extern "C" void logSend(oop receiver, oop selector) {
  if (sendLogIndex < 0) resetSendLog(), sendLogIndex = 0;
  sendLog[sendLogIndex] = {receiver, selector};
  sendLogIndex = (sendLogIndex + 1) % int32_t(sendLogEntries);
  sendLog[sendLogIndex] = {0, 0};
}

static bool startsWithVowel(const char* s) { return s[0] != 0 && strchr("aeiouyAEIOUY", s[0]) != nullptr; }

// "an Array", "a Point", "class" before a class receiver.
static void printSendLogEntry(const SendLogEntry& e, FILE* f) {
  char what[200];
  const char* article;
  uint64_t n = 0;
  const char* name = dbClassNameBytes(e.receiver, &n);
  if (name != nullptr && !isImmediate(e.receiver) && dbObjMayBeClass(e.receiver)) {
    article = "class";
    snprintf(what, sizeof what, "%.*s", int(n), name);
  } else {
    oop cls = dbObjClass(e.receiver);
    name = cls != 0 ? dbClassNameBytes(cls, &n) : nullptr;
    if (name != nullptr) snprintf(what, sizeof what, "%.*s", int(n), name);
    else snprintf(what, sizeof what, "%s", isImmediate(e.receiver) ? "immediate" : "<unknown class>");
    article = startsWithVowel(what) ? "an" : "a";
  }
  char sel[200];
  if (dbIsObject(e.selector) && !hasPtrs(headerOf(e.selector))) {
    uint64_t len = byteSizeOf(headerOf(e.selector));
    snprintf(sel, sizeof sel, "%.*s", int(len < 190 ? len : 190),
             reinterpret_cast<const char*>(headerOf(e.selector)->dataPtr));
  } else {
    snprintf(sel, sizeof sel, "<no selector>");
  }
  fprintf(f, "\treceiver 0x%" PRIx64 " (%s %s) selector 0x%" PRIx64 " (%s)\n", e.receiver, article, what,
          e.selector, sel);
}

extern "C" void printSendLog() {
  FILE* f = dbLog();
  fputs("Send log (most recent first):\n", f);
  if (sendLogIndex < 0) return;
  for (uint32_t k = 1; k < sendLogEntries; k++) {
    const SendLogEntry& e = sendLog[(uint32_t(sendLogIndex) + sendLogEntries - k) % sendLogEntries];
    if (e.receiver == 0 && e.selector == 0) break;  // the cleared entry: the oldest end
    printSendLogEntry(e, f);
  }
}

// ---- Validity of stack pointers ------------------------------------------------------------

static uint64_t* words(uint64_t address) { return reinterpret_cast<uint64_t*>(address); }
// Slots of a sound pointer object, 0 for anything else.
static uint64_t slotCountOf(oop o) { return dbIsObject(o) && hasPtrs(headerOf(o)) ? bodyWordsOf(headerOf(o)) : 0; }

extern "C" int isStack(uint64_t a) {
  if (stackZone == 0 || a < stackZone || a >= endOfStackZone) return 0;
  return (a - stackZone) % stackSegmentBytes == 0;
}

extern "C" int isAllocatedStack(uint64_t a) {
  if (!isStack(a)) return 0;
  uint64_t sentinel = reinterpret_cast<uint64_t>(allocatedStacks);
  int guard = NumStacks + 1;
  for (uint64_t s = allocatedStacks[0]; s != sentinel && guard-- > 0; s = words(s)[shNext]) {
    if (s == a) return 1;
    if (!isStack(s)) return 0;
  }
  return 0;
}

// A segment whose saved sp and fp lie in its frame area, sp not above fp.
static bool segmentIsSound(const uint64_t* s) {
  uint64_t base = segmentBase(s);
  uint64_t lo = base + shHeaderWords * 8, hi = rootFpOf(s);
  return s[shSp] >= lo && s[shSp] <= hi && s[shFp] >= lo && s[shFp] <= hi && s[shSp] <= s[shFp];
}

extern "C" uint64_t stackOfFrameFunc(uint64_t fp) {
  if (stackZone == 0 || fp < stackZone || fp >= endOfStackZone || (fp & 7) != 0) return 0;
  uint64_t* s = segmentOf(fp);
  return segmentIsSound(s) ? segmentBase(s) : 0;
}

// fp is one of the frames of its segment's chain (the root fp excluded).
extern "C" int isFP(uint64_t fp) {
  uint64_t base = stackOfFrameFunc(fp);
  if (base == 0) return 0;
  uint64_t* s = words(base);
  int guard = stackSegmentWords;
  for (uint64_t f = s[shFp]; f != rootFpOf(s) && guard-- > 0; f = words(f)[frCallerFp]) {
    if (f == fp) return 1;
    if (f <= s[shSp] || f > rootFpOf(s) || (f & 7) != 0) return 0;
  }
  return 0;
}

extern "C" uint64_t frameAbove(uint64_t fp) {
  if (!isFP(fp)) return 0;
  uint64_t* s = segmentOf(fp);
  uint64_t above = 0;
  for (uint64_t f = s[shFp]; f != fp; f = words(f)[frCallerFp]) above = f;
  return above;
}

extern "C" int shouldBeLiveHybrid(oop context) {
  if (!dbIsHeader(context)) return 0;
  ObjectHeader* h = headerOf(context);
  if (scavengeInProgress && (h->dataPtr & forwardTagMask) == forwardedWithBody) {
    oop moved = h->dataPtr & ~uint64_t(forwardTagMask);
    if (!dbIsHeader(moved)) return 0;
    h = headerOf(moved);
  }
  uint32_t tag = classTagOf(h);
  if (tag != classIndexHybridMethodContext && tag != classIndexHybridBlockContext) return 0;
  if (!dbHasSoundBody(oopOf(h)) || bodyWordsOf(h) <= ctxSender) return 0;
  oop pc = bodyOf(h)[ctxPc], sender = bodyOf(h)[ctxSender];
  if ((pc & 7) != 1 || (sender & 7) != 1) return 0;
  uint64_t fp = sender - 1;
  if (stackOfFrameFunc(fp) == 0) return 0;
  uint64_t* s = segmentOf(fp);
  if (fp <= s[shSp] || fp >= rootFpOf(s)) return 0;
  uint64_t* f = words(fp);
  return (f[frNMethod] & frameHybridBit) && f[frContext] == context && pc - 1 == f[frCallerFp];
}

// ---- Names ---------------------------------------------------------------------------------

static bool inGlue(uint64_t a) { return minGluePC < maxGluePC && a >= minGluePC && a < maxGluePC; }
static bool inNZone(uint64_t a) { return nmZone.bottom < nmZone.top && a >= nmZone.bottom && a < nmZone.top; }

const char* className(oop o, char* b, size_t size) {
  char u[4];
  if (sysOopRegistry != nullptr && o == nilOop()) snprintf(b, size, "<nil>");
  else if (sysOopRegistry != nullptr && o == trueOop()) snprintf(b, size, "<true>");
  else if (sysOopRegistry != nullptr && o == falseOop()) snprintf(b, size, "<false>");
  else if (isSmallInteger(o)) snprintf(b, size, "SmallInteger [ %" PRId64 " ]", smallIntegerValue(o));
  else if (isSmallDouble(o)) snprintf(b, size, "SmallDouble [ %g ]", loadSmallDoubleFromOop(o));
  else if (isCharacter(o)) snprintf(b, size, "Character [ %.*s ]", dbEncodeUtf8(characterValue(o), u), u);
  else if (inGlue(o)) snprintf(b, size, "<Glue PC>");
  else if (inNZone(o)) snprintf(b, size, "<NMethod PC>");
  else if (!dbIsHeader(o) || !dbHasSoundBody(o)) snprintf(b, size, "<Bogus Oop>");
  else if (classTagOf(headerOf(o)) == classIndexHybridMethodContext) snprintf(b, size, "<Hybrid %s Context>", "Method");
  else if (classTagOf(headerOf(o)) == classIndexHybridBlockContext) snprintf(b, size, "<Hybrid %s Context>", "Block");
  else {
    uint64_t n = 0;
    oop cls = dbObjClass(o);
    const char* name = cls != 0 ? dbClassNameBytes(cls, &n) : nullptr;
    if (name == nullptr) snprintf(b, size, "<Bogus Oop>");
    else snprintf(b, size, "%.*s", int(n < size - 1 ? n : size - 1), name);
  }
  return b;
}

extern "C" void printClassName(oop o) {
  char b[160];
  fprintf(dbLog(), "%s\n", className(o, b, sizeof b));
}

static const char* selectorText(oop sel, char* b, size_t size) {
  if (!dbIsObject(sel) || hasPtrs(headerOf(sel))) return "<no selector>";
  uint64_t n = byteSizeOf(headerOf(sel));
  snprintf(b, size, "%.*s", int(n < size - 1 ? n : size - 1), reinterpret_cast<const char*>(headerOf(sel)->dataPtr));
  return b;
}

// ---- Segments and frames -------------------------------------------------------------------

extern "C" void printStackHeader(uint64_t segment) {
  FILE* f = dbLog();
  if (!isStack(segment)) return (void)fprintf(f, "Arg 0x%" PRIx64 " isn't a stack.\n", segment);
  uint64_t* s = words(segment);
  fprintf(f, "Stack at 0x%" PRIx64 ":\n", segment);
  static const char* names[] = {" ->next", " ->previous", " ->sp", " ->fp", " ->realLim", " ->numArgs",
                                " ->receiver", " ->arg[0]", " ->arg[1]", " ->failAddr", " ->primErr"};
  static const uint32_t order[] = {shFp, shSp, shRealLim, shNumArgs, shReceiver, shArg0,
                                   shArg1, shFailAddr, shPrimErr, shNext, shPrevious};
  for (uint32_t w : order) fprintf(f, "%s 0x%" PRIx64 "\n", names[w], s[w]);
}

static void printChainFrom(FILE* f, uint64_t first, uint64_t end) {
  int n = 0, guard = NumStacks + 1;
  for (uint64_t s = first; s != end && s != 0 && isStack(s) && guard-- > 0; s = words(s)[shNext]) {
    fprintf(f, "0x%0" PRIx64 " --> ", s);
    n++;
  }
  fprintf(f, " (null)  %d total\n", n);
}

extern "C" void printChain() {
  FILE* f = dbLog();
  fprintf(f, "Current stack at 0x%" PRIx64 "\n", reinterpret_cast<uint64_t>(currentStack));
  fputs("Free chain: ", f);
  printChainFrom(f, reinterpret_cast<uint64_t>(freeStacks), 0);
  fputs("Allocated chain: ", f);
  printChainFrom(f, allocatedStacks[0], reinterpret_cast<uint64_t>(allocatedStacks));
}

static const NMethodHeader* nmethodOf(uint64_t fp) {
  uint64_t nm = words(fp)[frNMethod] & ~uint64_t(frameHybridBit);
  if (!inNZone(nm) || (nm & 15) != 0 || nm + sizeof(NMethodHeader) > nmZone.top) return nullptr;
  return reinterpret_cast<const NMethodHeader*>(nm);
}

// The resume pc of the frame: the word at sp for the top frame, else the return pc of the
// frame above.
static uint64_t resumePcOf(uint64_t fp) {
  uint64_t above = frameAbove(fp);
  return above != 0 ? words(above)[frReturnPc] : *words(segmentOf(fp)[shSp]);
}

extern "C" void printFrame(uint64_t fp) {
  FILE* f = dbLog();
  if (!isFP(fp)) return (void)fprintf(f, "frame 0x%08" PRIx64 " is bogus\n", fp);
  uint64_t* w = words(fp);
  const NMethodHeader* nm = nmethodOf(fp);
  char rb[160], sb[160];
  fprintf(f, "Frame 0x%" PRIx64 " caller 0x%" PRIx64 " nMethod 0x%" PRIx64 " PC 0x%" PRIx64 "\n", fp, w[frCallerFp],
          uint64_t(w[frNMethod] & ~uint64_t(frameHybridBit)), resumePcOf(fp));
  fprintf(f, "  receiver 0x%" PRIx64 " %s\n", w[frReceiver], className(w[frReceiver], rb, sizeof rb));
  int numArgs = nm != nullptr ? nm->numArgs : 0;
  for (int k = 0; k < numArgs && k < 2; k++)
    fprintf(f, "  arg %d 0x%" PRIx64 " %s\n", k, w[frFirstArg - k], className(w[frFirstArg - k], rb, sizeof rb));
  if (nm != nullptr)
    fprintf(f, "  NumArgs %d  NumTemps %d  %s%s%s\n", nm->numArgs, nm->numTemps,
            selectorText(nm->selector, sb, sizeof sb), (nm->flags & nmFlagUnwind) ? " marked for unwind" : "",
            (nm->flags & nmFlagHandler) ? " marked for handle" : "");
  bool hybrid = (w[frNMethod] & frameHybridBit) != 0;
  bool root = w[frCallerFp] == rootFpOf(segmentOf(fp));
  fprintf(f, "  %s %s\n", hybrid ? "Hybrid" : "Volatile", root ? "Root" : "NonRoot");
  if (hybrid) fprintf(f, "Context 0x%" PRIx64 "\n", w[frContext]);
}

extern "C" void printBriefFrame(uint64_t fp) {
  FILE* f = dbLog();
  if (!isFP(fp)) return (void)fprintf(f, "frame 0x%08" PRIx64 " is bogus\n", fp);
  const NMethodHeader* nm = nmethodOf(fp);
  char rb[160], sb[160];
  fprintf(f, "0x%" PRIx64 " %s >> %s\n", fp, className(words(fp)[frReceiver], rb, sizeof rb),
          nm != nullptr ? selectorText(nm->selector, sb, sizeof sb) : "<no selector>");
}

extern "C" void rawPrintFrame(uint64_t fp) {
  FILE* f = dbLog();
  if (!isFP(fp)) return (void)fprintf(f, "frame 0x%08" PRIx64 " is bogus\n", fp);
  uint64_t* w = words(fp);
  const NMethodHeader* nm = nmethodOf(fp);
  int numArgs = nm != nullptr ? nm->numArgs : 0;
  while (numArgs >= 2 && fp + 8 * uint64_t(numArgs) >= rootFpOf(segmentOf(fp))) numArgs--;  // a bad count
  for (int k = numArgs; k >= 2; k--) fprintf(f, "  fp+%d: 0x%" PRIx64 " (stacked %s)\n", 8 * k, w[k], k == numArgs ? "receiver" : "argument");
  fprintf(f, "  fp+8: 0x%" PRIx64 " (retpc)\n", w[frReturnPc]);
  fprintf(f, "  fp+0: 0x%" PRIx64 " (saved fp)\n", w[frCallerFp]);
  fprintf(f, "  fp-8: 0x%" PRIx64 " (thisContext)\n", w[frContext]);
  fprintf(f, "  fp-16: 0x%" PRIx64 " (nMethod)\n", w[frNMethod]);
  fprintf(f, "  fp-24: 0x%" PRIx64 " (receiver)\n", w[frReceiver]);
  // Temporaries and the expression stack down to the frame's stack top.
  uint64_t above = frameAbove(fp);
  uint64_t top = above != 0 ? above + 16 : segmentOf(fp)[shSp] + 8;
  for (uint64_t a = fp - 32; a >= top && a < fp; a -= 8)
    fprintf(f, "  fp-%" PRIu64 ": 0x%" PRIx64 "\n", fp - a, *words(a));
}

extern "C" void printNFrames(uint64_t fp, int n) {
  for (int k = 0; k < n && isFP(fp); k++, fp = words(fp)[frCallerFp]) printFrame(fp);
}

extern "C" void printAllFrames(uint64_t segment) {
  if (!isStack(segment) || !segmentIsSound(words(segment)))
    return (void)fprintf(dbLog(), "Arg 0x%" PRIx64 " isn't a stack.\n", segment);
  printNFrames(words(segment)[shFp], stackSegmentWords);
}

// ---- Contexts ------------------------------------------------------------------------------

// Prints one context line; answers its sender (0 to stop).
static oop printOneContext(oop ctxt, FILE* f) {
  if (!dbIsHeader(ctxt) || !dbHasSoundBody(ctxt)) return fputs("!probablyObj(ctxt)\n", f), 0;
  if (!hasPtrs(headerOf(ctxt)) || bodyWordsOf(headerOf(ctxt)) <= ctxReceiver)
    return fputs("!objHasPtrs(ctxt)\n", f), 0;
  uint32_t tag = classTagOf(headerOf(ctxt));
  char rb[160], mb[160], pb[160];  // one buffer per name: the three are printed together
  fprintf(f, "context 0x%08" PRIx64 " ", ctxt);
  if (tag == classIndexHybridMethodContext || tag == classIndexHybridBlockContext) {
    if (!shouldBeLiveHybrid(ctxt)) return fprintf(f, "(context 0x%08" PRIx64 " is a dead hybrid)\n", ctxt), 0;
    uint64_t fp = slotOf(ctxt, ctxSender) - 1;
    fputc('\n', f);
    printFrame(fp);
    uint64_t caller = words(fp)[frCallerFp];
    uint64_t* s = segmentOf(fp);
    if (caller == rootFpOf(s)) return s[shRootSender];
    return (words(caller)[frNMethod] & frameHybridBit) ? words(caller)[frContext] : 0;
  }
  oop method = slotOf(ctxt, ctxMethod);
  fprintf(f, "%s pc %s receiver %s\n", className(method, mb, sizeof mb),
          className(slotOf(ctxt, ctxPc), pb, sizeof pb), className(slotOf(ctxt, ctxReceiver), rb, sizeof rb));
  return slotOf(ctxt, ctxSender);
}

extern "C" void printContext(oop context) { printOneContext(context, dbLog()); }

extern "C" void printContextChain(oop context) {
  FILE* f = dbLog();
  for (int guard = 0; guard < 10000 && context != 0 && context != nilOop(); guard++)
    context = printOneContext(context, f);
}

// ---- Processes -----------------------------------------------------------------------------

// Slots of the scheduler's objects.
enum : uint32_t {
  processSuspendedContextSlot = 1,
  processPrioritySlot = 2,
  schedulerListsSlot = 0,
  schedulerActiveSlot = 1,
  listFirstSlot = 0,
  linkNextSlot = 0,
};

static oop activeProcessOop() {
  oop scheduler = sysOopRegistry != nullptr ? sysOop(sysProcessor) : 0;
  if (!dbIsObject(scheduler) || slotCountOf(scheduler) <= schedulerActiveSlot) return 0;
  return slotOf(scheduler, schedulerActiveSlot);
}

// The frames of the running segment from the top, then the contexts its root leads to.
static void printActiveChain(FILE* f) {
  if (currentStack == nullptr) return (void)fputs("activeProcess's currentStack is NULL\n", f);
  uint64_t s = reinterpret_cast<uint64_t>(currentStack);
  if (!isStack(s) || !segmentIsSound(currentStack))
    return (void)fprintf(f, "currentStack 0x%" PRIx64 " isn't a stack.\n", s);
  uint64_t fp = currentStack[shFp];
  for (int guard = stackSegmentWords; fp != rootFpOf(currentStack) && isFP(fp) && guard-- > 0;
       fp = words(fp)[frCallerFp])
    printFrame(fp);
  printContextChain(currentStack[shRootSender]);
}

static void printProcess(oop process, int detail, FILE* f) {
  oop active = activeProcessOop();
  bool isActive = process == active;
  int64_t priority = -1;
  if (dbIsObject(process) && slotCountOf(process) > processPrioritySlot &&
      isSmallInteger(slotOf(process, processPrioritySlot)))
    priority = smallIntegerValue(slotOf(process, processPrioritySlot));
  fprintf(f, "\nprocess 0x%" PRIx64 "%s priority: %" PRId64 "\n", process, isActive ? " (activeProcess)" : "",
          priority);
  if (!dbIsObject(process) || slotCountOf(process) <= processSuspendedContextSlot)
    return (void)fputs("!probablyObj(ctxt)\n", f);
  if (isActive) return printActiveChain(f);
  oop ctxt = slotOf(process, processSuspendedContextSlot);
  if (ctxt == nilOop()) return (void)fputs("suspendedContext is nil\n", f);
  if (detail) printContextChain(ctxt);
  else printContext(ctxt);
}

extern "C" void dumpAll(int detail) {
  FILE* f = dbLog();
  oop scheduler = sysOopRegistry != nullptr ? sysOop(sysProcessor) : 0;
  if (!dbIsObject(scheduler) || slotCountOf(scheduler) <= schedulerActiveSlot)
    return (void)fputs("!probablyObj(ctxt)\n", f);
  oop active = slotOf(scheduler, schedulerActiveSlot);
  printProcess(active, detail, f);
  oop lists = slotOf(scheduler, schedulerListsSlot);
  if (!dbIsObject(lists) || !hasPtrs(headerOf(lists))) return (void)fputs("!objHasPtrs(ctxt)\n", f);
  for (uint64_t p = slotCountOf(lists); p-- > 0;) {
    oop list = slotOf(lists, p);
    if (!dbIsObject(list) || slotCountOf(list) <= listFirstSlot) continue;
    int guard = 100000;
    for (oop q = slotOf(list, listFirstSlot); q != nilOop() && dbIsObject(q) && guard-- > 0;
         q = slotCountOf(q) > linkNextSlot ? slotOf(q, linkNextSlot) : nilOop())
      if (q != active) printProcess(q, detail, f);
  }
}

// The class whose name is "Process", or 0.
static uint32_t processClassIndex() {
  for (uint32_t page = 0; page <= lastClassTablePageX && page < classTablePages; page++) {
    if (classTable[page] == nullptr) continue;
    for (uint32_t k = 0; k < classTablePageSlots; k++) {
      oop cls = classTable[page][k];
      if (dbIsObject(cls) && dbClassNameIs("Process", cls)) return page * classTablePageSlots + k;
    }
  }
  return 0;
}

static int printProcessMatch(void* arg, ObjectHeader* h) {
  const int* detail = static_cast<const int*>(arg);
  uint32_t index = uint32_t(detail[1]);
  if (classTagOf(h) == index) printProcess(oopOf(h), detail[0], dbLog());
  return 0;
}

extern "C" void dumpAllProcesses(int detail) {
  uint32_t index = processClassIndex();
  int64_t found = 0;
  if (index != 0) found = scanObjectMemory(&index, instanceOfClassIndex, nullptr, nullptr);
  if (found == 0) return (void)fputs("Could not find any processes!\n", dbLog());
  int arg[2] = {detail, int(index)};
  scanObjectMemory(arg, printProcessMatch, nullptr, nullptr);
}

// ---- Dump files ----------------------------------------------------------------------------

void dumpVMID() {
  FILE* f = dbLog();
  const char* herald = heraldOrVersion();
  fprintf(f, "%s\nVM version: %d platform: %d release: %d.%d flags: %d\n", herald, vm_id0, vm_id1, vm_id2,
          ((vm_id3 & 0xF0) >> 4) + 1, vm_id3 & 0x0F);
  time_t now = time(nullptr);
  fprintf(f, "%s\n", ctime(&now));
}

static void printOldSegments(FILE* f) {
  writeBackOldSpace();
  int k = 0;
  for (const OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next, k++)
    fprintf(f, "\tsegment %d: data 0x%" PRIx64 "-0x%" PRIx64 " (%" PRIu64 " slots), OT 0x%" PRIx64 "-0x%" PRIx64
            " (%" PRIu64 " entries)\n",
            k, s->dataStart, s->dataTop, (s->dataTop - s->dataStart) / 8, s->otLow + 16, s->otHigh + 16,
            (s->otHigh - s->otLow) / 16);
}

static void printBlockTable(FILE* f, const BlockTable* t, int k) {
  uint64_t start = t->firstBlock != nullptr ? t->firstBlock->block : 0;
  fprintf(f, "\tsegment %d: blocks 0x%" PRIx64 "-0x%" PRIx64 ", %" PRIu64 " free words\n", k, start,
          uint64_t(t->lowest), t->freeWords);
}

static void printFixedSegments(FILE* f) {
  writeBackFixedSpace();
  int k = 0;
  for (const FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next, k++)
    printBlockTable(f, &s->table, k);
}

static void printMemoryManager(FILE* f) {
  printGCUsageTo(f);
  fprintf(f, "Incremental GC state: %c, marked %" PRIu64 " objects (%" PRIu64 " bytes)%s\n",
          currentIncGCState != 0 ? char(currentIncGCState) : '?', incGCMarkCount, incGCMarkBytes,
          incGCMarkOverflow ? ", mark stack overflowed" : "");
  fprintf(f, "Scavenges: %" PRIu64 ", tenure threshold: %" PRId64 " slots\n", numScavenges, tenureThreshold);
}

void dumpAllToFileCalling(int detail, int allProcesses, DumpWriter writer, const void* arg) {
  initStackPrinting();
  FILE* file = fopen(adjustOEReportFileName("stack.txt"), "a");
  if (file == nullptr) return;
  debugLog = file;
  dumpVMID();
  if (writer != nullptr) writer(file, arg);
  if (allProcesses) dumpAllProcesses(detail);
  else dumpAll(detail);
  fputs("\nOldSpace:\n", file);
  printOldSegments(file);
  fputs("\nFixedSpace:\n", file);
  printFixedSegments(file);
  fputs("\nLargeSpace:\n", file);
  printBlockTable(file, &largeSpace.table, 0);
  fputs("\nRemember table:\n", file);
  printRtUsageTo(file);
  fputs("\nOld remember table:\n", file);
  printOldRtUsageTo(file);
  fputs("\nMemory manager:\n", file);
  printMemoryManager(file);
  fputs("\n", file);
  fclose(file);
  debugLog = nullptr;
}

static void writeCountedString(FILE* f, const void* arg) {
  oop s = *static_cast<const oop*>(arg);
  if (!dbIsObject(s) || hasPtrs(headerOf(s))) return;
  fprintf(f, "%.*s\n\n", int(byteSizeOf(headerOf(s))), reinterpret_cast<const char*>(headerOf(s)->dataPtr));
}

static void writeChars(FILE* f, const void* arg) { fputs(static_cast<const char*>(arg), f); }

void dumpAllToFileWithChars(const char* heading) { dumpAllToFileCalling(0, 1, writeChars, heading); }
void dumpAllToFileWithString(oop string) { dumpAllToFileCalling(1, 1, writeCountedString, &string); }
void dumpAllToFile() { dumpAllToFileCalling(1, 1, nullptr, nullptr); }

void dumpAllProcessesToFile() {
  FILE* file = fopen(adjustOEReportFileName("processes.txt"), "a");
  if (file == nullptr) return;
  debugLog = file;
  dumpVMID();
  dumpAllProcesses(1);
  fputs("\n", file);
  fclose(file);
  debugLog = nullptr;
}

static void fillCodeRanges(DbCodeRanges* r) {
  *r = {stackZone, endOfStackZone, nmZone.bottom, nmZone.top, minGluePC, maxGluePC};
}
void initStackPrinting() { dbCodeRangesHook = fillCodeRanges; }
