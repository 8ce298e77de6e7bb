// Translator: method information record and the fatal translator report.
// Prefix: t (tVInfo, TAbortFunc).
#include "tran/tmain.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmDebug.h"
#include "mman/mmEnumerate.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"
#include "ext/platform.h"
#include "stack/glue.h"
#include "stack/stackframe.h"
#include "tran/disx86_64.h"
#include "tran/nmalloc.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"
#include "tran/txmem.h"

TVInfo tVInfo;
uint64_t tNil, tTrue, tFalse;
int32_t effectiveMaxVBytesJumpShort = 6;

void TAbortFunc(const char* message, int64_t vpc, const uint8_t*, const char* file, int line) {
  fprintf(stderr, "\nTranslator problem %s %d: %s\n", file, line, message);
  if (vpc >= 0) fprintf(stderr, "   vPC = %d\n", (int)vpc);
  const TVInfo& i = tVInfo;
  fprintf(stderr, "\n------ Translating 0x%" PRIx64 " ------\nnumArgs=%d  numTemps=%d  frameSize=%d", i.method,
          i.numArgs, i.numTemps, i.frameSize);
  if (i.bytecodes != nullptr && i.bytecodesEnd > i.bytecodes) {
    int64_t n = i.bytecodesEnd - i.bytecodes;
    fprintf(stderr, "\n%d bytes:", (int)n);
    for (int64_t k = 0; k < n; k++) fprintf(stderr, "%s0x%02x", k % 10 == 0 ? "\n  " : " ", i.bytecodes[k]);
  }
  fputc('\n', stderr);
  doPanic(file, line);
}

enum : uint8_t {
  hdrLong = 0x80,          // long header: numArgs, numTemps, frame size follow
  hdrBlock = 0x20,         // a block method
  hdrFrame12 = 0x10,       // short header: frame of 12 words; long header: context receiver
  hdrUnwind = 0x08,        // long header only
  hdrHandler = 0x04,       // long header only
  bcPrimitiveMarker = 254,
  bcPrimitiveError = 0x43,
  bcPopIntoTemp0 = 0x4C,
  bcPopIntoTemp7 = 0x53,
  bcPopIntoTempLong = 0xDB,
  noErrorTemp = 255,
};

// The temp (counted after the arguments) a primitive's error code is popped into, judged by
// the instruction after the 0x43 marker, or 255.
static uint8_t primErrorTempOf(const uint8_t* p, const uint8_t* end, int numArgs) {
  int temp = -1;
  if (p < end && *p >= bcPopIntoTemp0 && *p <= bcPopIntoTemp7) temp = *p - bcPopIntoTemp0 - numArgs;
  else if (p + 1 < end && *p == bcPopIntoTempLong) temp = p[1] - numArgs;
  return temp >= 0 && temp < noErrorTemp ? (uint8_t)temp : (uint8_t)noErrorTemp;
}

int unpackVMethod(uint64_t method, TVInfo* info) {
  if (isImmediate(method)) return 0;
  const ObjectHeader* mh = headerOf(method);
  if (!hasPtrs(mh)) return 0;
  uint64_t format = classFormatOf(classOfHeader(mh));
  if ((format & formatIndexable) == 0) return 0;
  uint64_t named = formatNamedSlots(format);
  uint64_t words = bodyWordsOf(mh);
  if (words < named || named < 2) return 0;
  // A send site's literal is found again through the header's count when it gives one.
  if (indexabilityOf(mh) != indexabilityAskClass && indexabilityOf(mh) != named) return 0;
  oop holder = slotOf(method, 0);
  if (isImmediate(holder) || hasPtrs(headerOf(holder))) return 0;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(holder)));
  uint64_t size = byteSizeOf(headerOf(holder));
  if (size < 1) return 0;
  uint8_t h = bytes[0];
  TVInfo i = {};
  i.method = method;
  i.isBlock = (h & hdrBlock) != 0;
  if (h & hdrLong) {
    if (size < 4) return 0;
    i.numArgs = bytes[1];
    i.numTemps = bytes[2];
    i.frameSize = bytes[3];
    i.contextReceiver = (h & hdrFrame12) != 0;
    i.isUnwind = (h & hdrUnwind) != 0;
    i.isHandler = (h & hdrHandler) != 0;
    if (i.contextReceiver && i.frameSize == 0) i.frameSize = 12;
    i.bytecodes = bytes + 4;
  } else {
    i.numArgs = (h >> 2) & 3;
    i.numTemps = h & 3;
    i.frameSize = (h & hdrFrame12) ? 12 : 0;
    i.bytecodes = bytes + 1;
  }
  i.bytecodesEnd = bytes + size;
  // The immediates' classes sit at these class indices; their methods check the tag.
  oop cls = slotOf(method, 1);
  if (!i.isBlock && !isImmediate(cls)) {
    switch (hashOf(headerOf(cls))) {
      case 3: i.receiverTag = oopTagSmallInteger; break;
      case 5: i.receiverTag = oopTagSmallDouble; break;
      case 1: i.receiverTag = oopTagCharacter; break;
      default: break;
    }
  }
  i.literals = reinterpret_cast<const uint64_t*>(bodyOf(mh)) + named;
  i.numLiterals = (uint32_t)(words - named);
  i.primitive = -1;
  i.primErrorTemp = noErrorTemp;
  const uint8_t* p = i.bytecodes;
  if (i.bytecodesEnd - p >= 3 && p[0] == bcPrimitiveMarker) {
    i.primitive = p[1] * 256 + p[2];
    p += 3;
    if (p < i.bytecodesEnd && *p == bcPrimitiveError) i.primErrorTemp = primErrorTempOf(p + 1, i.bytecodesEnd, i.numArgs);
    const PrimEntry* e = getPrimEntry((uint64_t)i.primitive);
    if (e->kind != primKindVarArgC && e->numArgs != i.numArgs) i.primitive = 0x10000;
  }
  *info = i;
  return 1;
}

// ---- the translation driver -----------------------------------------------------------------

uint64_t tVMethod, tSelector;
uint64_t* tPVToN;
uint32_t tPermAreaBytes = 512;
uint8_t* tLastCodeEnd;
static bool firstTimeFlag = true;

void tResetFirstTime() { firstTimeFlag = true; }

TRoutines tRt;

void tInstallRoutines() {
  auto fill = [](const void*& slot, uint64_t address) {
    if (slot == nullptr) slot = reinterpret_cast<const void*>(uintptr_t(address));
  };
#define TRT_FILL(entry, use, slot, contract) TRT_FILL_##use(entry, slot)
#define TRT_FILL_rt(entry, slot) fill(tRt.slot, glueAddress(entry));
#define TRT_FILL_stub(entry, slot) fill(tRt.slot, glueAddress(entry));
#define TRT_FILL_no(entry, slot)
  GLUE_ENTRIES(TRT_FILL)
  for (int i = 0; i < 5; i++) {
    fill(tRt.primGlue[i], PrimGlueTable[i]);
    fill(tRt.userPrimGlue[i], UserPrimGlueTable[i]);
  }
}

void tResetStubRoutines() {
#define TRT_RESET(entry, use, slot, contract) TRT_RESET_##use(entry, slot)
#define TRT_RESET_rt(entry, slot)
#define TRT_RESET_stub(entry, slot) tRt.slot = reinterpret_cast<const void*>(glueAddress(entry));
#define TRT_RESET_no(entry, slot)
  GLUE_ENTRIES(TRT_RESET)
}

// The abort and store stubs place themselves in the permanent area; the non-Boolean stubs
// follow in a piece of their own.
static void translatorFirstTime() {
  tInstallRoutines();
  initFirstTime();
  uint8_t* area = reinterpret_cast<uint8_t*>(nMethodPermAlloc(tPermAreaBytes));
  if (area == nullptr) TAbortFunc("No permanent code area for the run-time stubs", -1, nullptr, "src/tran/tmain", __LINE__);
  uint8_t* scratch = reinterpret_cast<uint8_t*>(nMethodAllocScratch(800));
  uint8_t* end = initBxpNotBoolean(scratch, area);
  if (end > area + tPermAreaBytes) TAbortFunc("Overran working area", -1, end, "src/tran/tmain", __LINE__);
  initSendTypeTable();
}

static void useMapWriter() {
  tMapLit = genMapLit;
  tMapRelCall = genMapRelCall;
  tMapOnly = genMapOnly;
}

uint64_t nmTranslate(uint64_t method, uint64_t selector, uint64_t** table) {
  tNil = nilOop();
  tTrue = trueOop();
  tFalse = falseOop();
  if (firstTimeFlag) {
    firstTimeFlag = false;
    tSelector = tVMethod = 0;
    tPVToN = nullptr;
    tMapLit = nullptr;  // the stubs have no map
    tMapRelCall = nullptr;
    tMapOnly = nullptr;
    translatorFirstTime();
  }
  useMapWriter();
  tVMethod = method;
  tSelector = selector;
  TVInfo info;
  if (!unpackVMethod(method, &info)) return lookupNotTranslatable;
  uint64_t n = uint64_t(info.bytecodesEnd - info.bytecodes);
  badBytecodePC = -1;
  effectiveMaxVBytesJumpShort = 6;
  uint64_t codeBudget = ((info.primitive > 0 ? 60 : 30) + n) * 13 + 90;
  uint64_t mapBudget = n + 10;
  uint64_t tableBytes = (n + 2) * 8;
  // A retry that finds no room leaves the zone as it found it: the blocks tried are free
  // again, and the search for holes starts where it did.
  uint64_t holesStart = nmZone.holesStart;
  for (;;) {
    uint64_t total = mapBudget + codeBudget;
    if (table != nullptr) total = (total + 7) & ~uint64_t(7);
    NMethodHeader* h = nMethodAlloc(table != nullptr ? total + tableBytes : total);
    if (h == nullptr) {
      if (nmZone.holesStart > holesStart) nmZone.holesStart = holesStart;
      return lookupNoSpace;
    }
    uint8_t* block = reinterpret_cast<uint8_t*>(h);
    uint64_t* offsets = table != nullptr ? reinterpret_cast<uint64_t*>(block + total) : nullptr;
    tPVToN = offsets;
    uint8_t* mapStart = block + total - mapBudget;
    startNMethod = block;
    uint8_t* r;
    for (;;) {
      if (offsets != nullptr) memset(offsets, 0, tableBytes);
      genMapAlloc(mapStart, block + total, offsets);
      assignedRegSummary = emptyRegSummary = 0;
      regsInitialized = 0;
      tVInfo = info;
      h->flags = 0;
      r = tMainLoop(info.bytecodes, block, mapStart, &tVInfo);
      if (regsInitialized) regCleanup();
      if (r == tLoopShortJumpRetry()) {
        effectiveMaxVBytesJumpShort -= 1;
        continue;
      }
      if (r == tLoopInvalid()) {
        info.primErrorTemp = 255;
        info.primitive = -1;
        continue;
      }
      break;
    }
    uint8_t* mapEnd = genMapClose(0);
    if (mapEnd == nullptr) {
      nMethodDealloc(h);
      mapBudget *= 2;
      continue;
    }
    if (r > mapStart) {
      if (r > block + total) TAbortFunc("Overran working area", 0, r, "src/tran/tmain", 217);
      nMethodDealloc(h);
      codeBudget *= 2;
      continue;
    }
    uint64_t mapLength = uint64_t(mapEnd - mapStart);
    tLastCodeEnd = r;
    uint8_t* mapAt = r > block + nMethodEntryNoCheck + 2 ? r : block + nMethodEntryNoCheck + 2;
    h->numArgs = tVInfo.numArgs;
    h->numTemps = tVInfo.numTemps;
    h->frame = tVInfo.frameSize;
    if (offsets != nullptr) {
      offsets[offsets[n] == 0 ? n : n + 1] = nMethodCannotResumeEntry;
      *table = offsets;
    } else {
      memmove(mapAt, mapStart, mapLength);
      nMethodShorten(h, uint64_t(mapAt - block) + mapLength);
      // What lies between the code and the reversed map reads as int3 in listings.
      memset(mapAt + mapLength, 0xCC, size_t(block + h->usedSize - (mapAt + mapLength)));
      genMapCopy(mapAt, block + h->usedSize, mapLength, info.primitive > 0);
    }
    uint8_t flags = h->flags & nmFlagNewRef;
    if (info.isBlock) flags |= nmFlagBlock;
    if (info.primitive >= 0) flags |= nmFlagPrimitive;
    if (info.isUnwind) flags |= nmFlagUnwind;
    if (info.isHandler) flags |= nmFlagHandler;
    if (isNewObject(method) || (selector != 0 && !isImmediate(selector) && isNewObject(selector))) flags |= nmFlagNewRef;
    h->flags = flags;
    h->vmethod = method;
    h->selector = selector;
    if (offsets == nullptr && pdMustFlushICache() != 0 && rtFlushICache != nullptr) rtFlushICache();
    return (uint64_t)(uintptr_t)block;
  }
}

int64_t mapVToNPC(uint64_t method, int64_t vpc) {
  uint64_t* table = nullptr;
  uint64_t nm = nmTranslate(method, 0, &table);
  const TVInfo& info = tVInfo;
  int64_t nBytes = info.bytecodesEnd - info.bytecodes;
  if (nm < lookupResultLimit) {
    TVInfo probe;
    if (unpackVMethod(method, &probe) && vpc == (probe.bytecodesEnd - probe.bytecodes) + 1) return nMethodCannotResumeEntry;
    return 0;
  }
  int64_t answer = -1;
  if (vpc >= 1 && vpc <= nBytes + 1 && uint32_t(table[vpc - 1]) != 0) answer = int64_t(uint32_t(table[vpc - 1]));
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(nm));
  return answer;
}

// The primitive rules of a native offset: 4 at the primitive return, 1 at the call point or
// the restart, else 0.
static int64_t primitiveVpc(uint64_t nm, int64_t npc) {
  int64_t ret = int64_t(mapPrimitiveReturn(nm) - nm);
  if (npc == ret) return 4;
  if (npc == ret - int64_t(nMethodPrimitiveJumpSize) || npc == int64_t(mapPrimitiveRestart(nm) - nm)) return 1;
  return 0;
}

int64_t mapNToVPC(uint64_t method, int64_t npc, int* noRoom) {
  if (noRoom != nullptr) *noRoom = 0;
  uint64_t nm = vToNMethod(method, 0);
  if (nm != 0) {
    const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(nm);
    bool prim = (h->flags & nmFlagPrimitive) != 0;
    if (npc == int64_t(nPCofFirstNonPrimitiveVPC(nm) - nm)) return prim ? 5 : 1;
    if (prim) {
      int64_t v = primitiveVpc(nm, npc);
      if (v != 0) return v;
    }
  }
  uint64_t* table = nullptr;
  uint64_t copy = nmTranslate(method, 0, &table);
  if (copy < lookupResultLimit) {
    if (noRoom != nullptr) *noRoom = copy == lookupNoSpace;
    TVInfo probe;
    if (npc == nMethodCannotResumeEntry && unpackVMethod(method, &probe)) return (probe.bytecodesEnd - probe.bytecodes) + 1;
    return 0;
  }
  int64_t nBytes = tVInfo.bytecodesEnd - tVInfo.bytecodes;
  int64_t answer = -1;
  for (int64_t i = 0; i <= nBytes + 1; i++) {
    if (table[i] != 0 && int64_t(uint32_t(table[i])) == npc) {
      answer = i + 1;
      break;
    }
  }
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(copy));
  return answer < 0 ? -1 : (answer < nBytes + 1 ? answer : nBytes + 1);
}

// ---- every context's native pc to a bytecode pc (snapshots) ------------------------------

// A context's native pc as a bytecode pc: the zone is compacted when the translation is
// missing and then emptied before giving up (0).
static int64_t mappedPc(uint64_t method, int64_t npc) {
  int64_t vpc = mapNToVPC(method, npc);
  if (vpc > 0) return vpc;
  compactNMethods();
  vpc = mapNToVPC(method, npc);
  if (vpc > 0) return vpc;
  compactAllNMethods();
  return mapNToVPC(method, npc);
}

struct PcMapping {
  int failed;
};

static int mapContextPc(void* arg, ObjectHeader* h) {
  PcMapping* mapping = static_cast<PcMapping*>(arg);
  uint32_t tag = classTagOf(h);
  if (mapping->failed || (tag != classIndexMethodContext && tag != classIndexBlockContext) || bodyWordsOf(h) < 2)
    return 0;
  oop* body = bodyOf(h);
  if (!isSmallInteger(body[1]) || smallIntegerValue(body[1]) >= 0) return 0;
  int64_t npc = -smallIntegerValue(body[1]);
  uint64_t method = uint64_t(body[0]);
  int64_t vpc = mappedPc(method, npc);
  if (vpc <= 0) {
    char text[200];
    snprintf(text, sizeof text,
             "Unmappable n-PC encountered:\n\t\t\tn-PC = 0x%" PRIx64 "/%" PRId64 ",\n\t\t\tv-PC = 0x%" PRIx64
             "/%" PRId64 ",\n\t\t\tmethod = 0x%" PRIx32 "\n",
             uint64_t(npc), npc, uint64_t(vpc), vpc, uint32_t(method));
    doReportError(text, errCauseVMBug | errError, SOURCE_NAME, __LINE__);
    vpc = mappedPc(method, nMethodCannotResumeEntry);
    if (vpc < 1) {
      mapping->failed = 1;
      return 0;
    }
  }
  body[1] = smallIntegerFor(vpc);  // a SmallInteger: no barrier
  return 0;
}

int mapAllNPCs() {
  PcMapping mapping = {0};
  oop none[1];
  scanObjectMemory(&mapping, mapContextPc, none, none);
  return mapping.failed ? 0 : 1;
}

// ---- the method-to-nmethod tables ------------------------------------------------------------

static uint64_t blockBuckets0[128], blockBuckets1[256], blockBuckets2[128], blockBuckets3[16];
static uint64_t methodBuckets[256], picBuckets[128];
VToNTable allVToNTables[6] = {{blockBuckets0, 127}, {blockBuckets1, 255}, {blockBuckets2, 127},
                              {blockBuckets3, 15},  {methodBuckets, 255}, {picBuckets, 127}};
uint64_t lastFailedMethod;

static VToNTable* tableFor(bool isBlock, uint32_t numArgs) {
  return &allVToNTables[!isBlock ? 4 : numArgs <= 2 ? numArgs : 3];
}

VToNTable* tableForVMethod(uint64_t method) {
  oop holder = slotOf(method, 0);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(holder)));
  uint8_t h = bytes[0];
  return tableFor((h & hdrBlock) != 0, (h & hdrLong) ? bytes[1] : (h >> 2) & 3);
}

VToNTable* tableForNMethod(uint64_t nmethod) {
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(nmethod);
  return tableFor((h->flags & nmFlagBlock) != 0, h->numArgs);
}

void clearNTable() {
  for (VToNTable& t : allVToNTables) memset(t.buckets, 0, (t.mask + 1) * sizeof(uint64_t));
  txForgetBlockEntries();
}

static uint64_t* bucketOf(VToNTable* t, uint64_t method) {
  ObjectHeader* h = headerOf(method);
  uint32_t hash = hashOf(h) != 0 ? hashOf(h) : getObjHash(h);
  return &t->buckets[hash & t->mask];
}

// The search of one chain: an nmethod of method for selector (0: any) that is not unlinked,
// else one not yet bound to a selector, which is bound now; the find moves to the front.
static uint64_t searchChain(VToNTable* table, uint64_t method, uint64_t selector) {
  uint64_t* head = bucketOf(table, method);
  uint64_t* unbound = nullptr;
  for (uint64_t* link = head; *link != 0; link = &reinterpret_cast<NMethodHeader*>(*link)->link) {
    NMethodHeader* h = reinterpret_cast<NMethodHeader*>(*link);
    if (h->vmethod != method || (h->flags & nmFlagUnlinked) != 0) continue;
    if (selector == 0 || h->selector == selector) {
      uint64_t nm = *link;
      *link = h->link;  // to the front of its chain
      h->link = *head;
      *head = nm;
      return nm;
    }
    if (h->selector == 0 && unbound == nullptr) unbound = link;
  }
  if (unbound == nullptr) return 0;
  uint64_t nm = *unbound;
  NMethodHeader* h = reinterpret_cast<NMethodHeader*>(nm);
  h->selector = selector;
  if (!isImmediate(selector) && isNewObject(selector)) h->flags |= nmFlagNewRef;
  *unbound = h->link;
  h->link = *head;
  *head = nm;
  return nm;
}

uint64_t vToNMethod(uint64_t method, uint64_t selector) {
  if (isImmediate(method)) return 0;
  TVInfo probe;
  if (!unpackVMethod(method, &probe)) return 0;
  return searchChain(tableForVMethod(method), method, selector);
}

uint64_t blockVToNMethod(uint64_t method, uint32_t kind) {
  if (isImmediate(method) || !hasPtrs(headerOf(method))) return 0;
  return searchChain(&allVToNTables[kind <= 2 ? kind : 3], method, 0);
}

uint64_t addNMethod(uint64_t method, uint64_t selector) {
  uint64_t nm = nmTranslate(method, selector, nullptr);
  if (nm < lookupResultLimit) return nm;
  NMethodHeader* h = reinterpret_cast<NMethodHeader*>(nm);
  if ((h->flags & nmFlagNewRef) != 0 && !nMethodAddToList(nm)) {
    nMethodDealloc(h);
    return lookupNoSpace;
  }
  uint64_t* head = bucketOf(tableForNMethod(nm), method);
  h->link = *head;
  *head = nm;
  return nm;
}

uint64_t findMethodForOpenPIC(uint64_t selector, uint32_t classIndex, int skipProbe) {
  if (!skipProbe) {
    uint64_t nm = mCacheProbe(selector, classIndex);
    if (nm != 0) return nm;
  }
  MethodCacheEntry* victim = mCacheVictim(selector, classIndex);
  oop method = lookupCompiledMethod(selector, classAt(classIndex));
  if (method == 0) return lookupNotUnderstood;
  uint64_t nm = vToNMethod(method, selector);
  if (nm == 0) nm = addNMethod(method, selector);
  if (nm < lookupResultLimit) {
    lastFailedMethod = method;
    return nm;
  }
  mCacheFill(victim, classIndex, nm);
  return nm;
}

uint64_t findMethod(uint64_t selector, uint32_t classIndex) { return findMethodForOpenPIC(selector, classIndex, 0); }

// ---- names of methods ------------------------------------------------------------------------

// The class a method names in its second slot, or 0 when that is no class.
static oop methodClassOf(oop method) {
  if (!dbIsObject(method) || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) < 2) return 0;
  oop cls = slotOf(method, 1);
  if (!dbIsObject(cls) || !hasPtrs(headerOf(cls)) || bodyWordsOf(headerOf(cls)) < 2) return 0;
  return cls;
}

// Whether code (a method or block method) holds block method `block` among its literals, at
// any depth of nesting.
static bool holdsBlock(oop code, oop block, int depth) {
  TVInfo info;
  if (depth > 16 || !dbIsObject(code) || !unpackVMethod(code, &info)) return false;
  for (uint32_t i = 0; i < info.numLiterals; i++) {
    oop l = info.literals[i];
    if (l == block) return true;
    if (!isImmediate(l) && l != code && holdsBlock(l, block, depth + 1)) return true;
  }
  return false;
}

// The selector under which the class's dictionary holds method, or under which it holds the
// method whose code makes block method `method`; 0 when none.
static oop selectorInDictionary(oop cls, oop method, bool isBlock) {
  oop dict = slotOf(cls, 1);
  if (!dbIsObject(dict) || !hasPtrs(headerOf(dict))) return 0;
  const ObjectHeader* h = headerOf(dict);
  uint64_t named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  uint64_t words = bodyWordsOf(h);
  const oop* pairs = bodyOf(h) + named;
  for (uint64_t i = 0; named + i + 1 < words; i += 2) {
    if (pairs[i + 1] == method) return pairs[i];
    if (isBlock && !isImmediate(pairs[i + 1]) && holdsBlock(pairs[i + 1], method, 0)) return pairs[i];
  }
  return 0;
}

void printMethodName(uint64_t method) {
  FILE* f = dbLog();
  TVInfo info;
  bool isBlock = dbIsObject(method) && unpackVMethod(method, &info) && info.isBlock;
  if (isBlock) fputs("[] in ", f);
  oop cls = methodClassOf(method);
  if (cls == 0) {
    fputs(">>unboundMethod", f);
    return;
  }
  uint64_t n = 0;
  const char* name = dbClassNameBytes(cls, &n);
  const char* suffix = "";
  if (name == nullptr && thisClassX >= 0 && bodyWordsOf(headerOf(cls)) > uint64_t(thisClassX)) {
    name = dbClassNameBytes(slotOf(cls, uint64_t(thisClassX)), &n);  // a metaclass names its class
    suffix = " class";
  }
  if (name != nullptr) fprintf(f, "%.*s%s", int(n), name, suffix);
  else fprintf(f, "<class 0x%" PRIx64 ">", cls);
  oop selector = selectorInDictionary(cls, method, isBlock);
  if (selector != 0 && dbIsObject(selector) && !hasPtrs(headerOf(selector))) {
    fprintf(f, ">>%.*s", int(byteSizeOf(headerOf(selector))), reinterpret_cast<const char*>(headerOf(selector)->dataPtr));
  } else {
    fputs(">><no selector>", f);
  }
}

void printMethod(uint64_t method) {
  printMethodName(method);
  fputc('\n', dbLog());
}

// ---- hooks -------------------------------------------------------------------------------------

static uint64_t vToNMethodForFrame(oop method) { return vToNMethod(method, 0); }
static uint64_t addNMethodForFrame(oop method) {
  uint64_t nm = addNMethod(method, 0);
  return nm < lookupResultLimit ? 0 : nm;
}
static int64_t mapVToNPCForFrame(oop, int64_t vpc, uint64_t nmethod) {
  return mapVToNPC(reinterpret_cast<const NMethodHeader*>(nmethod)->vmethod, vpc);
}
static int64_t mapNToVPCForFrame(uint64_t nmethod, int64_t offset) {
  int noRoom = 0;
  int64_t vpc = mapNToVPC(reinterpret_cast<const NMethodHeader*>(nmethod)->vmethod, offset, &noRoom);
  if (noRoom) return -1;
  return vpc < 0 ? 0 : vpc;
}
static void initTranslator() {
  tResetFirstTime();
  actionInit();
  tStackInit();
}

void installTranslatorHooks() {
  vToNMethodHook = vToNMethodForFrame;
  addNMethodHook = addNMethodForFrame;
  mapVToNPCHook = mapVToNPCForFrame;
  mapNToVPCHook = mapNToVPCForFrame;
  nmHooks.initTranslator = initTranslator;
}

// ---- listings ------------------------------------------------------------------------------

static const char* entryLabel(uint64_t nm, uint64_t offset) {
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(nm);
  bool block = (h->flags & nmFlagBlock) != 0;
  if ((h->flags & nmFlagPrimitive) != 0) {
    if (nm + offset == mapPrimitiveRestart(nm)) return "prim restart";
    if (nm + offset == mapPrimitiveReturn(nm)) return "prim return";
  }
  switch (offset) {
    case nMethodCannotResumeEntry: return "cannot-resume entry";
    case nMethodAbortOffsetOffset: return "abort return";
    case nMethodAbortSendMissReturnOffset: return block ? nullptr : "abort send miss return";
    case nMethodEntry: return block ? "block entry" : "entry";
    case nMethodEntryNonImmediate: return block ? nullptr : "non-imm entry";
    case nMethodEntryNoCheck: return block ? nullptr : "no-check entry";
    default: return nullptr;
  }
}

// What the listing of one nmethod shows: offsets in it instead of addresses (bit 4 of the
// second byte of tDebug), and the convention's names of registers.
static uint64_t listedNMethod;
static bool listRelative;
static int listRegisterNames;

// rbx, r12 and r13 carry the receiver and the first two arguments; rcx, rdx, rsi and rdi are
// free for the generators.
static int listRegProc(char* buf, int size, int reg, int width) {
  if (!listRegisterNames || width != 64) return 0;
  static const int8_t argOf[16] = {-1, -1, -1, 0, -1, -1, -1, -1, -1, -1, -1, -1, 1, 2, -1, -1};
  static const int8_t availOf[16] = {-1, 0, 1, -1, -1, -1, 2, 3, -1, -1, -1, -1, -1, -1, -1, -1};
  if (argOf[reg & 15] >= 0) snprintf(buf, size_t(size), "rArg%d", argOf[reg & 15]);
  else if (availOf[reg & 15] >= 0) snprintf(buf, size_t(size), "rAvail%d", availOf[reg & 15]);
  else return 0;
  return 1;
}

static int listSymProc(char* buf, int size, uint64_t address) {
  const char* name = nzoneSymbolAt(address);
  if (name != nullptr) {
    snprintf(buf, size_t(size), "%s", name);
    return 1;
  }
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(listedNMethod);
  if (listRelative && listedNMethod != 0 && address >= listedNMethod && address < listedNMethod + h->usedSize) {
    snprintf(buf, size_t(size), "nm@%03" PRIx64, address - listedNMethod);
    return 1;
  }
  return 0;
}

// Whether the call that ends at next went to a primitive's glue: the failure jump and the
// nmethod offset word follow it.
static bool callsPrimitiveGlue(const uint8_t* p, const uint8_t* next) {
  if (next - p != 5 || p[0] != 0xE8) return false;
  int32_t d;
  memcpy(&d, p + 1, 4);
  // In integers: bytes listed as code may be data, and their displacement may point anywhere.
  const uintptr_t target = reinterpret_cast<uintptr_t>(next) + uintptr_t(intptr_t(d));
  auto is = [target](const void* glue) { return target == reinterpret_cast<uintptr_t>(glue); };
  for (int i = 0; i < 5; i++)
    if (is(tRt.primGlue[i]) || is(tRt.userPrimGlue[i])) return true;
  return is(tRt.primGlueVarArgMany);
}

void fprintNCode(FILE* stream, const uint8_t* from, const uint8_t* to, uint64_t nm, const uint64_t* offsetTable) {
  listedNMethod = nm;
  listRelative = nm != 0 && (tDebug & 0x1000) != 0;
  auto lead = [&](const uint8_t* p) {
    uint64_t address = uint64_t(reinterpret_cast<uintptr_t>(p));
    const char* symbol = nzoneSymbolAt(address);
    if (symbol != nullptr) fprintf(stream, "%s:\t", symbol);
    else if (listRelative) fprintf(stream, "nm@%03" PRIx64 ":\t", address - nm);
    else fprintf(stream, "_%" PRIx64 ":\t", address);
  };
  for (const uint8_t* p = from; p < to;) {
    uint64_t offset = nm != 0 ? uint64_t(reinterpret_cast<uintptr_t>(p)) - nm : 0;
    const char* label = nm != 0 ? entryLabel(nm, offset) : nullptr;
    if (label != nullptr) {
      int vpc = -1;
      for (int64_t i = 0; offsetTable != nullptr && offsetTable[i] != 0 && i < 65536; i++) {
        if (uint32_t(offsetTable[i]) == offset) vpc = int(i + 1);
      }
      if (vpc > 0) fprintf(stream, "%s (vpc %d):\n", label, vpc);
      else fprintf(stream, "%s:\n", label);
    }
    if (nm != 0 && offset == nMethodAbortOffsetOffset) {  // the distance to the body is data
      uint16_t d;
      memcpy(&d, p, 2);
      lead(p);
      fprintf(stream, ".word 0x%04x(offset from nm)\n", unsigned(d));
      p += 2;
      continue;
    }
    char text[200];
    const uint8_t* next = disx86_64Text(p, text, sizeof text, listRegProc, listSymProc, disMode64);
    lead(p);
    for (const uint8_t* b = p; b < next; b++) fprintf(stream, " %02x", unsigned(*b));
    fprintf(stream, "\t%s", text);
    if (nm != 0) {
      uint8_t data[8];
      uint32_t n = mapDataForNpc(nm, uint64_t(reinterpret_cast<uintptr_t>(next)), data, sizeof data, nullptr);
      if (n > 0) {
        fprintf(stream, "\tmap:");
        for (uint32_t i = 0; i < n && i < sizeof data; i++) fprintf(stream, " %02x", unsigned(data[i]));
      }
    }
    fputc('\n', stream);
    if (nm != 0 && callsPrimitiveGlue(p, next) && next + 6 <= to && next[0] == 0xEB) {
      // The failure jump, then the call site's offset in the nmethod: data, not code.
      p = disx86_64Text(next, text, sizeof text, listRegProc, listSymProc, disMode64);
      lead(next);
      fprintf(stream, " %02x %02x\t%s\n", next[0], next[1], text);
      uint32_t word;
      memcpy(&word, p, 4);
      lead(p);
      fprintf(stream, ".word 0x%04x(%s)\n", word, "primitive call in nm");
      p += 4;
      continue;
    }
    p = next;
  }
  listedNMethod = 0;
}

void printEntireNMethod(uint64_t nm, const uint64_t* offsetTable, FILE* stream, int showRegisterNames, int) {
  if (!isNMethod(nm)) {
    fprintf(stream, "0x%" PRIx64 " is not an nmethod\n", nm);
    return;
  }
  printNMethod(nm, stream);
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(nm);
  uint64_t mapStart = findPCMapStart(nm + h->usedSize);
  bool prim = (h->flags & nmFlagPrimitive) != 0;
  uint64_t codeEnd = prim ? getPrimMap(nm) - 16 : mapStart;
  const uint8_t* code = reinterpret_cast<const uint8_t*>(nm + nMethodHeaderSize);
  listRegisterNames = showRegisterNames;
  fprintNCode(stream, code, reinterpret_cast<const uint8_t*>(codeEnd), nm, offsetTable);
  listRegisterNames = 0;
  if (prim) {
    // The restart stub and the return point, by their symbol when they have one.
    struct {
      const char* lead;
      uint64_t address;
    } const rows[] = {{"Restart: ", mapPrimitiveRestart(nm)}, {"Return:  ", mapPrimitiveReturn(nm)}};
    for (const auto& r : rows) {
      const char* name = nzoneSymbolAt(r.address);
      if (name != nullptr) fprintf(stream, "%s%s (0x%06" PRIx64 ")\n", r.lead, name, r.address - nm);
      else fprintf(stream, "%s0x%06" PRIx64 "\n", r.lead, r.address - nm);
    }
  }
  fprintf(stream, "PC map:\n");
  fprintPCMap(stream, nm + h->usedSize);
}
