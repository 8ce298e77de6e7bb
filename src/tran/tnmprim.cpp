// Translator: the translator's primitives and the native-code sampling profiler's counters.
// Owns ProfileState. Prefix: none (initNMethodPrims, incrementProfile, recordCompacted,
// moveProfiledCode, finishProfiledMove).
#include "tran/tnmprim.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmInit.h"
#include "mman/mmRt.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/send.h"
#include "stack/stackframe.h"
#include "stack/stackprint.h"
#include "stack/stackzone.h"
#include "tran/nmalloc.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tpic.h"
#include "tran/tprim.h"

volatile uint32_t collectingProfileData;
uint64_t* engineData;
uint64_t* nzoneData;
volatile uint64_t profileOutsideSamples;
int64_t profileEngineBufferX = -1, profileNZoneBufferX = -1;
CodeSymbol profileSymbols[profileSymbolCapacity];
int profileSymbolCount;

static int stabilizeAndMapAll() { return stabilizeAllStacks() && mapAllNPCs(); }
int (*nmPrimStabilizeHook)() = stabilizeAndMapAll;
ObjectHeader* (*nmListingAllocHook)(oop stringClass, uint64_t bytes) = nullptr;

// ---- Sample counters ------------------------------------------------------------------------

void incrementProfile(uint64_t pc) {
  if (!collectingProfileData) return;
  if (pc >= profile_nzone_lopc && pc < profile_nzone_hipc)
    nzoneData[(pc - profile_nzone_lopc) >> 3]++;
  else if (pc >= profile_text_lopc && pc < profile_text_hipc)
    engineData[(pc - profile_text_lopc) >> 3]++;
  else
    profileOutsideSamples = profileOutsideSamples + 1;
}

static uint64_t* nzoneCounterAt(uint64_t address) { return &nzoneData[(address - profile_nzone_lopc) >> 3]; }

void recordCompacted(uint64_t count) {
  if (profile_compaction_area == 0 || nzoneData == nullptr) return;
  uint64_t* c = nzoneCounterAt(profile_compaction_area);
  uint64_t* last = nzoneCounterAt(profile_other_area) - 1;
  for (; count != 0; c++) {
    uint64_t room = ~uint64_t(0) - *c;
    if (count <= room || c == last) {
      *c = count <= room ? *c + count : ~uint64_t(0);
      return;
    }
    *c = ~uint64_t(0);  // full: what did not fit goes on to the next counter
    count -= room;
  }
}

// Counts overwritten by the moves of one compaction, handed over by finishProfiledMove.
static uint64_t overwrittenSamples;

// Source counters are read before any destination at or above them is written, because dest
// lies below src: each counter is taken from its place and the place left zero, so a later
// move that lands there overwrites nothing that was already moved.
void moveProfiledCode(uint64_t dest, uint64_t src, uint64_t bytes) {
  uint64_t* to = reinterpret_cast<uint64_t*>(dest);
  const uint64_t* from = reinterpret_cast<const uint64_t*>(src);
  uint64_t* toCounter = nzoneCounterAt(dest);
  uint64_t* fromCounter = nzoneCounterAt(src);
  for (uint64_t i = 0; i < bytes / 8; i++) {
    to[i] = from[i];
    uint64_t moved = fromCounter[i];
    fromCounter[i] = 0;
    overwrittenSamples += toCounter[i];
    toCounter[i] = moved;
  }
}

void finishProfiledMove(uint64_t newFree, uint64_t oldFree) {
  uint64_t sum = overwrittenSamples;
  overwrittenSamples = 0;
  for (uint64_t* c = nzoneCounterAt(newFree); c < nzoneCounterAt(oldFree); c++) {
    sum += *c;
    *c = 0;
  }
  recordCompacted(sum);
}

// ---- Primitives 89 and 522: the lookup caches ---------------------------------------------------

static oop primFlushLookupCaches(oop receiver) {
  nmFlushLookupCache();
  return receiver;
}

static oop primFlushSelector(oop receiver, oop selector) {
  nmFlushLookupEntriesForSelector(selector);
  return receiver;
}

// ---- Translation options (1009, 537) and discarding a method's code (526) ---------------------

// The active context waits in a registry slot while stacks are stabilised (contexts are
// allocated and may move it); the primitive was committed first so that it resumes after it.
static void suspendActive(oop committed) {
  commitPrimitive(committed);
  registerSysOop(suspendTopContext(), uint32_t(temp1RegisteredOopX));
}

static void resumeActive() {
  oop context = sysOop(uint32_t(temp1RegisteredOopX));
  registerSysOop(nilOop(), uint32_t(temp1RegisteredOopX));
  resumeContext(context);
}

static oop currentOptionBits() {
  int64_t bits = (enableTP ? 1 : 0) | (enableTFP ? 2 : 0) | (IEEEInfNaN ? 4 : 0) | (tsMaxIndex >= 7 ? 8 : 0) |
                 (tsMaxIndex == 22 ? 16 : 0);
  return smallIntegerFor(bits);
}

// Translated primitives switched off: every registered record gives its number back to the C
// function it captured, and Arrays and copying blocks are made by the run-time routines again;
// switched on: the tables are registered again and the allocation stubs that the first
// translation made (none when it ran with translated primitives off) come back.
enum { numAllocStubs = 6 };
// "create array", "make copying block 1 value", then the stubs that gather stack values
static const void* allocStubs[numAllocStubs];
static const void** allocStubSlots[numAllocStubs] = {&tRt.createArray, &tRt.makeCopyingBlock1, &tRt.consArray,
                                                     &tRt.makeCopyingBlock, &tRt.makeFullCopyingBlock, &tRt.makeFullBlock};

static void reregisterTranslatedPrims(uint32_t wasOn) {
  if ((enableTP != 0) == (wasOn != 0)) return;
  TranslatedPrimRecord* tables[] = {txArithPrims, txControlPrims, txMemPrims, txSubscriptPrims};
  if (enableTP != 0) {
    for (TranslatedPrimRecord* t : tables) txRegisterTable(t, enableXTP != 0 ? 7 : 5, primKindTranslated);
    for (int i = 0; i < numAllocStubs; i++)
      if (allocStubs[i] != nullptr) *allocStubSlots[i] = allocStubs[i];
    return;
  }
  for (TranslatedPrimRecord* t : tables)
    for (TranslatedPrimRecord* r = t; r->number != 0; r++) {
      const PrimEntry* e = getPrimEntry(r->number);
      if (r->cFunction != nullptr && e->kind == primKindTranslated && e->function == uint64_t(uintptr_t(r)))
        addCPrimitive(r->number, r->cFunction, uint8_t(txArgCount(r)));
    }
  void (*const routines[numAllocStubs])() = {rtCreateArray, rtMakeCopyingBlock1, rtConsArray,
                                             rtMakeCopyingBlock, rtMakeFullCopyingBlock, rtMakeFullBlock};
  for (int i = 0; i < numAllocStubs; i++) {
    const void* routine = reinterpret_cast<const void*>(routines[i]);
    if (*allocStubSlots[i] != routine) allocStubs[i] = *allocStubSlots[i];
    *allocStubSlots[i] = routine;
  }
}

int nmDiscardAllCode(oop committed) {
  suspendActive(committed);
  int ok = nmPrimStabilizeHook();
  if (ok) reInitNMethods();
  resumeActive();
  return ok;
}

static oop primTranslationOptions(oop receiver, oop option) {
  if (option != nilOop()) {
    if (!isSmallInteger(option) || smallIntegerValue(option) < 0 || smallIntegerValue(option) > 31)
      return failPrimitive(primErrorAt(primErrBadArgument), 1);
    int64_t bits = smallIntegerValue(option);
    if (!nmDiscardAllCode(receiver)) return failPrimitive(primErrorAt(primErrNoSpace), 1);
    uint32_t wasOn = enableTP;
    enableTP = (bits & 1) != 0;
    enableTFP = (bits & 2) != 0;
    IEEEInfNaN = (bits & 4) != 0;
    tsMaxIndex = (bits & 16) ? 22 : (bits & 8) ? 7 : -1;
    reregisterTranslatedPrims(wasOn);
  }
  return commitPrimitiveAndHandleRequests(currentOptionBits());
}

static oop primFullInlining(oop receiver, oop state) {
  if (state == nilOop()) return booleanOop(tsMaxIndex == 22);
  if (state != trueOop() && state != falseOop()) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  int32_t wanted = state == trueOop() ? 22 : 7;
  if (wanted == tsMaxIndex) return state;
  if (!nmDiscardAllCode(receiver)) return failPrimitive(primErrorAt(primErrGeneral), 1);
  tsMaxIndex = wanted;
  return commitPrimitiveAndHandleRequests(state);
}

static oop primDiscardMethodCode(oop method) {
  if (vToNMethod(method, 0) == 0) return method;
  suspendActive(method);
  if (!stabilizeContextsWithMethod(method)) {
    resumeActive();
    return failPrimitive(primErrorAt(primErrNoSpace), 0);
  }
  nmFlushCachedCodeForMethod(method);
  resumeActive();
  return commitPrimitiveAndHandleRequests(method);
}

// ---- Primitives 1001 and 1003: code ranges and code-layout constants ---------------------------

static oop primProfileRanges(oop) {
  const uint64_t values[4] = {profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc};
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), 4);
  if (h == nullptr) return failPrimitive(primErrorAt(primErrNoSpace), 0);
  registerSysOop(oopOf(h), uint32_t(temp2RegisteredOopX));
  for (int i = 0; i < 4; i++) {
    oop value = cUnsignedToOop(values[i]);  // may allocate a LargePositiveInteger
    oop array = sysOop(uint32_t(temp2RegisteredOopX));
    if (value == 0) {
      registerSysOop(nilOop(), uint32_t(temp2RegisteredOopX));
      return failPrimitive(primErrorAt(primErrNoSpace), 0);
    }
    storeSlot(array, uint64_t(i), value, SOURCE_NAME, __LINE__);
  }
  oop array = sysOop(uint32_t(temp2RegisteredOopX));
  registerSysOop(nilOop(), uint32_t(temp2RegisteredOopX));
  return array;
}

struct LayoutConstant {
  const char* name;
  int64_t value;
};
static const LayoutConstant layoutConstants[] = {
    {"entry", nMethodEntry},
    {"entryNonImm", nMethodEntryNonImmediate},
    {"entryNoCheck", nMethodEntryNoCheck},
    {"glueEntry", nMethodGlueEntry},
    {"blockEntry", nMethodBlockEntry},
    {"blockGlueEntry", nMethodBlockGlueEntry},
    {"abortSendMissReturnOffset", nMethodAbortSendMissReturnOffset},
    {"cannotResumeEntry", nMethodCannotResumeEntry},
    {"primitiveJumpSize", nMethodPrimitiveJumpSize},
    {"PICTypeCaseSize", nPICTypeCaseSize},
    {"PICFirstTargetOffset", nPICFirstTargetOffset},
    {"ClosedPICSize", nPICClosedSize},
    {"OpenPICSize", nPICOpenSize},
};
constexpr uint64_t layoutConstantCount = sizeof layoutConstants / sizeof layoutConstants[0];
static_assert(layoutConstantCount == 13, "13 (name, value) pairs");

static oop primLayoutConstants(oop) {
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), 2 * layoutConstantCount);
  if (h == nullptr) return failPrimitive(primErrorAt(primErrNoSpace), 0);
  registerSysOop(oopOf(h), uint32_t(temp2RegisteredOopX));
  for (uint64_t k = 0; k < layoutConstantCount; k++) {
    const LayoutConstant& c = layoutConstants[k];
    oop name = STStringWithSize(c.name, strlen(c.name));
    oop array = sysOop(uint32_t(temp2RegisteredOopX));
    if (name == 0) {
      registerSysOop(nilOop(), uint32_t(temp2RegisteredOopX));
      return failPrimitive(primErrorAt(primErrNoSpace), 0);
    }
    storeSlot(array, 2 * k, name, SOURCE_NAME, __LINE__);
    bodyOf(headerOf(array))[2 * k + 1] = smallIntegerFor(c.value);
  }
  oop array = sysOop(uint32_t(temp2RegisteredOopX));
  registerSysOop(nilOop(), uint32_t(temp2RegisteredOopX));
  return array;
}

// ---- Primitive 1004: the stack dump ----------------------------------------------------------

static oop primDumpStacks(oop receiver, oop heading) {
  if (heading != nilOop() && (!isHeapObject(heading) || hasPtrs(headerOf(heading))))
    return failPrimitive(primErrorAt(primErrGeneral), 1);
  dumpAllToFileWithString(heading);
  return receiver;
}

// ---- Primitive 1002: the profiler ---------------------------------------------------------------

static bool isFixedByteBufferOf(oop buffer, uint64_t bytes) {
  if (!isHeapObject(buffer) || buffer == 0) return false;
  const ObjectHeader* h = headerOf(buffer);
  return !hasPtrs(h) && sizeFieldOf(h) == sizeFieldFixed && byteSizeOf(h) == bytes;
}

static void publishProfileSymbols() {
  profileSymbolCount = 0;
  auto add = [](uint64_t address, const char* name) {
    CodeSymbol& s = profileSymbols[profileSymbolCount++];
    s.address = address;
    snprintf(s.name, sizeof s.name, "%s", name);
  };
  add(nmZone.bottom, ".NZone");
  add(nmZone.free, ".NMethodEnd");
  add(maxNZonePC + 1, ".NZoneEnd");
  for (int i = 0; i < nzoneRTSymbolCount && profileSymbolCount < profileSymbolCapacity; i++)
    add(nzoneRTSymbolTable[i].address, nzoneRTSymbolTable[i].name);
}

static oop primProfile(oop receiver, oop on, oop engineBuffer, oop nzoneBuffer) {
  collectingProfileData = 0;
  if (on != trueOop() && on != falseOop()) return failPrimitive(primErrorAt(primErrBadArgument), 3);
  bool stop = engineBuffer == nilOop() && nzoneBuffer == nilOop();
  if (!stop && (!isFixedByteBufferOf(engineBuffer, profile_text_hipc - profile_text_lopc) ||
                !isFixedByteBufferOf(nzoneBuffer, profile_nzone_hipc - profile_nzone_lopc)))
    return failPrimitive(primErrorAt(primErrBadArgument), 3);
  if (stop && on == trueOop()) return failPrimitive(primErrorAt(primErrWrongClass), 3);
  if (profileEngineBufferX < 0) profileEngineBufferX = allocSysOopSlot();
  if (profileNZoneBufferX < 0) profileNZoneBufferX = allocSysOopSlot();
  if (profileEngineBufferX < 0 || profileNZoneBufferX < 0) return failPrimitive(primErrorAt(primErrNoSpace), 3);
  if (on == falseOop()) {
    pdStopProfileTimer(0);
    engineData = nzoneData = nullptr;
    registerSysOop(nilOop(), uint32_t(profileEngineBufferX));
    registerSysOop(nilOop(), uint32_t(profileNZoneBufferX));
    return receiver;
  }
  engineData = reinterpret_cast<uint64_t*>(bodyOf(headerOf(engineBuffer)));
  nzoneData = reinterpret_cast<uint64_t*>(bodyOf(headerOf(nzoneBuffer)));
  registerSysOop(engineBuffer, uint32_t(profileEngineBufferX));
  registerSysOop(nzoneBuffer, uint32_t(profileNZoneBufferX));
  publishProfileSymbols();
  profileOutsideSamples = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // the buffers are in place before a sample sees the flag
  collectingProfileData = 1;
  pdStartProfileTimer();
  return receiver;
}

// ---- Primitive 1005: the listing of a method's native code --------------------------------------

// A plain translation and one with the per-bytecode table (both unfiled, freed afterwards);
// a zone without room is compacted once.
static bool translateForListing(oop method, uint64_t* plain, uint64_t* withTable, uint64_t** table) {
  for (int attempt = 0; attempt < 2; attempt++) {
    *plain = nmTranslate(method, 0, nullptr);
    *withTable = *plain >= lookupResultLimit ? nmTranslate(method, 0, table) : 0;
    if (*plain >= lookupResultLimit && *withTable >= lookupResultLimit) return true;
    if (*plain >= lookupResultLimit) nMethodDealloc(reinterpret_cast<NMethodHeader*>(*plain));
    if (attempt == 0) compactNMethods();
  }
  return false;
}

// The file's bytes read straight into a new platform string; 9 in *failure when the file cannot
// be read whole, 1 when the string cannot be made.
static oop readListing(FILE* f, uint32_t* failure) {
  long size = (fseek(f, 0, SEEK_END) == 0) ? ftell(f) : -1;
  if (size < 0 || fseek(f, 0, SEEK_SET) != 0) {
    *failure = primErrPlatform;
    return 0;
  }
  oop stringClass = classAt(platformStringClassX);
  ObjectHeader* h = nmListingAllocHook != nullptr ? nmListingAllocHook(stringClass, uint64_t(size))
                                                  : allocVSObj(stringClass, uint64_t(size));
  if (h == nullptr) {
    *failure = primErrNoSpace;
    return 0;
  }
  if (fread(bodyOf(h), 1, size_t(size), f) != size_t(size)) {
    *failure = primErrPlatform;
    return 0;
  }
  return oopOf(h);
}

static oop primListMethod(oop, oop method) {
  uint64_t plain = 0, withTable = 0, *table = nullptr;
  if (!translateForListing(method, &plain, &withTable, &table)) return failPrimitive(primErrorAt(primErrEngine), 1);
  bool temporary = true;
  FILE* f = tmpfile();
  if (f == nullptr) {
    temporary = false;
    f = fopen(adjustOEReportFileName("nmdc.txt"), "wb+");
  }
  uint32_t failure = primErrPlatform;
  oop string = 0;
  if (f != nullptr) {
    printEntireNMethod(withTable, table, f, 0, 0);
    fflush(f);
    string = readListing(f, &failure);
    fclose(f);
    if (!temporary) remove(adjustOEReportFileName("nmdc.txt"));
  }
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(withTable));
  nMethodDealloc(reinterpret_cast<NMethodHeader*>(plain));
  return string != 0 ? string : failPrimitive(primErrorAt(failure), 1);
}

void initNMethodPrims() {
  addCPrimitive(89, reinterpret_cast<const void*>(primFlushLookupCaches), 0);
  addCPrimitive(522, reinterpret_cast<const void*>(primFlushSelector), 1);
  addCPrimitive(526, reinterpret_cast<const void*>(primDiscardMethodCode), 0);
  addCPrimitive(537, reinterpret_cast<const void*>(primFullInlining), 1);
  addCPrimitive(1001, reinterpret_cast<const void*>(primProfileRanges), 0);
  addCPrimitive(1002, reinterpret_cast<const void*>(primProfile), 3);
  addCPrimitive(1003, reinterpret_cast<const void*>(primLayoutConstants), 0);
  addCPrimitive(1004, reinterpret_cast<const void*>(primDumpStacks), 1);
  addCPrimitive(1005, reinterpret_cast<const void*>(primListMethod), 1);
  addCPrimitive(1009, reinterpret_cast<const void*>(primTranslationOptions), 1);
}
