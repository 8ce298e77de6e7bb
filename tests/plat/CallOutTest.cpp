// The System V call-out against the real thing: each row a function of the test library
// called through pdCallC and directly from C with the same seeded values, their results,
// argument echoes and errno compared; the struct classifier against the convention's rules;
// the external-call primitives' bad input; dynamic loading.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <random>
#include <string>
#include <vector>

#include "prim/prCall.h"
#include "ext/exError.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prMessage.h"
#include "plat/unx86_64CallC.h"
#include "plat/unxThunk.h"
#include "calltest.h"
#include "plat/unxMain.h"
#include "prim/prCKind.h"
#include "mman/mmCValue.h"
#include "prim/prDouble.h"
#include "prim/prLinkRegistry.h"
#include "mman/mmPrimUtil.h"
#include "support/cKernel.h"
#include "support/ioKernel.h"
#include "support/primHarness.h"

namespace {

oop k(int64_t v) { return smallIntegerFor(v); }

class CallOut : public ::testing::Test {
 protected:
  void* lib = nullptr;
  std::mt19937_64 random{20240611};

  void SetUp() override {
    newCTestHeap();
    recordWakeThread();
    lib = dlopen(TESSEL_CALLTEST_LIBRARY, RTLD_NOW);
    ASSERT_NE(lib, nullptr) << dlerror();
  }
  void TearDown() override {
    calloutResult = 0;
    freeTestHeap();
  }

  void* fn(const std::string& name) {
    void* f = dlsym(lib, name.c_str());
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  void reset() { reinterpret_cast<void (*)()>(fn("calltest_reset"))(); }
  std::vector<uint8_t> echo() {
    const uint8_t* bytes = static_cast<const uint8_t*>(fn("calltest_echo"));
    size_t n = *static_cast<const size_t*>(fn("calltest_echo_length"));
    return std::vector<uint8_t>(bytes, bytes + n);
  }

  // pdCallC of function with the arguments in order; *error gets errno right after.
  oop call(void* function, const std::vector<uint8_t>& kinds, const std::vector<oop>& args, CallErrorRecord* record,
           int* error, uint64_t flags = 0, oop descriptor = 0, uint64_t structArgBytes = 0, uint64_t resultBytes = 0) {
    std::vector<uint64_t> base(args.size() + 1);
    for (size_t i = 0; i < args.size(); i++) base[args.size() - i] = args[i];
    reset();
    oop r = pdCallC(flags, cUnsignedToOop(uint64_t(uintptr_t(function))), kinds.data(), args.size(), 0, base.data(),
                    descriptor == 0 ? nilOop() : descriptor, structArgBytes, resultBytes, record);
    *error = errno;
    return r;
  }
};

// ---- Scalars ---------------------------------------------------------------------------------

// The function of a scalar row called from C with the value at its kind's width.
uint64_t directScalar(void* f, int kind, uint64_t v) {
  switch (kind) {
    case 0: return uint64_t(int64_t(reinterpret_cast<signed char (*)(signed char)>(f)((signed char)v)));
    case 1: case 26: return reinterpret_cast<unsigned char (*)(unsigned char)>(f)((unsigned char)v);
    case 2: return uint64_t(int64_t(reinterpret_cast<short (*)(short)>(f)((short)v)));
    case 3: case 27: return reinterpret_cast<unsigned short (*)(unsigned short)>(f)((unsigned short)v);
    case 4: return uint64_t(int64_t(reinterpret_cast<int (*)(int)>(f)((int)v)));
    case 5: case 28: return reinterpret_cast<unsigned (*)(unsigned)>(f)((unsigned)v);
    case 6: case 24: return uint64_t(reinterpret_cast<long (*)(long)>(f)((long)v));
    default: return reinterpret_cast<unsigned long (*)(unsigned long)>(f)((unsigned long)v);
  }
}

uint64_t resultBits(oop r, int kind) {
  if (isCBooleanKind(uint32_t(kind))) return r == trueOop();
  int64_t s;
  uint64_t u;
  if (isCSignedKind(uint32_t(kind))) return oopToSq64(r, &s) ? uint64_t(s) : 0xDEAD;
  return oopToQ64(r, &u) ? u : 0xDEAD;
}

TEST_F(CallOut, ScalarsOfEveryIntegerKindAtTheirBounds) {
  struct Row {
    const char* name;
    int kind;  // argument and result kind
    std::vector<uint64_t> values;
  } rows[] = {
      {"ct_i8", 0, {uint64_t(-128), 127, 0, 300}},
      {"ct_u8", 1, {0, 255, 256}},
      {"ct_i16", 2, {uint64_t(-32768), 32767}},
      {"ct_u16", 3, {0, 65535}},
      {"ct_i32", 4, {uint64_t(int64_t(INT32_MIN)), INT32_MAX, uint64_t(-1)}},
      {"ct_u32", 5, {0, UINT32_MAX}},
      {"ct_i64", 6, {uint64_t(INT64_MIN), uint64_t(INT64_MAX), uint64_t(-1)}},
      {"ct_u64", 7, {0, UINT64_MAX, uint64_t(1) << 63}},
      {"ct_i64", 24, {uint64_t(INT64_MIN), uint64_t(1) << 60}},
      {"ct_u64", 25, {UINT64_MAX, (uint64_t(1) << 60) - 1}},
      {"ct_u8", 26, {0, 1}},
      {"ct_u16", 27, {0, 1}},
      {"ct_u32", 28, {0, 1}},
  };
  for (Row& row : rows) {
    for (int n = 0; n < 4; n++) row.values.push_back(random());
    void* f = fn(row.name);
    for (uint64_t v : row.values) {
      bool boolean = isCBooleanKind(uint32_t(row.kind));
      uint64_t c = boolean ? (v & 1) : v;
      oop arg = boolean ? booleanOop(c != 0) : isCSignedKind(uint32_t(row.kind)) ? cSignedToOop(int64_t(v)) : cUnsignedToOop(v);
      CallErrorRecord record = {0, 0, 0};
      int error;
      oop r = call(f, {uint8_t(row.kind), uint8_t(row.kind)}, {arg}, &record, &error);
      ASSERT_NE(r, oop(0)) << row.name << " " << v;
      std::vector<uint8_t> seen = echo();
      reset();
      uint64_t expected = directScalar(f, row.kind, c);
      EXPECT_EQ(echo(), seen) << row.name << " " << v;
      EXPECT_EQ(errno, error) << row.name;
      EXPECT_EQ(resultBits(r, row.kind), boolean ? uint64_t(expected != 0) : expected) << row.name << " kind " << row.kind;
    }
  }
}

TEST_F(CallOut, BooleanResultsTakeTheirOwnWidth) {
  void* f = fn("ct_u32");
  CallErrorRecord record = {0, 0, 0};
  int error;
  EXPECT_EQ(call(f, {28, 5}, {k(0x10000)}, &record, &error), trueOop());
  EXPECT_EQ(call(f, {27, 5}, {k(0x10000)}, &record, &error), falseOop());
  EXPECT_EQ(call(f, {26, 5}, {k(0x100)}, &record, &error), falseOop());
}

TEST_F(CallOut, MixedWidthsAndFloatsBesideDoubles) {
  CallErrorRecord record = {0, 0, 0};
  int error;
  void* mixed = fn("ct_mixed");
  for (int n = 0; n < 8; n++) {
    int64_t v[7];
    for (int64_t& x : v) x = int64_t(random());
    oop r = call(mixed, {6, 0, 1, 2, 3, 4, 5, 6}, {k(v[0] >> 60), k(v[1] >> 60), k(v[2] >> 50), k(v[3] >> 50),
                                                 k(v[4] >> 40), k(v[5] >> 40), cSignedToOop(v[6])},
                 &record, &error);
    std::vector<uint8_t> seen = echo();
    reset();
    long expected = reinterpret_cast<long (*)(signed char, unsigned char, short, unsigned short, int, unsigned, long)>(mixed)(
        (signed char)(v[0] >> 60), (unsigned char)(v[1] >> 60), (short)(v[2] >> 50), (unsigned short)(v[3] >> 50),
        (int)(v[4] >> 40), (unsigned)(v[5] >> 40), (long)v[6]);
    EXPECT_EQ(echo(), seen);
    EXPECT_EQ(resultBits(r, 6), uint64_t(expected));
  }
  // Ten floating arguments, float and double slots alternating: two go to the stack. Each
  // kind takes every form of number.
  void* floats = fn("ct_floats");
  std::uniform_real_distribution<double> real(-1e3, 1e3);
  for (int n = 0; n < 8; n++) {
    double d[10];
    std::vector<oop> args;
    for (int i = 0; i < 10; i++) {
      d[i] = real(random);
      int form = (i + n) % 4;
      if (form == 0) args.push_back(newDoubleBox(d[i]));
      else if (form == 1) d[i] = std::round(d[i]), args.push_back(k(int64_t(d[i])));
      else if (form == 2) d[i] = double(float(d[i])), args.push_back(newFloatBox(float(d[i])));
      else args.push_back(fitsSmallDouble(d[i]) ? smallDoubleFor(d[i]) : newDoubleBox(d[i]));
    }
    oop r = call(floats, {9, 8, 9, 8, 9, 8, 9, 8, 9, 8, 9}, args, &record, &error);
    std::vector<uint8_t> seen = echo();
    int seenErrno = error;
    reset();
    double expected = reinterpret_cast<double (*)(float, double, float, double, float, double, float, double, float, double)>(
        floats)(float(d[0]), d[1], float(d[2]), d[3], float(d[4]), d[5], float(d[6]), d[7], float(d[8]), d[9]);
    EXPECT_EQ(echo(), seen);
    EXPECT_EQ(errno, seenErrno);
    double got;
    ASSERT_TRUE(castOopToFiniteDouble(r, &got));
    EXPECT_EQ(doubleBits(got), doubleBits(expected));
  }
  oop f = call(fn("ct_f32"), {8, 8}, {smallDoubleFor(0.1)}, &record, &error);
  ASSERT_TRUE(isFloatObject(f));
  EXPECT_EQ(floatValueOf(f), 0.1f);
}

// ---- Structs ---------------------------------------------------------------------------------

struct StructType {
  std::string name;  // suffix of the library's names
  oop descriptor;
  uint64_t size;
};

TEST_F(CallOut, StructsOfEverySizeClassAsArgumentsAndResultsAtEveryRegisterCount) {
  const char* names[] = {"C", "C3", "II", "LL", "F", "FF", "DL", "LD", "FFF", "DD", "PD", "IIF", "L3"};
  std::uniform_real_distribution<double> real(-1e6, 1e6);
  for (const char* name : names) {
    const int* desc = static_cast<const int*>(fn(std::string("ctdesc_") + name));
    std::vector<std::pair<int, int>> fields;
    for (int f = 0; f < desc[1]; f++) fields.push_back({desc[2 + 2 * f], desc[3 + 2 * f]});
    StructType t = {name, newDescriptor(fields), uint64_t(desc[0])};
    uint64_t regs = shouldPassStructInRegisters(t.descriptor);
    for (int i = 0; i <= 6; i++) {
      for (int j = 0; j <= 8; j++) {
        std::string suffix = t.name + "_" + std::to_string(i) + "_" + std::to_string(j);
        long x[6];
        double y[8];
        std::vector<oop> args;
        std::vector<uint8_t> kinds = {6};
        for (int a = 0; a < i; a++) x[a] = long(random()), args.push_back(cSignedToOop(x[a])), kinds.push_back(6);
        for (int a = 0; a < j; a++) y[a] = real(random), args.push_back(newDoubleBox(y[a])), kinds.push_back(9);
        uint8_t bytes[32];
        for (uint8_t& b : bytes) b = uint8_t(random());
        // As an argument.
        std::vector<oop> withStruct = args;
        withStruct.push_back(newComposite(t.descriptor, t.size, bytes));
        std::vector<uint8_t> argKinds = kinds;
        argKinds.push_back(ckStruct);
        CallErrorRecord record = {0, 0, 0};
        int error;
        oop r = call(fn("ctarg_" + suffix), argKinds, withStruct, &record, &error, 0, 0, (t.size + 7) / 8 * 8);
        std::vector<uint8_t> seen = echo();
        reset();
        long out = 0;
        reinterpret_cast<void (*)(const long*, const double*, const void*, long*)>(fn("ctcallarg_" + suffix))(x, y, bytes, &out);
        EXPECT_EQ(echo(), seen) << "argument " << suffix;
        EXPECT_EQ(errno, error) << "argument " << suffix;
        EXPECT_EQ(resultBits(r, 6), uint64_t(out)) << "argument " << suffix;
        // As a result, into the preallocated composite, by registers or the hidden pointer.
        memcpy(fn("cttemplate_" + t.name), bytes + 8, t.size);
        kinds[0] = ckStruct;
        calloutResult = newComposite(t.descriptor, t.size);
        r = call(fn("ctret_" + suffix), kinds, args, &record, &error, regs ? uint64_t(callFlagStructInRegisters) : 0, t.descriptor,
                 0, t.size);
        ASSERT_EQ(r, calloutResult) << "result " << suffix;
        seen = echo();
        reset();
        uint8_t expected[32];
        reinterpret_cast<void (*)(const long*, const double*, void*)>(fn("ctcallret_" + suffix))(x, y, expected);
        EXPECT_EQ(memcmp(bodyOf(headerOf(slotOf(r, 0))), expected, t.size), 0) << "result " << suffix;
        EXPECT_EQ(echo(), seen) << "result " << suffix;
        calloutResult = 0;
      }
    }
  }
}

TEST_F(CallOut, VariadicCallsCountTheirVectorRegisters) {
  void* format = fn("ct_format");
  char buffer[256], direct[256];
  oop text = byteString("%d %g %s %g %g %g %g %g %g %g %g %g %g");
  std::vector<oop> args = {cUnsignedToOop(uint64_t(uintptr_t(buffer))), k(sizeof buffer), text, k(-5),
                           newDoubleBox(0.1), byteString("mid")};
  std::vector<uint8_t> kinds = {4, 13, 7, 13, 4, 9, 13};
  double d[10];
  for (int i = 0; i < 10; i++) d[i] = double(i) + 0.5, args.push_back(newDoubleBox(d[i])), kinds.push_back(9);
  CallErrorRecord record = {0, 0, 0};
  int error;
  oop r = call(format, kinds, args, &record, &error);
  std::vector<uint8_t> seen = echo();
  reset();
  int n = reinterpret_cast<int (*)(char*, size_t, const char*, ...)>(format)(
      direct, sizeof direct, "%d %g %s %g %g %g %g %g %g %g %g %g %g", -5, 0.1, "mid", d[0], d[1], d[2], d[3], d[4], d[5],
      d[6], d[7], d[8], d[9]);
  EXPECT_STREQ(buffer, direct);
  EXPECT_EQ(r, k(n));
  EXPECT_EQ(echo(), seen);
}

TEST_F(CallOut, ErrnoResultsAndRefusedCalls) {
  CallErrorRecord record = {0, 0, 0};
  int error;
  EXPECT_EQ(call(fn("ct_fail_with"), {32, 6, 4}, {k(5), k(0)}, &record, &error), k(5));
  EXPECT_EQ(call(fn("ct_fail_with"), {32, 6, 4}, {k(-1), k(EACCES)}, &record, &error), oop(0));
  EXPECT_EQ(record.code, oop(int64_t(-77)));
  EXPECT_EQ(record.value1, uint64_t(EACCES));
  record = {0, 0, 0};
  EXPECT_EQ(call(fn("ct_i32"), {4, 4}, {nilOop()}, &record, &error), oop(0));  // nil does not convert
  EXPECT_EQ(record.code, oop(0));
  EXPECT_EQ(record.value1, 1u);
  for (uint8_t refused : {14, 31, 33}) {
    record = {0, 0, 0};
    EXPECT_EQ(call(fn("ct_i32"), {refused, 4}, {k(1)}, &record, &error), oop(0));
    EXPECT_EQ(record.code, oop(int64_t(-101))) << int(refused);
  }
}

// ---- Classification ------------------------------------------------------------------------

TEST_F(CallOut, StructClassificationFollowsTheConvention) {
  struct Row {
    const char* what;
    std::vector<std::pair<int, int>> fields;  // (offset, kind)
    uint64_t registers;                       // INTEGER eightbytes | SSE eightbytes << 8
    uint64_t pattern;
  } rows[] = {
      {"{char}", {{0, 0}}, 1, 1},
      {"{int,int}", {{0, 4}, {4, 4}}, 1, 1},
      {"{long,long}", {{0, 6}, {8, 6}}, 2, 3},
      {"{char x 9}", {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 0}}, 2, 3},
      {"{float}", {{0, 8}}, 0x100, 16},
      {"{float,float}", {{0, 8}, {4, 8}}, 0x100, 16},
      {"{double}", {{0, 9}}, 0x100, 16},
      {"{double,double}", {{0, 9}, {8, 9}}, 0x200, 48},
      {"{float,float,float}", {{0, 8}, {4, 8}, {8, 8}}, 0x200, 48},
      {"{double,float,float}", {{0, 9}, {8, 8}, {12, 8}}, 0x200, 48},
      {"{double,long}", {{0, 9}, {8, 6}}, 0x101, 18},
      {"{long,double}", {{0, 6}, {8, 9}}, 0x101, 33},
      {"{int,float}", {{0, 4}, {4, 8}}, 1, 1},
      {"{float,int}", {{0, 8}, {4, 4}}, 1, 1},
      {"{short,char,char,float}", {{0, 2}, {2, 0}, {3, 0}, {4, 8}}, 1, 1},
      {"{int,int,float}", {{0, 4}, {4, 4}, {8, 8}}, 0x101, 33},
      {"{char,double}", {{0, 0}, {8, 9}}, 0x101, 33},
      {"{pointer 12,double}", {{0, 12}, {8, 9}}, 0x101, 33},
      {"{pointer 16,pointer 22}", {{0, 16}, {8, 22}}, 2, 3},
      {"{long,long,long}", {{0, 6}, {8, 6}, {16, 6}}, 0, 0},
      {"{long double}", {{0, 10}}, 0, 0},
      {"{struct}", {{0, 17}}, 0, 0},
      {"{}", {}, 0, 0},
  };
  for (const Row& r : rows) {
    oop d = newDescriptor(r.fields);
    EXPECT_EQ(shouldPassStructInRegisters(d), r.registers) << r.what;
    EXPECT_EQ(structReturnModel(d), r.pattern) << r.what;
    EXPECT_EQ(shouldPassStructInRegisters(newComposite(d, 16)), r.registers) << r.what << " in a composite";
  }
}

TEST_F(CallOut, ClassificationFillsOnlyTheRegistersLeft) {
  oop ll = newDescriptor({{0, 6}, {8, 6}});
  oop fff = newDescriptor({{0, 8}, {4, 8}, {8, 8}});
  const uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  uint64_t ints[6] = {0};
  uint8_t sse[8][16] = {{0}}, singles = 0;
  EXPECT_EQ(classifyStructEightbytes(ll, bytes, ints, sse, &singles, 5, 0), 0u);  // one register left
  EXPECT_EQ(ints[5], 0u);
  EXPECT_EQ(classifyStructEightbytes(ll, bytes, ints, sse, &singles, 4, 0), 2u | 3u << 16);
  EXPECT_EQ(memcmp(&ints[4], bytes, 16), 0);
  EXPECT_EQ(classifyStructEightbytes(fff, bytes, ints, sse, &singles, 0, 7), 0u);
  EXPECT_EQ(classifyStructEightbytes(fff, bytes, ints, sse, &singles, 0, 6), 2u << 8 | 48u << 16);
  EXPECT_EQ(singles, 1 << 7);  // the lone float of the second eightbyte
  EXPECT_EQ(memcmp(sse[6], bytes, 8), 0);
  EXPECT_EQ(memcmp(sse[7], bytes + 8, 8), 0);
}

TEST_F(CallOut, LoadFPRegArgsAnswersItsCount) {
  uint8_t slots[8][16] = {{0}};
  EXPECT_EQ(loadFPRegArgs(3, slots[0], 0b101), 3u);
  EXPECT_EQ(loadFPRegArgs(12, slots[0], 0), 12u);
}

// ---- The external-call primitives ------------------------------------------------------------

class ExternalCalls : public CallOut {
 protected:
  // The frame's method and the user primitives' slot the cases set.
  oop savedFrameMethod = harnessFrameMethod;
  int64_t savedUserSlot = userPrimitiveMethodInstVarOffset;
  void TearDown() override {
    harnessFrameMethod = savedFrameMethod;
    userPrimitiveMethodInstVarOffset = savedUserSlot;
    CallOut::TearDown();
  }
  oop strlenAddress() { return cUnsignedToOop(uint64_t(uintptr_t(dlsym(RTLD_DEFAULT, "strlen")))); }
  static oop kinds(std::vector<uint8_t> bytes) {
    ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), bytes.size());
    memcpy(bodyOf(h), bytes.data(), bytes.size());
    return oopOf(h);
  }
  static oop array(std::vector<oop> values) {
    ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), values.size());
    for (size_t i = 0; i < values.size(); i++) bodyOf(h)[i] = values[i];
    return oopOf(h);
  }
  PrimOutcome callC(oop function, oop flags, oop args, oop kindBytes, oop resultClass = 0) {
    return callPrimitive(337, nilOop(), {function, flags, args, kindBytes, k(0), k(0),
                                         resultClass == 0 ? cTestClasses.pointer : resultClass, nilOop()});
  }
};

TEST_F(ExternalCalls, PrimitiveCallCRunsAndRefusesBadDescriptions) {
  PrimOutcome o = callC(strlenAddress(), k(0), array({byteString("hello")}), kinds({7, 13}));
  ASSERT_FALSE(o.failed);
  EXPECT_EQ(o.result, k(5));
  oop arraySubclass = classAt(newTestClass(formatPointers | formatIndexable));
  bodyOf(headerOf(arraySubclass))[classSuperclassSlot] = sysOop(sysArrayClass);
  ObjectHeader* sub = allocVSObj(arraySubclass, 1);
  bodyOf(sub)[0] = byteString("x");
  oop frozen = kinds({1, 2, 3});
  setFlag(headerOf(frozen), isImmutableBit);
  struct Row {
    const char* what;
    oop function, flags, args, kinds;
    int code;
    int64_t value;  // -1: none
  } rows[] = {
      {"kinds of another size", strlenAddress(), k(0), array({byteString("a")}), kinds({7, 13, 13}), primErrBadArgument, -1},
      {"arguments a subclass of Array", strlenAddress(), k(0), oopOf(sub), kinds({7, 13}), primErrBadArgument, -1},
      {"flags not a SmallInteger", strlenAddress(), nilOop(), array({byteString("a")}), kinds({7, 13}), primErrBadArgument, -1},
      {"function a String", byteString("strlen"), k(0), array({byteString("a")}), kinds({7, 13}), primErrCCall, -1},
      {"an argument that does not convert", strlenAddress(), k(0), array({k(1), trueOop()}), kinds({7, 13, 4}),
       primErrBadArgument, 2},
      {"an immutable ByteArray by address", strlenAddress(), k(0), array({frozen}), kinds({7, 13}), primErrImmutable, 1},
      {"result kind 14", strlenAddress(), k(0), array({byteString("a")}), kinds({14, 13}), primErrNotHere, -1},
      {"result kind 31", strlenAddress(), k(0), array({byteString("a")}), kinds({31, 13}), primErrNotHere, -1},
      {"a threaded call", strlenAddress(), k(0x40), array({byteString("a")}), kinds({7, 13}), primErrNotHere, -1},
  };
  for (const Row& r : rows) {
    o = callC(r.function, r.flags, r.args, r.kinds);
    ASSERT_TRUE(o.failed) << r.what;
    EXPECT_EQ(o.numArgs, 8u) << r.what;
    FailureInfo f = failureOf(o);
    EXPECT_EQ(f.code, r.code) << r.what;
    EXPECT_EQ(f.value, r.value) << r.what;
  }
  EXPECT_EQ(calloutResult, oop(0));
}

TEST_F(ExternalCalls, ALinkRegistryHandleCalledThroughPrimitiveCallC) {
  initLinkRegistryPrimitives();
  PrimOutcome handle = callPrimitive(333, nilOop(), {byteString("get_crc_table")});
  ASSERT_FALSE(handle.failed);
  PrimOutcome table = callC(handle.result, k(0), array({}), kinds({13}));
  ASSERT_FALSE(table.failed);
  ASSERT_EQ(classOf(table.result), cTestClasses.pointer);
  uint64_t address;
  ASSERT_TRUE(oopToQ64(slotOf(table.result, 0), &address));
  PrimOutcome entry = callPrimitive(482, nilOop(), {cUnsignedToOop(address + 4), k(13), k(5), nilOop(), nilOop()});
  EXPECT_EQ(entry.result, k(1996959894));
}

// An ExternalMethod as primitive 395 reads it: bytecodes, class and selector, then from the
// offset 3 the handle, flags, kinds, struct sizes, result class, descriptor and handle table.
oop externalMethod(oop handle, oop flags, oop kindBytes, oop handleTable) {
  ObjectHeader* m = allocVSObj(sysOop(sysArrayClass), 3 + 8);
  const oop slots[8] = {handle, flags, kindBytes, k(0), k(0), cTestClasses.pointer, nilOop(), handleTable};
  for (int i = 0; i < 8; i++) bodyOf(m)[3 + i] = slots[i];
  return oopOf(m);
}

TEST_F(ExternalCalls, PrimitiveCallExternalMethod) {
  externalMethodInstVarOffset = -1;
  harnessFrameMethod = externalMethod(strlenAddress(), k(0), kinds({7, 13}), nilOop());
  // The report is a Note of the user's cause: made (its code is the last one) but not shown.
  qrxErrorStatus = 0;
  testing::internal::CaptureStdout();
  PrimOutcome o = callVarArgPrimitive(395, nilOop(), {byteString("four")});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(qrxErrorStatus, 0x1000u);
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrNotInitialized);
  ASSERT_FALSE(callPrimitive(334, nilOop(), {byteString("unlinkedCall:arguments:"), nilOop(), k(3)}).failed);
  EXPECT_EQ(externalMethodInstVarOffset, 3);
  o = callVarArgPrimitive(395, nilOop(), {byteString("four")});
  EXPECT_EQ(o.result, k(4));
  // Three arguments: the first lies above the return pc, the last two in the save area.
  void* format = dlsym(RTLD_DEFAULT, "snprintf");
  char buffer[32];
  harnessFrameMethod = externalMethod(cUnsignedToOop(uint64_t(uintptr_t(format))), k(0), kinds({4, 13, 7, 13, 4}), nilOop());
  o = callVarArgPrimitive(395, nilOop(), {cUnsignedToOop(uint64_t(uintptr_t(buffer))), k(32), byteString("%d!"), k(-9)});
  EXPECT_EQ(o.result, k(3));
  EXPECT_STREQ(buffer, "-9!");
  // A nil handle is looked up by the receiver's class in the table.
  oop table = array({classOf(k(1)), k(0), classOf(nilOop()), strlenAddress()});
  harnessFrameMethod = externalMethod(nilOop(), k(0), kinds({7, 13}), table);
  EXPECT_EQ(callVarArgPrimitive(395, nilOop(), {byteString("seven!!")}).result, k(7));
  // Malformed methods: the slots get 337's checks (decision: the call-out reads the kinds).
  for (oop m : {externalMethod(strlenAddress(), k(0), kinds({7}), nilOop()),
                externalMethod(strlenAddress(), nilOop(), kinds({7, 13}), nilOop()),
                externalMethod(strlenAddress(), k(0), byteString("ab"), nilOop()), array({k(1)})}) {
    harnessFrameMethod = m;
    o = callVarArgPrimitive(395, nilOop(), {byteString("x")});
    EXPECT_TRUE(o.failed && failureOf(o).code == primErrBadArgument);
  }
}

oop userPrimitiveSum(oop receiver, oop a, oop b, oop c) {
  return smallIntegerFor(smallIntegerValue(receiver) * 1000 + smallIntegerValue(a) * 100 + smallIntegerValue(b) * 10 +
                         smallIntegerValue(c));
}
oop userPrimitiveVector(oop, oop receiver, uint64_t n, const oop* argv) {
  return n == 2 ? smallIntegerFor(smallIntegerValue(receiver) + smallIntegerValue(argv[0]) - smallIntegerValue(argv[1])) : 0;
}

TEST_F(ExternalCalls, UserPrimitivesAndTheirArgumentLimit) {
  userPrimitiveMethodInstVarOffset = -1;
  // 394: the function in the first slot after the method class's named slots.
  uint32_t methodClass = newTestClass(formatPointers | formatIndexable | 3);
  ObjectHeader* m = allocVSObj(classAt(methodClass), 1);
  bodyOf(m)[3] = cUnsignedToOop(uint64_t(uintptr_t(userPrimitiveSum)));
  harnessFrameMethod = oopOf(m);
  EXPECT_EQ(callVarArgPrimitive(394, k(1), {k(2), k(3), k(4)}).result, k(1234));
  std::vector<oop> sixteen(16, k(0));
  PrimOutcome o = callVarArgPrimitive(394, k(1), sixteen);
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrNotHere);
  // 375: the function at the offset, called with the method, receiver and an argument vector.
  bodyOf(m)[3] = cUnsignedToOop(uint64_t(uintptr_t(userPrimitiveVector)));
  qrxErrorStatus = 0;
  o = callVarArgPrimitive(375, k(1), {k(2), k(3)});
  EXPECT_EQ(qrxErrorStatus, 0x1000u);
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrNotInitialized);
  userPrimitiveMethodInstVarOffset = 3;
  EXPECT_EQ(callVarArgPrimitive(375, k(10), {k(2), k(3)}).result, k(9));
  o = callVarArgPrimitive(375, k(10), {k(2)});  // the function answers 0: entry 0
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrGeneral);
  o = callVarArgPrimitive(375, k(1), sixteen);
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrNotHere);
  bodyOf(m)[3] = byteString("no address");
  o = callVarArgPrimitive(375, k(1), {k(1)});
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrCCall);
}

// ---- Dynamic loading ------------------------------------------------------------------------

TEST_F(CallOut, DynamicLoadingAnswersHandlesAndTheLinkersErrors) {
  initDynamicLoadPrimitives();
  PrimOutcome self = callPrimitive(330, nilOop(), {nilOop()});
  ASSERT_FALSE(self.failed);
  PrimOutcome found = callPrimitive(332, nilOop(), {byteString("UPHandleForSymbol"), self.result});
  ASSERT_FALSE(found.failed);
  EXPECT_EQ(found.result, cUnsignedToOop(uint64_t(uintptr_t(dlsym(RTLD_DEFAULT, "UPHandleForSymbol")))));
  PrimOutcome missing = callPrimitive(332, nilOop(), {byteString("no_such_symbol_here"), self.result});
  ASSERT_TRUE(missing.failed);
  EXPECT_EQ(failureOf(missing).code, primErrGeneral);
  EXPECT_NE(textOf(errorValueOf(missing.errorOop)).find("no_such_symbol_here"), std::string::npos);
  PrimOutcome noLibrary = callPrimitive(330, nilOop(), {byteString("libtessel-none.so")});
  ASSERT_TRUE(noLibrary.failed);
  EXPECT_NE(textOf(errorValueOf(noLibrary.errorOop)).find("libtessel-none.so"), std::string::npos);
  // A path of 1024 bytes is refused before the linker sees it; 1023 reach it.
  PrimOutcome longPath = callPrimitive(330, nilOop(), {byteString(std::string(1024, 'a'))});
  EXPECT_TRUE(longPath.failed && failureOf(longPath).code == primErrBadArgument && failureOf(longPath).value == 1);
  PrimOutcome longest = callPrimitive(330, nilOop(), {byteString(std::string(1023, 'a'))});
  EXPECT_TRUE(longest.failed && failureOf(longest).code == primErrGeneral);
  PrimOutcome noHandle = callPrimitive(332, nilOop(), {byteString("strlen"), nilOop()});
  EXPECT_TRUE(noHandle.failed && failureOf(noHandle).value == 2);
  PrimOutcome zero = callPrimitive(331, nilOop(), {k(0)});
  EXPECT_TRUE(zero.failed && failureOf(zero).value == 1);
  PrimOutcome library = callPrimitive(330, nilOop(), {byteString(TESSEL_CALLTEST_LIBRARY)});
  ASSERT_FALSE(library.failed);
  EXPECT_FALSE(callPrimitive(331, nilOop(), {library.result}).failed);
}

}  // namespace

// ---- Callback thunks ---------------------------------------------------------------------

namespace {

// The send a thunk makes, recorded; it answers the test's answer.
struct SentCallback {
  int count;
  oop receiver, selector, address, arguments;
  std::vector<uint8_t> bytes;
  oop answer;
} sent;

oop recordSend(oop receiver, oop selector, oop address, oop arguments, oop*, oop) {
  sent.count++;
  sent.receiver = receiver, sent.selector = selector, sent.address = address, sent.arguments = arguments;
  sent.bytes.clear();
  if (isHeapObject(arguments) && arguments != nilOop() && !hasPtrs(headerOf(arguments))) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(arguments)));
    sent.bytes.assign(b, b + byteSizeOf(headerOf(arguments)));
  }
  return sent.answer;
}

class Thunks : public CallOut {
 protected:
  oop callbackClass = 0;
  void SetUp() override {
    CallOut::SetUp();
    callbackClass = classAt(newTestClass(formatPointers));
    ASSERT_FALSE(callPrimitive(383, callbackClass, {byteString("callback:arguments:"), newSemaphore()}).failed);
    sent = {};
    thunkSendHook = recordSend;
  }
  void TearDown() override {
    thunkSendHook = UPSendMessage2;
    CallOut::TearDown();
  }
  // A thunk for the kinds and sizes, result first.
  static uint8_t* thunk(const std::vector<int>& kinds, const std::vector<int>& sizes,
                        const std::vector<oop>& types = {}) {
    std::vector<uint64_t> k, s, t;
    for (size_t i = 0; i < kinds.size(); i++) {
      k.push_back(smallIntegerFor(kinds[i]));
      s.push_back(smallIntegerFor(sizes[i]));
      t.push_back(i < types.size() ? types[i] : nilOop());
    }
    return static_cast<uint8_t*>(pdThunkCreate(0, kinds.size() - 1, t.data(), s.data(), k.data()));
  }
};

TEST_F(Thunks, IntDoubleFloatToDoubleThroughAFunctionPointer) {
  uint8_t* t = thunk({ckDouble, ckSignedInt, ckDouble, ckFloat}, {8, 4, 8, 4});
  ASSERT_GT(uintptr_t(t), 1u);
  EXPECT_EQ(t[thunkFloatCount], 2);
  EXPECT_EQ(t[thunkSingles], 2);  // the float is the second floating argument
  EXPECT_EQ(t[thunkArgc], 3);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(t + thunkTotalBytes), 16u);
  uint64_t entry;
  memcpy(&entry, t + 2, 8);
  EXPECT_EQ(entry, uint64_t(uintptr_t(thunkProcessHelperFP)));
  sent.answer = smallDoubleFor(8.75);
  double r = reinterpret_cast<double (*)(int, double, float)>(t)(7, 0.25, 1.5f);
  EXPECT_EQ(r, 8.75);
  ASSERT_EQ(sent.count, 1);
  EXPECT_EQ(sent.receiver, callbackClass);
  EXPECT_EQ(sent.address, cUnsignedToOop(uint64_t(uintptr_t(t))));
  ASSERT_EQ(sent.bytes.size(), 16u);
  int32_t i;
  double d;
  float f;
  memcpy(&i, sent.bytes.data(), 4);
  memcpy(&d, sent.bytes.data() + 4, 8);
  memcpy(&f, sent.bytes.data() + 12, 4);
  EXPECT_EQ(i, 7);
  EXPECT_EQ(d, 0.25);
  EXPECT_EQ(f, 1.5f);
  // The library's caller of such a function pointer gets the same.
  sent.answer = newDoubleBox(-2.5);
  EXPECT_EQ(reinterpret_cast<double (*)(void*, int, double, float)>(fn("ct_call_idf"))(t, 1, 2.0, 3.0f), -2.5);
  EXPECT_EQ(pdThunkDestroy(t, 0), 1);
  EXPECT_EQ(pdThunkDestroy(t, 0), 0);  // no longer a live thunk
}

TEST_F(Thunks, ArgumentsPastTheRegistersAndStructResults) {
  // Nine doubles and seven longs: the ninth double and the seventh long come off the stack,
  // through the one stack cursor both share.
  std::vector<int> kinds = {ckSignedLong}, sizes = {8};
  for (int n = 0; n < 7; n++) kinds.push_back(ckSignedLong), sizes.push_back(8);
  for (int n = 0; n < 9; n++) kinds.push_back(ckDouble), sizes.push_back(8);
  uint8_t* t = thunk(kinds, sizes);
  sent.answer = k(5);
  long r = reinterpret_cast<long (*)(long, long, long, long, long, long, long, double, double, double, double, double,
                                     double, double, double, double)>(t)(1, 2, 3, 4, 5, 6, 7, 0.5, 1.5, 2.5, 3.5, 4.5, 5.5,
                                                                         6.5, 7.5, 8.5);
  EXPECT_EQ(r, 5);
  ASSERT_EQ(sent.bytes.size(), 16u * 8);
  long l[7];
  double dd[9];
  memcpy(l, sent.bytes.data(), sizeof l);
  memcpy(dd, sent.bytes.data() + sizeof l, sizeof dd);
  for (int n = 0; n < 7; n++) EXPECT_EQ(l[n], n + 1);
  for (int n = 0; n < 9; n++) EXPECT_EQ(dd[n], n + 0.5);
  pdThunkDestroy(t, 0);
  // A struct result in memory: the hidden pointer takes rdi, the first argument comes in rsi.
  oop l3 = newDescriptor({{0, 6}, {8, 6}, {16, 6}});
  t = thunk({ckStruct, ckSignedLong}, {24, 8}, {l3, nilOop()});
  const long three[3] = {10, 20, 30};
  sent.answer = newCData(24, three);
  CtL3 s = reinterpret_cast<CtL3 (*)(long)>(t)(99);
  EXPECT_EQ(s.a, 10);
  EXPECT_EQ(s.c, 30);
  long arg;
  memcpy(&arg, sent.bytes.data(), 8);
  EXPECT_EQ(arg, 99);
  pdThunkDestroy(t, 0);
  // Struct results in registers come back in the registers of their class.
  oop dd2 = newDescriptor({{0, 9}, {8, 9}});
  t = thunk({ckStruct, ckSignedInt}, {16, 4}, {dd2, nilOop()});
  EXPECT_EQ(thunkKindOf(t, 0), ckStructInRegisters);
  const double two[2] = {1.25, -7.5};
  sent.answer = newComposite(dd2, 16, two);
  CtDD pair = reinterpret_cast<CtDD (*)(int)>(t)(1);
  EXPECT_EQ(pair.a, 1.25);
  EXPECT_EQ(pair.b, -7.5);
  pdThunkDestroy(t, 0);
  // A float result from a SmallDouble answer.
  t = thunk({ckFloat}, {4});
  sent.answer = smallDoubleFor(0.1);
  EXPECT_EQ(reinterpret_cast<float (*)()>(t)(), 0.1f);
  pdThunkDestroy(t, 0);
}

TEST_F(Thunks, CallbacksThatCannotBeServedAnswerMinusOne) {
  uint8_t* t = thunk({ckSignedLong, ckSignedLong}, {8, 8});
  sent.answer = k(1);
  // From another thread: not routed until threaded calls exist.
  long fromThread = 0;
  pthread_t other;
  struct Call {
    uint8_t* t;
    long* out;
  } c = {t, &fromThread};
  pthread_create(&other, nullptr, [](void* p) -> void* {
    Call* c = static_cast<Call*>(p);
    *c->out = reinterpret_cast<long (*)(long)>(c->t)(3);
    return nullptr;
  }, &c);
  pthread_join(other, nullptr);
  EXPECT_EQ(fromThread, -1);
  // Before the callback class is registered: the image is not touched.
  int64_t registered = callbackClassX;
  callbackClassX = -1;
  EXPECT_EQ(reinterpret_cast<long (*)(long)>(t)(3), -1);
  callbackClassX = registered;
  EXPECT_EQ(sent.count, 0);
  // A declared size that disagrees with its kind makes the arguments nil.
  uint8_t* wrong = thunk({ckSignedLong, ckSignedInt}, {8, 8});
  reinterpret_cast<long (*)(int)>(wrong)(3);
  EXPECT_EQ(sent.arguments, nilOop());
  pdThunkDestroy(wrong, 0);
  pdThunkDestroy(t, 0);
}

TEST_F(Thunks, CallbackPrimitivesRefuseBadSignaturesAndAddresses) {
  auto arrayOf = [](uint64_t n, oop value) {
    ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), n);
    for (uint64_t i = 0; i < n; i++) bodyOf(h)[i] = value;
    return oopOf(h);
  };
  PrimOutcome made = callPrimitive(391, nilOop(), {k(1), arrayOf(2, nilOop()), arrayOf(2, k(4)), arrayOf(2, k(4))});
  ASSERT_FALSE(made.failed);
  PrimOutcome o = callPrimitive(391, nilOop(), {k(1), arrayOf(3, nilOop()), arrayOf(3, k(4)), arrayOf(2, k(4))});
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrBadArgument);
  o = callPrimitive(391, nilOop(), {k(1), arrayOf(256, nilOop()), arrayOf(256, k(4)), arrayOf(256, k(4))});
  EXPECT_TRUE(o.failed && failureOf(o).code == primErrBadArgument);
  o = callPrimitive(391, nilOop(), {k(1), arrayOf(255, nilOop()), arrayOf(255, k(4)), arrayOf(255, k(4))});
  EXPECT_FALSE(o.failed);
  callPrimitive(388, nilOop(), {o.result, k(1)});
  for (oop bad : {k(0), k(4096), made.result + 8}) {
    o = callPrimitive(388, nilOop(), {bad, k(1)});
    EXPECT_TRUE(o.failed && failureOf(o).code == primErrBadArgument);
  }
  EXPECT_FALSE(callPrimitive(388, nilOop(), {made.result, k(1)}).failed);
  EXPECT_TRUE(callPrimitive(388, nilOop(), {made.result, k(1)}).failed);
}

}  // namespace
