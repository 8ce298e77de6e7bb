// Unix layer: callback thunks: the executable arena they are carved from, their making, the
// packing of a callback's C arguments and the conversion of the image's answer.
// Owns the thunk arena and thunkSendHook. Prefix: pd, none.
#include "plat/unxThunk.h"

#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "prim/prMessage.h"
#include "prim/prThreads.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "plat/unx86_64CallC.h"
#include "prim/prCKind.h"
#include "mman/mmCValue.h"
#include "prim/prDouble.h"
#include "tran/nmalloc.h"

oop (*thunkSendHook)(oop, oop, oop, oop, oop*, oop) = UPSendMessage2;

// ---- The executable arena ------------------------------------------------------------------

// Thunks live in executable pages (the C heap's do not execute): 64 KB arenas of 16-byte
// granules, each granule free, the first of a thunk or one of its following ones.
enum : uint32_t { arenaBytes = 64 * 1024, granuleBytes = 16, arenaGranules = arenaBytes / granuleBytes };
enum GranuleUse : uint8_t { granuleFree, granuleFirst, granuleFollowing };
struct ThunkArena {
  uint8_t* base;                  // arenaBytes of read, write and execute memory
  uint8_t use[arenaGranules];     // GranuleUse of each granule
  ThunkArena* next;
};
static ThunkArena* arenas;

static ThunkArena* newArena() {
  void* pages = mmap(nullptr, arenaBytes, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
  ThunkArena* a = static_cast<ThunkArena*>(calloc(1, sizeof(ThunkArena)));
  if (a == nullptr) {
    munmap(pages, arenaBytes);
    return nullptr;
  }
  a->base = static_cast<uint8_t*>(pages);
  a->next = arenas;
  arenas = a;
  return a;
}

// First fit of n granules in an arena; 0 when none.
static uint8_t* carve(ThunkArena* a, uint32_t n) {
  for (uint32_t start = 0, run = 0; start + run < arenaGranules;) {
    if (a->use[start + run] != granuleFree) {
      start += run + 1, run = 0;
      continue;
    }
    if (++run < n) continue;
    a->use[start] = granuleFirst;
    for (uint32_t i = 1; i < n; i++) a->use[start + i] = granuleFollowing;
    return a->base + uint64_t(start) * granuleBytes;
  }
  return nullptr;
}

static uint8_t* allocThunk(uint32_t bytes) {
  uint32_t n = (bytes + granuleBytes - 1) / granuleBytes;
  for (ThunkArena* a = arenas; a != nullptr; a = a->next)
    if (uint8_t* p = carve(a, n)) return p;
  ThunkArena* a = newArena();
  return a != nullptr ? carve(a, n) : nullptr;
}

// Frees the thunk that starts at p: false when p starts no live thunk.
static bool freeThunk(const uint8_t* p) {
  for (ThunkArena* a = arenas; a != nullptr; a = a->next) {
    if (p < a->base || p >= a->base + arenaBytes) continue;
    uint64_t offset = uint64_t(p - a->base);
    if (offset % granuleBytes != 0 || a->use[offset / granuleBytes] != granuleFirst) return false;
    uint32_t g = uint32_t(offset / granuleBytes);
    a->use[g++] = granuleFree;
    while (g < arenaGranules && a->use[g] == granuleFollowing) a->use[g++] = granuleFree;
    return true;
  }
  return false;
}

// ---- Making thunks -----------------------------------------------------------------------------

static const uint8_t thunkTemplate[thunkCodeBytes] = {
    0x49, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0,        // movabs r11, <entry>
    0x4C, 0x8D, 0x15, 0xEF, 0xFF, 0xFF, 0xFF,  // lea r10, [rip - 0x11]: the thunk itself
    0x41, 0xFF, 0xE3,                          // jmp r11
};

// A struct entry's kind: 40 when it travels in registers. Struct arguments in registers are
// taken from the integer words, so one with an SSE eightbyte cannot be served (false).
static bool structKind(oop type, uint32_t size, bool isResult, uint8_t* kind, uint8_t* pattern) {
  uint64_t regs = size <= 16 ? shouldPassStructInRegisters(type) : 0;
  if (regs == 0) return true;
  if (!isResult && (regs >> 8) != 0) return false;
  *kind = ckStructInRegisters;
  if (isResult) *pattern = uint8_t(structReturnModel(type));
  return true;
}

void* pdThunkCreate(uint64_t, uint64_t argc, const uint64_t* structTypes, const uint64_t* sizes, const uint64_t* kinds) {
  for (uint64_t i = 0; i <= argc; i++)
    if (!isSmallInteger(sizes[i]) || !isSmallInteger(kinds[i]) || smallIntegerValue(sizes[i]) < 0 ||
        smallIntegerValue(kinds[i]) < 0 || smallIntegerValue(kinds[i]) > ckStructInRegisters)
      return reinterpret_cast<void*>(1);
  uint8_t* t = allocThunk(thunkBytes(uint32_t(argc)));
  if (t == nullptr) return nullptr;
  memset(t, 0, thunkBytes(uint32_t(argc)));
  memcpy(t, thunkTemplate, thunkCodeBytes);
  t[thunkArgc] = uint8_t(argc);
  uint32_t total = 0;
  for (uint32_t i = 0; i <= argc; i++) {
    uint32_t size = uint32_t(smallIntegerValue(sizes[i]));
    uint8_t kind = uint8_t(smallIntegerValue(kinds[i]));
    if (kind == ckStruct && !structKind(structTypes[i], size, i == 0, &kind, &t[thunkResultPattern])) {
      freeThunk(t);
      return reinterpret_cast<void*>(1);
    }
    memcpy(t + thunkSizes + 4 * i, &size, 4);
    t[40 + 4 * argc + i] = kind;
    if (i == 0) continue;
    total += size;
    if (t[thunkFloatCount] >= 8 || (kind != ckFloat && kind != ckDouble)) continue;
    if (kind == ckFloat) t[thunkSingles] |= uint8_t(1u << t[thunkFloatCount]);
    t[thunkFloatCount]++;
  }
  memcpy(t + thunkTotalBytes, &total, 4);
  uint64_t entry = uint64_t(uintptr_t(t[thunkFloatCount] != 0 ? thunkProcessHelperFP : thunkProcessHelper));
  memcpy(t + 2, &entry, 8);
  if (rtFlushICache != nullptr) rtFlushICache();
  return t;
}

int pdThunkDestroy(void* thunk, uint64_t) { return freeThunk(static_cast<const uint8_t*>(thunk)); }

// ---- A callback's arguments ------------------------------------------------------------------

// Where the saved C arguments are read from: integer words, then the stack arguments they
// continue in; SSE slots, then the same stack cursor.
struct ArgumentCursor {
  const uint64_t* ints;
  uint32_t nextInt;
  const uint64_t* stack;
  const uint8_t* sse;
  uint32_t nextSSE;
};

static uint64_t nextIntegerWord(ArgumentCursor& c) { return c.nextInt < 6 ? c.ints[c.nextInt++] : *c.stack++; }
static uint64_t nextFloatingWord(ArgumentCursor& c) {
  if (c.sse == nullptr || c.nextSSE >= 8) return *c.stack++;
  uint64_t w;
  memcpy(&w, c.sse + 16 * c.nextSSE++, 8);
  return w;
}

// The declared size each scalar kind must have (0: refused or not a scalar).
static uint32_t scalarSize(uint32_t kind) {
  static const uint8_t sizes[31] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 0, 8, 8, 8, 0, 8,
                                    8, 0, 0, 8, 8, 8, 8, 8, 8, 8, 1, 2, 4, 8, 8};
  return kind < 31 ? sizes[kind] : 0;
}

// Copies one argument into out; false when its kind cannot be taken at its declared size.
static bool takeArgument(ArgumentCursor& c, uint32_t kind, uint32_t size, uint8_t* out) {
  if (kind == ckStruct || kind == ckStructInRegisters) {
    uint32_t words = (size + 7) / 8;
    bool inRegisters = kind == ckStructInRegisters && c.nextInt + words <= 6;
    const uint64_t* from = inRegisters ? c.ints + c.nextInt : c.stack;
    if (size != 0) memcpy(out, from, size);
    if (inRegisters) c.nextInt += words;
    else c.stack += words;
    return true;
  }
  if (scalarSize(kind) == 0 || scalarSize(kind) != size) return false;
  uint64_t w = kind == ckFloat || kind == ckDouble ? nextFloatingWord(c) : nextIntegerWord(c);
  memcpy(out, &w, size);
  return true;
}

oop thunkArgumentObject(const uint8_t* thunk, const uint64_t* ints, const uint64_t* stackArgs, const uint8_t* sse) {
  uint32_t argc = thunk[thunkArgc], total;
  memcpy(&total, thunk + thunkTotalBytes, 4);
  oop holder = sysOop(sysCDataClass);
  if (!isHeapObject(holder) || holder == nilOop()) return nilOop();
  uint32_t holderClass = hashOf(headerOf(holder));
  ObjectHeader* h = allocInEdenInline(holderClass, 0, total, 0, 0);
  if (h == nullptr) h = allocSmallObj(holderClass, 0, total, 0, 0);
  if (h == nullptr) return 0;
  ArgumentCursor c = {ints, thunkKindOf(thunk, 0) == ckStruct ? 1u : 0u, stackArgs, sse, 0};
  uint8_t* out = reinterpret_cast<uint8_t*>(bodyOf(h));
  for (uint32_t i = 1; i <= argc; i++) {
    uint32_t size = thunkSizeOf(thunk, i);
    if (!takeArgument(c, thunkKindOf(thunk, i), size, out)) return nilOop();
    out += size;
  }
  return oopOf(h);
}

// ---- The callback ---------------------------------------------------------------------------

static double answerAsDouble(oop answer) {
  if (isSmallInteger(answer)) return double(smallIntegerValue(answer));
  if (isSmallDouble(answer)) return loadSmallDoubleFromOop(answer);
  if (isDoubleObject(answer)) return doubleValueOf(answer);
  if (isFloatObject(answer)) return floatValueOf(answer);
  return 0.0;
}

// The bytes of a composite's data object, or of a byte object itself; null for others.
static const uint8_t* answerBytes(oop answer, uint64_t* size) {
  if (isCComposite(answer) && bodyWordsOf(headerOf(answer)) != 0) answer = slotOf(answer, 0);
  if (!isHeapObject(answer) || answer == nilOop() || hasPtrs(headerOf(answer))) return nullptr;
  *size = byteSizeOf(headerOf(answer));
  return reinterpret_cast<const uint8_t*>(bodyOf(headerOf(answer)));
}

// The answer as the C return value of the thunk's result kind.
static void convertAnswer(const uint8_t* thunk, oop answer, const uint64_t* ints, ThunkResult* r) {
  uint32_t kind = thunkKindOf(thunk, 0), size = thunkSizeOf(thunk, 0);
  uint64_t n = 0, word = 0;
  if (kind == ckFloat) {
    float f = isFloatObject(answer) ? floatValueOf(answer) : float(answerAsDouble(answer));
    memcpy(r->xmm0, &f, 4);
  } else if (kind == ckDouble) {
    double d = answerAsDouble(answer);
    memcpy(r->xmm0, &d, 8);
  } else if (isCPointerKind(kind)) {
    if (!cAddressOf(answer, 0, &word)) word = 0;
    r->rax = word;
  } else if (kind == ckStruct) {
    const uint8_t* bytes = answerBytes(answer, &n);
    if (bytes != nullptr) memcpy(reinterpret_cast<void*>(ints[0]), bytes, n < size ? n : size);
    r->rax = ints[0];
  } else if (kind == ckStructInRegisters) {
    uint64_t words[2] = {0, 0};
    const uint8_t* bytes = answerBytes(answer, &n);
    if (bytes != nullptr) memcpy(words, bytes, n < 16 ? n : 16);
    uint32_t pattern = thunk[thunkResultPattern];
    uint64_t* first = (pattern & 16) ? r->xmm0 : &r->rax;
    uint64_t* second = pattern == 48 ? r->xmm1 : pattern == 33 ? r->xmm0 : pattern == 18 ? &r->rax : &r->rdx;
    *first = words[0];
    *second = words[1];
  } else if (isCBooleanKind(kind)) {
    r->rax = answer == trueOop();
  } else if (kind == ckVoid) {
    r->rax = answer;
  } else {
    r->rax = isSmallInteger(answer) ? uint64_t(smallIntegerValue(answer)) : stOopToCValue(&word, answer, 8) ? word : 0;
  }
}

// ---- Callbacks on other threads --------------------------------------------------------------

// What a callback on another thread leaves for the engine: the saved registers and stack.
struct CallbackFrame {
  const uint64_t* ints;
  const uint64_t* stackArgs;
  const uint8_t* sse;
};
static_assert(sizeof(ThunkResult) <= sizeof(CallbackRecord::result), "a callback record holds the C result");

static oop callbackArgsInto(TInfo* t) {
  const CallbackRecord* r = t->callbacks;
  const CallbackFrame* f = static_cast<const CallbackFrame*>(r->frame);
  return thunkArgumentObject(reinterpret_cast<const uint8_t*>(r->thunk), f->ints, f->stackArgs, f->sse);
}

static void reapCallbackReturn(TInfo* t, oop answer) {
  CallbackRecord* r = t->callbacks;
  const CallbackFrame* f = static_cast<const CallbackFrame*>(r->frame);
  ThunkResult* result = reinterpret_cast<ThunkResult*>(r->result);
  memset(result, 0, sizeof *result);
  convertAnswer(reinterpret_cast<const uint8_t*>(r->thunk), answer, f->ints, result);
}

[[maybe_unused]] static const bool callbackHooksInstalled =
    (threadCallbackArgsHook = callbackArgsInto, threadCallbackAnswerHook = reapCallbackReturn, true);

void thunkProcess(const uint8_t* thunk, const uint64_t* ints, const uint64_t* stackArgs, const uint8_t* sse,
                  ThunkResult* result) {
  memset(result, 0, sizeof *result);
  result->rax = ~uint64_t(0);
  if (!pdOnEngineThread()) {
    // The engine runs it when it can; this thread waits.
    CallbackFrame frame = {ints, stackArgs, sse};
    CallbackRecord record;
    record.frame = &frame;
    memcpy(record.result, result, sizeof *result);
    if (NBAPIInvokeCallback(uint64_t(uintptr_t(thunk)), &record)) memcpy(result, record.result, sizeof *result);
    return;
  }
  if (callbackClassX < 0 || callbackSelectorX < 0) return;
  oop address = cUnsignedToOop(uint64_t(uintptr_t(thunk)));
  oop args = address != 0 ? thunkArgumentObject(thunk, ints, stackArgs, sse) : 0;
  if (address == 0 || args == 0) address = args = nilOop();
  oop answer = thunkSendHook(sysOop(uint32_t(callbackClassX)), sysOop(uint32_t(callbackSelectorX)), address, args,
                             nullptr, 0);
  if (answer == 0) return;
  result->rax = 0;
  convertAnswer(thunk, answer, ints, result);
}
