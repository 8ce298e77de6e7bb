// The Windows x64 call-out against calltest.dll, run under Wine: which registers and stack
// words each argument reaches (ct_record keeps them), structs by value and by reference,
// struct results in rax and through the hidden buffer, float and double results, the result
// kinds that carry errors, a caught exception, refused arguments.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "ext/platform.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCallC.h"
#include "platpc/ntMain.h"
#include "platpc/ntThunk.h"
#include "prim/prMessage.h"
#include "prim/prCall.h"
#include "prim/prCKind.h"
#include "prim/prDouble.h"
#include "support/cKernel.h"

namespace {

struct Seen {
  uint64_t ints[4], xmm[4], stack[8], entryRsp;
};

oop k(int64_t v) { return smallIntegerFor(v); }
uint64_t bitsOf(double d) { return doubleBits(d); }
uint32_t bitsOf(float f) {
  uint32_t b;
  memcpy(&b, &f, 4);
  return b;
}

class Win_CallOut : public ::testing::Test {
 protected:
  HMODULE lib = nullptr;
  Seen* seen = nullptr;

  void SetUp() override {
    newCTestHeap();
    catchExternalCallErrors = 1;
    lib = LoadLibraryA("calltest.dll");
    ASSERT_NE(lib, nullptr);
    seen = reinterpret_cast<Seen*>(GetProcAddress(lib, "ct_seen"));
    ASSERT_NE(seen, nullptr);
  }
  void TearDown() override {
    calloutResult = 0;
    catchExternalCallErrors = 1;
  }
  void* fn(const char* name) {
    void* f = reinterpret_cast<void*>(GetProcAddress(lib, name));
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  // pdCallC of the function with the arguments in order.
  static oop call(void* function, const std::vector<uint8_t>& kinds, const std::vector<oop>& args,
                  CallErrorRecord* record, uint64_t resultBytes = 0) {
    std::vector<uint64_t> base(args.size() + 1);
    for (size_t i = 0; i < args.size(); i++) base[args.size() - i] = args[i];
    *record = {0, 0, 0};
    return pdCallC(0, cUnsignedToOop(uint64_t(uintptr_t(function))), kinds.data(), args.size(), 0, base.data(),
                   nilOop(), 0, resultBytes, record);
  }
};

// Positions 0-3 reach both their integer and their SSE register; further ones the stack
// words above the shadow area; the stack is 16-byte aligned at the call.
TEST_F(Win_CallOut, ArgumentsReachRegistersAndStackWords) {
  CallErrorRecord record;
  void* f = fn("ct_record");
  // f(double, int, float): xmm0 1.5, rdx 2, xmm2 3.0f, and the same words in rcx, xmm1, r8
  oop r = call(f, {ckUnsignedLongLong, ckDouble, ckSignedInt, ckFloat}, {newDoubleBox(1.5), k(2), newFloatBox(3.0f)}, &record);
  ASSERT_NE(r, oop(0));
  uint64_t value;
  ASSERT_TRUE(oopToQ64(r, &value));
  EXPECT_EQ(value, 0x0123456789ABCDEFull);
  EXPECT_EQ(seen->xmm[0], bitsOf(1.5));
  EXPECT_EQ(seen->ints[0], bitsOf(1.5));
  EXPECT_EQ(seen->ints[1], 2u);
  EXPECT_EQ(seen->xmm[1], 2u);
  EXPECT_EQ(uint32_t(seen->xmm[2]), bitsOf(3.0f));
  EXPECT_EQ(seen->ints[2], uint64_t(bitsOf(3.0f)));  // the float's word, its high half zero
  EXPECT_EQ(seen->entryRsp % 16, 8u);

  const struct { int count; } rows[] = {{4}, {5}, {9}, {12}};
  for (const auto& row : rows) {
    std::vector<uint8_t> kinds = {ckDouble};
    std::vector<oop> args;
    for (int i = 0; i < row.count; i++) kinds.push_back(ckLongLong), args.push_back(k(100 + i));
    memset(seen, 0, sizeof *seen);
    oop d = call(f, kinds, args, &record);
    double got;
    ASSERT_TRUE(castOopToFiniteDouble(d, &got)) << row.count;
    EXPECT_EQ(got, 2.5);
    for (int i = 0; i < row.count; i++) {
      uint64_t word = i < 4 ? seen->ints[i] : seen->stack[i - 4];
      EXPECT_EQ(word, uint64_t(100 + i)) << row.count << " arguments, position " << i;
      if (i < 4) {
        EXPECT_EQ(seen->xmm[i], uint64_t(100 + i));
      }
    }
    EXPECT_EQ(seen->entryRsp % 16, 8u) << row.count;
  }
}

// Structs of 1, 2, 4 or 8 bytes travel as their bytes; others as the address of a copy,
// which the callee may change without the composite seeing it.
TEST_F(Win_CallOut, StructsByValueOrByCopy) {
  CallErrorRecord record;
  oop d4 = newDescriptor({{0, ckSignedInt}});
  oop d8 = newDescriptor({{0, ckSignedInt}, {4, ckSignedInt}});
  oop d12 = newDescriptor({{0, ckSignedInt}, {4, ckSignedInt}, {8, ckSignedInt}});
  oop d24 = newDescriptor({{0, ckLongLong}, {8, ckLongLong}, {16, ckLongLong}});
  const int32_t v4[1] = {7}, v8[2] = {3, 4}, v12[3] = {1, 2, 3};
  const int64_t v24[3] = {5, 6, 7};
  oop s4 = newComposite(d4, 4, v4), s8 = newComposite(d8, 8, v8), s12 = newComposite(d12, 12, v12),
      s24 = newComposite(d24, 24, v24);

  call(fn("ct_record"), {ckVoid, ckStruct, ckStruct, ckStruct, ckStruct}, {s4, s8, s12, s24}, &record);
  EXPECT_EQ(seen->ints[0], 7u);
  EXPECT_EQ(seen->ints[1], 3u | (uint64_t(4) << 32));
  const void* body12 = bodyOf(headerOf(slotOf(s12, 0)));
  ASSERT_NE(seen->ints[2], uint64_t(uintptr_t(body12)));  // a copy, not the composite's bytes
  EXPECT_EQ(memcmp(reinterpret_cast<const void*>(seen->ints[2]), v12, 12), 0);
  EXPECT_EQ(memcmp(reinterpret_cast<const void*>(seen->ints[3]), v24, 24), 0);

  const struct { const char* name; std::vector<uint8_t> kinds; std::vector<oop> args; oop composite; int64_t sum; } rows[] = {
      {"ct_s4", {ckLongLong, ckStruct}, {s4}, s4, 7},
      {"ct_s8", {ckLongLong, ckStruct}, {s8}, s8, 3004},
      {"ct_s12", {ckLongLong, ckStruct}, {s12}, s12, 1002003},
      {"ct_s24", {ckLongLong, ckSignedInt, ckStruct}, {k(9), s24}, s24, 9 + 5 + 60 + 700},
  };
  for (const auto& row : rows) {
    std::vector<uint8_t> before(byteSizeOf(headerOf(slotOf(row.composite, 0))));
    memcpy(before.data(), bodyOf(headerOf(slotOf(row.composite, 0))), before.size());
    oop r = call(fn(row.name), row.kinds, row.args, &record);
    EXPECT_EQ(r, k(row.sum)) << row.name;
    EXPECT_EQ(memcmp(before.data(), bodyOf(headerOf(slotOf(row.composite, 0))), before.size()), 0) << row.name;
  }
}

// With an implicit first argument (a COM interface) each argument's copy is sized by its own
// kind: a 64-byte struct after it goes by a whole copy.
TEST_F(Win_CallOut, StructCopyAfterAnImplicitFirstArgument) {
  const int64_t v[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  oop s64 = newComposite(newDescriptor({{0, ckLongLong}}), 64, v);
  std::vector<uint64_t> base = {0, s64};
  const uint8_t kinds[] = {ckLongLong, ckPointer13, ckStruct};
  CallErrorRecord record = {0, 0, 0};
  oop r = winCallC(0, 1000, uint64_t(uintptr_t(fn("ct_s64"))), kinds, 1, 0, base.data(), 0, &record);
  EXPECT_EQ(int64_t(record.code), 0);
  EXPECT_EQ(r, k(1000 + 255));
}

// An 8-byte struct comes back in rax, a 16-byte one through the hidden buffer passed first.
TEST_F(Win_CallOut, StructResultsInRaxOrTheHiddenBuffer) {
  CallErrorRecord record;
  calloutResult = newComposite(newDescriptor({{0, ckSignedInt}, {4, ckSignedInt}}), 8);
  oop r = call(fn("ct_make8"), {ckStruct, ckSignedInt, ckSignedInt}, {k(-5), k(6)}, &record, 8);
  ASSERT_EQ(r, calloutResult);
  const int32_t want8[2] = {-5, 6};
  EXPECT_EQ(memcmp(bodyOf(headerOf(slotOf(r, 0))), want8, 8), 0);

  calloutResult = newComposite(newDescriptor({{0, ckLongLong}, {8, ckLongLong}}), 16);
  r = call(fn("ct_make16"), {ckStruct, ckLongLong, ckLongLong}, {k(int64_t(1) << 40), k(-2)}, &record, 16);
  ASSERT_EQ(r, calloutResult);
  const int64_t want16[2] = {int64_t(1) << 40, -2};
  EXPECT_EQ(memcmp(bodyOf(headerOf(slotOf(r, 0))), want16, 16), 0);

  calloutResult = 0;
  oop f = call(fn("ct_half"), {ckFloat, ckFloat}, {newFloatBox(3.0f)}, &record);
  ASSERT_TRUE(isFloatObject(f));
  EXPECT_EQ(floatValueOf(f), 1.5f);
  double d;
  ASSERT_TRUE(castOopToFiniteDouble(call(fn("ct_scale"), {ckDouble, ckDouble, ckSignedInt}, {smallDoubleFor(1.25), k(4)}, &record), &d));
  EXPECT_EQ(d, 5.0);
}

// Kinds 31, 32 and 33 turn a failing result into the call's failure with its error.
TEST_F(Win_CallOut, ErrorCarryingResults) {
  const struct {
    const char* name;
    uint8_t kind;
    oop arg;
    oop answer;  // 0: fails
    int64_t code, value;
  } rows[] = {
      {"ct_last_error", ckPlatform33, k(5), 0, -77, 5},
      {"ct_errno", ckErrnoResult, k(34), 0, -77, -34},
      {"ct_errno", ckPlatform31, k(34), 0, -149, -1},
      {"ct_int", ckPlatform31, k(-7), 0, -149, -7},
      {"ct_int", ckPlatform31, k(7), k(7), 0, 0},
      {"ct_int", ckErrnoResult, k(8), k(8), 0, 0},
  };
  for (const auto& row : rows) {
    CallErrorRecord record;
    oop r = call(fn(row.name), {row.kind, ckSignedInt}, {row.arg}, &record);
    EXPECT_EQ(r, row.answer) << row.name << " kind " << int(row.kind);
    if (row.answer != 0) continue;
    EXPECT_EQ(int64_t(record.code), row.code) << row.name;
    EXPECT_EQ(int64_t(record.value1), row.value) << row.name;
  }
}

// With catching on, a call of address 0 fails with the access violation and its address.
TEST_F(Win_CallOut, ExceptionInsideTheCallIsCaught) {
  CallErrorRecord record = {0, 0, 0};
  const uint8_t kinds[] = {ckSignedInt};
  EXPECT_EQ(pdCallC(0, k(0), kinds, 0, 0, nullptr, nilOop(), 0, 0, &record), oop(0));
  EXPECT_EQ(int64_t(record.code), callErrorFault);
  EXPECT_EQ(record.value1, uint64_t(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(record.value2, 0u);
  // the engine goes on: the next call works
  CallErrorRecord next;
  EXPECT_EQ(call(fn("ct_int"), {ckSignedInt, ckSignedInt}, {k(3)}, &next), k(3));
}

// The process's own filter (the engine's, which writes the event log) sees the exception;
// the process then ends with the code's low byte.
LONG WINAPI endingFilter(EXCEPTION_POINTERS* exception) {
  oeMainExceptionFilter(exception);
  ExitProcess(exception->ExceptionRecord->ExceptionCode & 0xFF);
}

void callAddressZeroUncaught() {
  SetUnhandledExceptionFilter(endingFilter);
  catchExternalCallErrors = 0;
  CallErrorRecord record = {0, 0, 0};
  const uint8_t kinds[] = {ckSignedInt};
  pdCallC(0, k(0), kinds, 0, 0, nullptr, nilOop(), 0, 0, &record);
}

// With catching off the exception takes the process's own way: the process ends.
TEST_F(Win_CallOut, ExceptionWithCatchingOffEndsTheProcess) {
  EXPECT_EXIT(callAddressZeroUncaught(), ::testing::ExitedWithCode(EXCEPTION_ACCESS_VIOLATION & 0xFF), "");
}

// Refused arguments make no call: the record names the position.
TEST_F(Win_CallOut, RefusedArgumentsMakeNoCall) {
  const struct {
    std::vector<uint8_t> kinds;
    std::vector<oop> args;
    int64_t code;
    uint64_t position;
  } rows[] = {
      {{ckSignedInt, ckSignedInt, ckDouble, ckSignedInt}, {k(1), trueOop(), k(3)}, 0, 2},
      {{ckSignedInt, ckSignedInt, ckSignedInt, ckBool1}, {k(1), k(2), k(3)}, 0, 3},
      {{ckSignedInt, ckStruct}, {k(1)}, 0, 1},
      {{ckSignedInt, ckReservedPointer}, {k(1)}, 0, 1},
      {{ckReservedPointer, ckSignedInt}, {k(1)}, -101, 0},
  };
  for (const auto& row : rows) {
    memset(seen, 0, sizeof *seen);
    CallErrorRecord record;
    EXPECT_EQ(call(fn("ct_record"), row.kinds, row.args, &record), oop(0));
    EXPECT_EQ(int64_t(record.code), row.code);
    EXPECT_EQ(record.value1, row.position);
    EXPECT_EQ(seen->entryRsp, 0u);  // not called
  }
  CallErrorRecord record;
  const uint8_t kinds[] = {ckSignedInt};
  EXPECT_EQ(pdCallC(callFlagThreaded, cUnsignedToOop(1), kinds, 0, 0, nullptr, nilOop(), 0, 0, &record), oop(0));
  EXPECT_EQ(int64_t(record.code), -101);  // threaded calls are not yet this build's
}

// A C function pointer handed to C and called there.
TEST_F(Win_CallOut, FunctionPointerArgument) {
  CallErrorRecord record;
  auto subtract = +[](int64_t a, int64_t b) -> int64_t { return a - b; };
  oop r = call(fn("ct_apply"), {ckLongLong, ckPointer12, ckLongLong, ckLongLong},
               {cUnsignedToOop(uint64_t(uintptr_t(subtract))), k(50), k(8)}, &record);
  EXPECT_EQ(r, k(42));
}

// ---- Callbacks -----------------------------------------------------------------------------

// The callback's send replaced: it keeps the argument object's bytes and answers what the
// test asks for, computed from them.
std::vector<uint8_t> callbackBytes;
oop (*callbackAnswer)(const std::vector<uint8_t>& bytes);
int callbackCount;

oop recordingSend(oop, oop, oop, oop args, oop*, oop) {
  callbackCount++;
  callbackBytes.clear();
  if (args != nilOop()) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(args)));
    callbackBytes.assign(b, b + byteSizeOf(headerOf(args)));
  }
  return callbackAnswer(callbackBytes);
}

template <typename T>
T at(const std::vector<uint8_t>& bytes, size_t offset) {
  T v;
  memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

class Win_Callbacks : public Win_CallOut {
 protected:
  void SetUp() override {
    Win_CallOut::SetUp();
    callbackClassX = allocSysOopSlot();
    callbackSelectorX = allocSysOopSlot();
    winThunkSendHook = recordingSend;
    callbackCount = 0;
  }
  void TearDown() override {
    winThunkSendHook = UPSendMessage2;
    callbackClassX = callbackSelectorX = -1;
    Win_CallOut::TearDown();
  }
  // A thunk for the (kind, size) entries, the result first.
  static void* thunk(const std::vector<std::pair<int, int>>& entries) {
    std::vector<uint64_t> types, sizes, kinds;
    for (auto e : entries) types.push_back(nilOop()), kinds.push_back(k(e.first)), sizes.push_back(k(e.second));
    void* t = pdThunkCreate(0, entries.size() - 1, types.data(), sizes.data(), kinds.data());
    EXPECT_GT(uintptr_t(t), 1u);
    return t;
  }
};

// (double, int, float, int, double): the floating bits name positions 0 and 2; the fifth
// argument comes from the first stack word; the answer goes back in xmm0.
TEST_F(Win_Callbacks, MixedArgumentsReachTheArgumentObject) {
  void* t = thunk({{ckDouble, 8}, {ckDouble, 8}, {ckSignedInt, 4}, {ckFloat, 4}, {ckSignedInt, 4}, {ckDouble, 8}});
  const uint8_t* bytes = static_cast<const uint8_t*>(t);
  EXPECT_EQ(bytes[winThunkFloatBits], 0b0101);
  EXPECT_EQ(bytes[winThunkArgc], 5);
  EXPECT_EQ(winThunkSizeOf(bytes, 0), 8u);
  callbackAnswer = [](const std::vector<uint8_t>& b) {
    return smallDoubleFor(at<double>(b, 0) + at<int32_t>(b, 8) + at<float>(b, 12) + at<int32_t>(b, 16) + at<double>(b, 20));
  };
  auto f = reinterpret_cast<double (*)(double, int, float, int, double)>(t);
  EXPECT_EQ(f(1.5, 20, 0.25f, 300, 4000.125), 1.5 + 20 + 0.25 + 300 + 4000.125);
  ASSERT_EQ(callbackBytes.size(), 28u);
  EXPECT_EQ(at<double>(callbackBytes, 20), 4000.125);
  EXPECT_EQ(pdThunkDestroy(t, 0), 1);
  EXPECT_EQ(pdThunkDestroy(t, 0), 0);  // no longer a thunk
}

// A 12-byte struct arrives as the address of the caller's copy, an 8-byte one in its word;
// with the callback unset C gets -1.
TEST_F(Win_Callbacks, StructArgumentsAndNoCallbackClass) {
  struct S12 { int32_t a, b, c; };
  struct S8 { int32_t a, b; };
  void* t = thunk({{ckLongLong, 8}, {ckStruct, 12}, {ckStruct, 8}});
  EXPECT_EQ(winThunkKindOf(static_cast<const uint8_t*>(t), 2), ckStructInRegisters);
  callbackAnswer = [](const std::vector<uint8_t>&) { return k(77); };
  auto f = reinterpret_cast<int64_t (*)(S12, S8)>(t);
  EXPECT_EQ(f(S12{1, 2, 3}, S8{4, 5}), 77);
  const int32_t want[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(callbackBytes.size(), 20u);
  EXPECT_EQ(memcmp(callbackBytes.data(), want, 20), 0);
  callbackClassX = -1;
  EXPECT_EQ(f(S12{1, 2, 3}, S8{4, 5}), -1);
  pdThunkDestroy(t, 0);
}

// A thunk handed to C through the call-out, and to msvcrt's qsort: 1000 random integers come
// out as std::sort orders them.
TEST_F(Win_Callbacks, ThunksCalledFromC) {
  void* subtract = thunk({{ckLongLong, 8}, {ckLongLong, 8}, {ckLongLong, 8}});
  callbackAnswer = [](const std::vector<uint8_t>& b) { return k(at<int64_t>(b, 0) - at<int64_t>(b, 8)); };
  CallErrorRecord record;
  EXPECT_EQ(call(fn("ct_apply"), {ckLongLong, ckPointer12, ckLongLong, ckLongLong},
                 {cUnsignedToOop(uint64_t(uintptr_t(subtract))), k(50), k(8)}, &record),
            k(42));

  void* compare = thunk({{ckSignedInt, 4}, {ckPointer13, 8}, {ckPointer13, 8}});
  callbackAnswer = [](const std::vector<uint8_t>& b) {
    int32_t x = *reinterpret_cast<const int32_t*>(at<uint64_t>(b, 0)), y = *reinterpret_cast<const int32_t*>(at<uint64_t>(b, 8));
    return k(x < y ? -1 : x > y ? 1 : 0);
  };
  std::vector<int32_t> values(1000);
  std::mt19937 random(37);
  for (int32_t& v : values) v = int32_t(random());
  std::vector<int32_t> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  HMODULE msvcrt = LoadLibraryA("msvcrt.dll");
  auto qsortC = reinterpret_cast<void (*)(void*, size_t, size_t, int (*)(const void*, const void*))>(
      reinterpret_cast<void*>(GetProcAddress(msvcrt, "qsort")));
  ASSERT_NE(qsortC, nullptr);
  qsortC(values.data(), values.size(), sizeof(int32_t), reinterpret_cast<int (*)(const void*, const void*)>(compare));
  EXPECT_EQ(values, sorted);
  EXPECT_GT(callbackCount, 1000);
  pdThunkDestroy(subtract, 0);
  pdThunkDestroy(compare, 0);
}

// A thunk as EnumWindows' callback counts the windows a C callback counts; from another
// thread, with the threaded-call layer not set up, the thunk answers -1 without sending.
TEST_F(Win_Callbacks, SystemCallbacksAndOtherThreads) {
  void* t = thunk({{ckSignedInt, 4}, {ckPointer13, 8}, {ckLongLong, 8}});
  callbackAnswer = [](const std::vector<uint8_t>&) { return k(1); };
  ASSERT_TRUE(EnumWindows(reinterpret_cast<WNDENUMPROC>(t), 0));
  int viaThunk = callbackCount, viaC = 0;
  EnumWindows([](HWND, LPARAM counter) -> BOOL { return ++*reinterpret_cast<int*>(counter), TRUE; }, LPARAM(&viaC));
  EXPECT_EQ(viaThunk, viaC);

  callbackCount = 0;
  struct Call { void* thunk; int64_t answer; } c = {t, 0};
  HANDLE thread = CreateThread(nullptr, 0, [](void* p) -> DWORD {
    Call* call = static_cast<Call*>(p);
    call->answer = reinterpret_cast<int32_t (*)(void*, int64_t)>(call->thunk)(nullptr, 0);
    return 0;
  }, &c, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_EQ(c.answer, -1);
  EXPECT_EQ(callbackCount, 0);
  pdThunkDestroy(t, 0);
}

// The newest block goes back to the tail; an older one is only marked and is the next to be
// handed out; a request larger than any arena once the size is fixed gets nothing.
TEST(Win_CodeArena, TailAndFreedBlocks) {
  void* a = codeArenaAlloc(40);
  void* b = codeArenaAlloc(40);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  uint64_t tail = codeArenaTail(b);
  codeArenaFree(b);
  EXPECT_EQ(codeArenaTail(a), tail - 48);
  void* c = codeArenaAlloc(40);
  EXPECT_EQ(c, b);
  codeArenaFree(a);  // an older block: marked, the tail stays
  EXPECT_EQ(codeArenaTail(c), tail);
  EXPECT_EQ(codeArenaAlloc(33), a);
  EXPECT_EQ(codeArenaAlloc(131001), nullptr);
  codeArenaFree(a);
  codeArenaFree(c);
}

}  // namespace
