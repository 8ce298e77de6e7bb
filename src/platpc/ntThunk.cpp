// Windows layer: callback thunks under the Windows x64 convention, and the code arenas they
// (and COM stubs) are carved from: executable regions holding blocks with 8-byte size
// headers, a free tail, freed blocks marked and reused first fit. The thunk's entry
// (thunkProcessHelper, ntCallOut.S) spills the register arguments into the caller's home
// slots; thunkProcess packs them, sends the callback and converts the answer; on another
// thread it hands the callback to the threaded-call layer and waits for the answer.
// Owns the arena chain and winThunkSendHook. Prefix: pd (pdThunkCreate, pdThunkDestroy);
// none (codeArenaAlloc, codeArenaFree, codeArenaRegister, thunkProcess).
#include <windows.h>

#include "platpc/ntThunk.h"

#include <cstring>

#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmSysOop.h"
#include "platpc/ntMain.h"
#include "prim/prCKind.h"
#include "prim/prDouble.h"
#include "prim/prMessage.h"
#include "prim/prThreads.h"
#include "tran/nmalloc.h"

oop (*winThunkSendHook)(oop, oop, oop, oop, oop*, oop) = UPSendMessage2;

// ---- Code arenas ---------------------------------------------------------------------------

// Block header: the 8 bytes before a block: its size in bytes with the header (a multiple
// of 8), bit 0 set while the block is free.
struct CodeArena {
  uint8_t* freeTail;    // first byte not yet carved
  uint8_t* end;
  uint8_t* lowestFree;  // no freed block lies below it
  uint64_t unit;        // 8
  CodeArena* next;
  uint64_t pad[3];      // blocks start 64 bytes in
};
static_assert(sizeof(CodeArena) == 64, "the arena header is 64 bytes");

static CodeArena* codeArenas;
static uint64_t codeArenaBytes;  // fixed at the first growth
enum : uint64_t { leastArenaBytes = 131072, largestArenaRequest = 131000 };

static uint64_t& headerWord(uint8_t* block) { return *reinterpret_cast<uint64_t*>(block - 8); }

static void initArena(CodeArena* a, uint64_t bytes) {
  uint8_t* base = reinterpret_cast<uint8_t*>(a);
  a->freeTail = base + sizeof(CodeArena);
  a->end = base + bytes;
  a->lowestFree = a->end;
  a->unit = 8;
  a->next = codeArenas;
  codeArenas = a;
  pdSetMemExecPerm(base, bytes);
}

static uint8_t* carve(CodeArena* a, uint64_t size) {
  for (uint8_t* h = a->lowestFree; h < a->freeTail;) {  // freed blocks, first fit
    uint64_t word = *reinterpret_cast<uint64_t*>(h), blockSize = word & ~uint64_t(1);
    if ((word & 1) && blockSize >= size) {
      *reinterpret_cast<uint64_t*>(h) = blockSize;
      return h + 8;
    }
    h += blockSize;
  }
  if (uint64_t(a->end - a->freeTail) < size) return nullptr;
  uint8_t* block = a->freeTail + 8;
  headerWord(block) = size;
  a->freeTail += size;
  return block;
}

void* codeArenaAlloc(uint64_t bytes) {
  uint64_t size = ((bytes + 7) & ~uint64_t(7)) + 8;
  for (CodeArena* a = codeArenas; a != nullptr; a = a->next)
    if (uint8_t* p = carve(a, size)) return p;
  if (codeArenaBytes == 0) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    uint64_t granularity = system.dwAllocationGranularity;
    codeArenaBytes = granularity > uint64_t(leastArenaBytes) ? granularity : uint64_t(leastArenaBytes);
  } else if (bytes > largestArenaRequest) {
    return nullptr;
  }
  if (size + sizeof(CodeArena) > codeArenaBytes) return nullptr;
  void* region = nullptr;
  uint64_t regionBytes = codeArenaBytes;
  if (!commitPages(&region, &regionBytes)) return nullptr;
  initArena(static_cast<CodeArena*>(region), regionBytes);
  return carve(codeArenas, size);
}

void codeArenaFree(void* block) {
  uint8_t* b = static_cast<uint8_t*>(block);
  for (CodeArena* a = codeArenas; a != nullptr; a = a->next) {
    uint8_t* base = reinterpret_cast<uint8_t*>(a);
    if (b < base + sizeof(CodeArena) + 8 || b >= a->freeTail) continue;
    uint64_t size = headerWord(b) & ~uint64_t(1);
    if (b - 8 + size == a->freeTail) {
      a->freeTail = b - 8;  // the newest block goes back to the tail
      return;
    }
    headerWord(b) = size | 1;
    if (b - 8 < a->lowestFree) a->lowestFree = b - 8;
    return;
  }
}

void codeArenaRegister(void* region, uint64_t bytes) { initArena(static_cast<CodeArena*>(region), bytes); }

uint64_t codeArenaTail(void* block) {
  for (CodeArena* a = codeArenas; a != nullptr; a = a->next)
    if (static_cast<uint8_t*>(block) > reinterpret_cast<uint8_t*>(a) && static_cast<uint8_t*>(block) < a->end)
      return uint64_t(a->freeTail - reinterpret_cast<uint8_t*>(a));
  return 0;
}

// ---- Making thunks -------------------------------------------------------------------------

static const uint8_t thunkTemplate[thunkCodeBytes] = {
    0x49, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0,        // movabs r11, <entry>
    0x4C, 0x8D, 0x15, 0xEF, 0xFF, 0xFF, 0xFF,  // lea r10, [rip - 0x11]: the thunk itself
    0x41, 0xFF, 0xE3,                          // jmp r11
};

// The thunks handed out: destroying anything else is refused.
static bool isLiveThunk(const uint8_t* t);

void* pdThunkCreate(uint64_t, uint64_t argc, const uint64_t* structTypes, const uint64_t* sizes, const uint64_t* kinds) {
  (void)structTypes;
  if (argc > 255) return reinterpret_cast<void*>(1);
  for (uint64_t i = 0; i <= argc; i++)
    if (!isSmallInteger(sizes[i]) || !isSmallInteger(kinds[i]) || smallIntegerValue(sizes[i]) < 0 ||
        smallIntegerValue(sizes[i]) > 0x7FFFFFFF || smallIntegerValue(kinds[i]) < 0 ||
        smallIntegerValue(kinds[i]) > ckStructInRegisters)
      return reinterpret_cast<void*>(1);
  uint32_t n = winThunkBytes(uint32_t(argc));
  uint8_t* t = static_cast<uint8_t*>(codeArenaAlloc(n));
  if (t == nullptr) return nullptr;
  memset(t, 0, n);
  memcpy(t, thunkTemplate, thunkCodeBytes);
  t[winThunkArgc] = uint8_t(argc);
  uint32_t total = 0;
  for (uint32_t i = 0; i <= argc; i++) {
    uint32_t size = uint32_t(smallIntegerValue(sizes[i]));
    uint8_t kind = uint8_t(smallIntegerValue(kinds[i]));
    if (kind == ckStruct && (size == 0 || (size <= 8 && (size & (size - 1)) == 0))) kind = ckStructInRegisters;
    memcpy(t + winThunkSizes + 4 * i, &size, 4);
    t[40 + 4 * argc + i] = kind;
    if (i == 0) continue;
    total += size;
    if (i <= 4 && (kind == ckFloat || kind == ckDouble)) t[winThunkFloatBits] |= uint8_t(1u << (i - 1));
  }
  memcpy(t + winThunkTotalBytes, &total, 4);
  uint64_t entry = uint64_t(uintptr_t(thunkProcessHelper));
  memcpy(t + 2, &entry, 8);
  if (rtFlushICache != nullptr) rtFlushICache();
  return t;
}

// A live thunk starts a carved block whose first bytes are the template's.
static bool isLiveThunk(const uint8_t* t) {
  for (CodeArena* a = codeArenas; a != nullptr; a = a->next) {
    const uint8_t* base = reinterpret_cast<const uint8_t*>(a);
    if (t < base + sizeof(CodeArena) + 8 || t >= a->freeTail) continue;
    for (const uint8_t* h = base + sizeof(CodeArena); h < a->freeTail;) {
      uint64_t word = *reinterpret_cast<const uint64_t*>(h);
      if (h + 8 == t) return !(word & 1) && memcmp(t, thunkTemplate, 2) == 0 && memcmp(t + 10, thunkTemplate + 10, 10) == 0;
      if ((word & ~uint64_t(1)) == 0) return false;
      h += word & ~uint64_t(1);
    }
  }
  return false;
}

int pdThunkDestroy(void* thunk, uint64_t) {
  if (!isLiveThunk(static_cast<const uint8_t*>(thunk))) return 0;
  memset(thunk, 0, thunkCodeBytes);
  codeArenaFree(thunk);
  return 1;
}

// ---- A callback's arguments ----------------------------------------------------------------

// The declared size each kind must have when taken from one word (0: refused).
static uint32_t wordKindSize(uint32_t kind) {
  static const uint8_t sizes[31] = {1, 1, 2, 2, 4, 4, 4, 4, 4, 8, 0, 0, 0, 8, 0, 8,
                                    8, 0, 0, 8, 0, 0, 8, 8, 8, 8, 1, 2, 4, 4, 8};
  return kind < 31 ? sizes[kind] : 0;
}

oop winThunkArgumentObject(const uint8_t* thunk, const uint64_t* words) {
  uint32_t argc = thunk[winThunkArgc], total;
  memcpy(&total, thunk + winThunkTotalBytes, 4);
  oop holder = sysOop(sysCDataClass);
  if (!isHeapObject(holder) || holder == nilOop()) return nilOop();
  ObjectHeader* h = allocVSObj(holder, total);
  if (h == nullptr) return 0;
  const uint64_t* w = words + (winThunkKindOf(thunk, 0) == ckStruct ? 1 : 0);
  uint8_t* out = reinterpret_cast<uint8_t*>(bodyOf(h));
  for (uint32_t i = 1; i <= argc; i++, w++) {
    uint32_t kind = winThunkKindOf(thunk, i), size = winThunkSizeOf(thunk, i);
    if (kind == ckStruct) {
      if (size != 0) memcpy(out, reinterpret_cast<const void*>(uintptr_t(*w)), size);
    } else if (kind == ckStructInRegisters) {
      if (size > 8) return nilOop();
      memcpy(out, w, size);
    } else {
      if (wordKindSize(kind) == 0 || wordKindSize(kind) != size) return nilOop();
      memcpy(out, w, size);
    }
    out += size;
  }
  return oopOf(h);
}

// ---- The callback --------------------------------------------------------------------------

static double answerAsDouble(oop answer) {
  if (isSmallInteger(answer)) return double(smallIntegerValue(answer));
  if (isSmallDouble(answer)) return loadSmallDoubleFromOop(answer);
  if (isDoubleObject(answer)) return doubleValueOf(answer);
  if (isFloatObject(answer)) return floatValueOf(answer);
  return 0.0;
}

static const uint8_t* answerBytes(oop answer, uint64_t* size) {
  if (isCComposite(answer) && bodyWordsOf(headerOf(answer)) != 0) answer = slotOf(answer, 0);
  if (!isHeapObject(answer) || answer == nilOop() || hasPtrs(headerOf(answer))) return nullptr;
  *size = byteSizeOf(headerOf(answer));
  return reinterpret_cast<const uint8_t*>(bodyOf(headerOf(answer)));
}

static void convertAnswer(const uint8_t* thunk, oop answer, const uint64_t* words, WinThunkResult* r) {
  uint32_t kind = winThunkKindOf(thunk, 0), size = winThunkSizeOf(thunk, 0);
  uint64_t n = 0, word = 0;
  if (kind == ckFloat) {
    float f = isFloatObject(answer) ? floatValueOf(answer) : float(answerAsDouble(answer));
    memcpy(&r->xmm0, &f, 4);
  } else if (kind == ckDouble) {
    double d = answerAsDouble(answer);
    memcpy(&r->xmm0, &d, 8);
  } else if (isCPointerKind(kind)) {
    r->rax = cAddressOf(answer, 0, &word) ? word : 0;
  } else if (kind == ckStruct) {
    const uint8_t* bytes = answerBytes(answer, &n);
    if (bytes != nullptr) memcpy(reinterpret_cast<void*>(uintptr_t(words[0])), bytes, n < size ? n : size);
    r->rax = words[0];
  } else if (kind == ckStructInRegisters) {
    const uint8_t* bytes = answerBytes(answer, &n);
    if (bytes != nullptr) memcpy(&r->rax, bytes, n < 8 ? n : 8);
  } else if (kind == ckVoid) {
    r->rax = 0;
  } else if (isCBooleanKind(kind)) {
    r->rax = answer == trueOop();
  } else {
    r->rax = isSmallInteger(answer) ? uint64_t(smallIntegerValue(answer)) : stOopToCValue(&word, answer, 8) ? word : 0;
  }
}

// ---- Callbacks on other threads --------------------------------------------------------------

// A callback on a thread other than the engine's leaves its argument words (home slots, then
// the caller's stack arguments) in the record; the engine packs them and converts the
// image's answer into the record's result words.
static_assert(sizeof(WinThunkResult) <= sizeof(CallbackRecord::result), "a callback record holds the C result");

static oop NBAPICallbackArgsInto(TInfo* t) {
  const CallbackRecord* r = t->callbacks;
  return winThunkArgumentObject(reinterpret_cast<const uint8_t*>(r->thunk), static_cast<const uint64_t*>(r->frame));
}

static void NBAPIReapCallbackReturn(TInfo* t, oop answer) {
  CallbackRecord* r = t->callbacks;
  WinThunkResult* result = reinterpret_cast<WinThunkResult*>(r->result);
  result->rax = 0;
  result->xmm0 = 0;
  convertAnswer(reinterpret_cast<const uint8_t*>(r->thunk), answer, static_cast<const uint64_t*>(r->frame), result);
}

[[maybe_unused]] static const bool callbackHooksInstalled =
    (threadCallbackArgsHook = NBAPICallbackArgsInto, threadCallbackAnswerHook = NBAPIReapCallbackReturn, true);

// On another thread the engine runs the callback when it can, through the threaded-call
// layer, while this thread waits; C gets -1 when no Process serves it.
extern "C" void thunkProcess(const uint8_t* thunk, const uint64_t* words, WinThunkResult* result) {
  result->rax = ~uint64_t(0);
  result->xmm0 = 0;
  if (!pdOnEngineThread()) {
    CallbackRecord record;
    record.frame = words;
    memcpy(record.result, result, sizeof *result);
    if (NBAPIInvokeCallback(uint64_t(uintptr_t(thunk)), &record)) memcpy(result, record.result, sizeof *result);
    return;
  }
  if (callbackClassX < 0 || callbackSelectorX < 0) return;
  oop address = cUnsignedToOop(uint64_t(uintptr_t(thunk)));
  oop args = address != 0 ? winThunkArgumentObject(thunk, words) : 0;
  if (address == 0 || args == 0) address = args = nilOop();
  oop answer = winThunkSendHook(sysOop(uint32_t(callbackClassX)), sysOop(uint32_t(callbackSelectorX)), address, args,
                                nullptr, 0);
  if (answer == 0) return;
  result->rax = 0;
  convertAnswer(thunk, answer, words, result);
}
