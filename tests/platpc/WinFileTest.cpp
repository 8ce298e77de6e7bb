// The Windows file, path, error-name and library primitives on real files in the test's own
// folder: a file's life from open to close, directory listings, the writable flag, bad input
// and libraries by name and ordinal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntMain.h"
#include "support/ioKernel.h"
#include "support/testFiles.h"

namespace {

namespace fs = std::filesystem;

class Win_Files : public testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    newIOTestHeap();
    initNewIO();
    dir = (fs::path(testing::TempDir()) / "files").string();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    byteStringMode = 0;
    freeTestHeap();
  }
  static oop holder(oop slot0, oop slot1) {
    oop h = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(h))[0] = slot0;
    bodyOf(headerOf(h))[1] = slot1;
    return h;
  }
  static oop name(const std::string& path) { return holder(byteString(path), nilOop()); }
  static oop buffer(const std::string& bytes) {
    oop b = oopOf(allocVSObj(sysOop(sysByteArrayClass), bytes.size()));
    memcpy(bodyOf(headerOf(b)), bytes.data(), bytes.size());
    return b;
  }
  std::string path(const std::string& leaf) const { return dir + "\\" + leaf; }
  // Opens the path (access, creation) and answers the channel holder, or nil.
  oop open(const std::string& p, int access, int creation) {
    PrimOutcome r = callPrimitive(1610, name(p), {smallIntegerFor(access), smallIntegerFor(creation)});
    return r.failed ? nilOop() : holder(nilOop(), r.result);
  }
  static int64_t answerOf(const PrimOutcome& r) { return r.failed ? -1000 : smallIntegerValue(r.result); }
};

// Open, write, seek, read back, size, truncate, close: each step's answer, and the file's
// bytes on disk at the end.
TEST_F(Win_Files, AFileFromOpenToClose) {
  oop f = open(path("life.txt"), 2, 3);
  ASSERT_NE(f, nilOop());
  EXPECT_EQ(answerOf(callPrimitive(661, f, {buffer("xhello worldx"), smallIntegerFor(2), smallIntegerFor(11)})), 11);
  EXPECT_EQ(answerOf(callPrimitive(662, f, {smallIntegerFor(6)})), 6);
  oop into = buffer(std::string(8, '.'));
  EXPECT_EQ(answerOf(callPrimitive(660, f, {into, smallIntegerFor(2), smallIntegerFor(7)})), 5);
  EXPECT_EQ(textOf(into), ".world..");
  EXPECT_EQ(answerOf(callPrimitive(666, f, {})), 11);
  EXPECT_EQ(answerOf(callPrimitive(662, f, {nilOop()})), 11);
  PrimOutcome truncated = callPrimitive(664, f, {smallIntegerFor(5)});
  ASSERT_FALSE(truncated.failed);
  EXPECT_EQ(truncated.result, f);
  EXPECT_EQ(answerOf(callPrimitive(666, f, {})), 5);
  PrimOutcome closed = callPrimitive(651, f, {});
  ASSERT_FALSE(closed.failed);
  EXPECT_EQ(fileText(path("life.txt")), "hello");
  // Closed, the handle object is refused: 4 where the receiver is checked, else 3.
  EXPECT_EQ(failureOf(callPrimitive(651, f, {})).code, 4);
  EXPECT_EQ(failureOf(callPrimitive(666, f, {})).code, 4);
  EXPECT_EQ(failureOf(callPrimitive(662, f, {nilOop()})).code, 3);
  EXPECT_EQ(failureOf(callPrimitive(660, f, {into, smallIntegerFor(1), smallIntegerFor(1)})).code, 3);
}

// Appending channels write at the end; a missing file opened as existing, or an existing one
// as new, fails with 9 carrying the system's error; indexes past 4 fail with 3.
TEST_F(Win_Files, OpenTablesAndTheirFailures) {
  { std::ofstream(path("log.txt"), std::ios::binary) << "abc"; }
  oop f = open(path("log.txt"), 3, 0);
  ASSERT_NE(f, nilOop());
  EXPECT_EQ(answerOf(callPrimitive(661, f, {buffer("de"), smallIntegerFor(1), smallIntegerFor(2)})), 2);
  callPrimitive(651, f, {});
  EXPECT_EQ(fileText(path("log.txt")), "abcde");
  FailureInfo missing = failureOf(callPrimitive(1610, name(path("none.txt")), {smallIntegerFor(0), smallIntegerFor(0)}));
  EXPECT_EQ(missing.code, 9);
  EXPECT_EQ(missing.value, ERROR_FILE_NOT_FOUND);
  for (auto indexes : {std::pair{5, 0}, std::pair{0, 5}, std::pair{-1, 0}})
    EXPECT_EQ(failureOf(callPrimitive(1610, name(path("log.txt")),
                                      {smallIntegerFor(indexes.first), smallIntegerFor(indexes.second)})).code, 3);
  FailureInfo exists = failureOf(callPrimitive(1610, name(path("log.txt")), {smallIntegerFor(1), smallIntegerFor(4)}));
  EXPECT_EQ(exists.code, 9);
  EXPECT_EQ(exists.value, ERROR_FILE_EXISTS);
}

// A transfer's last byte may be the buffer's last; one more, a zero or negative count, or a
// start of 0 fails with 3 and moves nothing.
TEST_F(Win_Files, TransferBounds) {
  oop f = open(path("bounds.bin"), 2, 3);
  ASSERT_NE(f, nilOop());
  oop b = buffer("0123456789");
  const struct { int64_t start, count, answer; } cases[] = {
      {1, 10, 10}, {10, 1, 1}, {2, 9, 9}, {2, 10, -3}, {11, 1, -3}, {1, 0, -3}, {1, -1, -3}, {0, 1, -3}};
  for (const auto& c : cases) {
    PrimOutcome r = callPrimitive(661, f, {b, smallIntegerFor(c.start), smallIntegerFor(c.count)});
    int64_t got = r.failed ? -failureOf(r).code : smallIntegerValue(r.result);
    EXPECT_EQ(got, c.answer) << c.start << " " << c.count;
  }
  callPrimitive(651, f, {});
  EXPECT_EQ(fs::file_size(path("bounds.bin")), 20u);
}

// Foreign handle objects: a ByteArray of the image's own making, a SmallInteger in slot 1.
TEST_F(Win_Files, ForeignHandlesAreRefused) {
  uint64_t fake = 0x12345678;
  oop forged = buffer(std::string(reinterpret_cast<const char*>(&fake), 8));
  for (oop receiver : {holder(nilOop(), forged), holder(nilOop(), smallIntegerFor(1)), smallIntegerFor(3)}) {
    EXPECT_EQ(failureOf(callPrimitive(651, receiver, {})).code, 4);
    EXPECT_EQ(failureOf(callPrimitive(666, receiver, {})).code, 4);
    EXPECT_EQ(failureOf(callPrimitive(661, receiver, {buffer("x"), smallIntegerFor(1), smallIntegerFor(1)})).code, 3);
  }
}

// Paths: 259 units are a path, 260 or a zero byte are not (4 for a receiver's path, 3 for an
// argument path); in byte-string mode the limit is 259 two-byte units, and the conversion
// never writes past its buffer.
TEST_F(Win_Files, PathLengthsAndZeros) {
  std::string longest = dir + "\\" + std::string(259 - dir.size() - 1, 'a');
  ASSERT_EQ(longest.size(), 259u);
  FailureInfo fits = failureOf(callPrimitive(1610, name(longest), {smallIntegerFor(0), smallIntegerFor(0)}));
  EXPECT_EQ(fits.code, 9);  // tried: the file does not exist
  for (const std::string& bad : {longest + "a", path("a") + std::string(1, '\0') + "b"}) {
    EXPECT_EQ(failureOf(callPrimitive(1610, name(bad), {smallIntegerFor(0), smallIntegerFor(0)})).code, 4);
    EXPECT_EQ(failureOf(callPrimitive(1620, nilOop(), {byteString(bad)})).code, 3);
  }
  byteStringMode = 1;
  wchar_t units[ntPathUnits + 1];
  for (int64_t bytes : {518, 520, 521, 522}) {
    wmemset(units, L'#', ntPathUnits + 1);
    std::string text(size_t(bytes), 'b');
    wchar_t* answer = platformStringToWide(byteString(text), units, ntPathUnits);
    if (bytes == 518) {
      EXPECT_EQ(answer, units);
      EXPECT_EQ(units[259], 0);
    } else {
      EXPECT_EQ(answer, nullptr) << bytes;
    }
    EXPECT_EQ(units[ntPathUnits], L'#') << bytes << ": written past the buffer";
  }
}

// Listing: the names in the order found, an empty folder gives an empty Array; a file fails
// with 9 carrying 20, a missing drive with 9 carrying 19.
TEST_F(Win_Files, DirectoryListing) {
  fs::create_directory(path("empty"));
  for (const char* leaf : {"one.txt", "two.txt"}) std::ofstream(path(leaf)) << leaf;
  PrimOutcome listed = callPrimitive(1690, name(dir), {});
  ASSERT_FALSE(listed.failed);
  std::vector<std::string> names;
  for (uint64_t i = 0; i < bodyWordsOf(headerOf(listed.result)); i++) names.push_back(textOf(slotOf(listed.result, i)));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"empty", "one.txt", "two.txt"}));
  PrimOutcome empty = callPrimitive(1690, name(path("empty")), {});
  ASSERT_FALSE(empty.failed);
  EXPECT_EQ(bodyWordsOf(headerOf(empty.result)), 0u);
  FailureInfo file = failureOf(callPrimitive(1690, name(path("one.txt")), {}));
  EXPECT_EQ(file.code, 9);
  EXPECT_EQ(file.value, 20);
  DWORD drives = GetLogicalDrives();
  char letter = 'Z';
  while (letter > 'C' && (drives & (1u << (letter - 'A')))) letter--;
  ASSERT_GT(letter, 'C') << "no free drive letter";
  FailureInfo drive = failureOf(callPrimitive(1690, name(std::string(1, letter) + ":\\x"), {}));
  EXPECT_EQ(drive.code, 9);
  EXPECT_EQ(drive.value, 19);
}

// A read-only file is not writable; 1608 true makes it writable, false read-only again.
TEST_F(Win_Files, WritableFlag) {
  std::ofstream(path("ro.txt")) << "x";
  SetFileAttributesA(path("ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  oop f = name(path("ro.txt"));
  EXPECT_EQ(callPrimitive(1607, f, {}).result, falseOop());
  EXPECT_FALSE(callPrimitive(1608, f, {trueOop()}).failed);
  EXPECT_EQ(callPrimitive(1607, f, {}).result, trueOop());
  EXPECT_FALSE(callPrimitive(1608, f, {falseOop()}).failed);
  EXPECT_EQ(callPrimitive(1607, f, {}).result, falseOop());
  EXPECT_EQ(failureOf(callPrimitive(1608, f, {nilOop()})).code, 3);
  SetFileAttributesA(path("ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Error names: classes and symbolic names of known codes, the undocumented name of others.
TEST_F(Win_Files, ErrorNames) {
  const struct { int64_t code; const char *className, *name; } cases[] = {
      {2, "ENOENT", "ERROR_FILE_NOT_FOUND"}, {32, "EPIPE", "ERROR_SHARING_VIOLATION"},
      {10062, "EELOOP", "WSAELOOP"}, {0x7FFF0, nullptr, "ERROR_UNDOCUMENTED"}};
  for (const auto& c : cases) {
    PrimOutcome cls = callPrimitive(696, nilOop(), {smallIntegerFor(c.code)});
    if (c.className == nullptr) {
      EXPECT_EQ(failureOf(cls).code, 0) << c.code;
    } else {
      ASSERT_FALSE(cls.failed) << c.code;
      EXPECT_EQ(textOf(cls.result), c.className);
    }
    PrimOutcome name = callPrimitive(697, nilOop(), {smallIntegerFor(c.code)});
    ASSERT_FALSE(name.failed) << c.code;
    EXPECT_EQ(textOf(name.result), c.name);
  }
  EXPECT_EQ(failureOf(callPrimitive(696, nilOop(), {nilOop()})).code, 3);
}

// Libraries: the program itself (330 nil) exports the request test; the test library's
// functions are found by name, by ordinal and by the name with an underscore; a library
// freed once is no longer one (331 again fails with 3).
TEST_F(Win_Files, LibrariesByNameAndOrdinal) {
  initHandleRegistry();
  ASSERT_NE(GetModuleFileNameW(nullptr, modulePath, ntPathUnits), 0u);
  PrimOutcome self = callPrimitive(330, nilOop(), {nilOop()});
  ASSERT_FALSE(self.failed) << failureOf(self).code << " " << failureOf(self).value;
  PrimOutcome requests = callPrimitive(332, nilOop(), {byteString("anyRequests"), self.result});
  ASSERT_FALSE(requests.failed);
  uint64_t address = 0;
  ASSERT_TRUE(oopToQ64(requests.result, &address));
  EXPECT_EQ(address, uint64_t(GetProcAddress(GetModuleHandleW(nullptr), "anyRequests")));
  EXPECT_FALSE(callPrimitive(331, nilOop(), {self.result}).failed);

  std::string dll = TESSEL_TEST_DLL;
  std::replace(dll.begin(), dll.end(), '/', '\\');
  if (dll[0] == '\\') dll = "Z:" + dll;  // the build's Unix path, as Wine maps it
  PrimOutcome library = callPrimitive(330, nilOop(), {byteString(dll)});
  ASSERT_FALSE(library.failed) << dll << " " << failureOf(library).value;
  auto call = [&](oop symbol) -> int64_t {
    PrimOutcome f = callPrimitive(332, nilOop(), {symbol, library.result});
    uint64_t a = 0;
    if (f.failed || !oopToQ64(f.result, &a)) return -failureOf(f).code;
    return reinterpret_cast<long long (*)()>(a)();
  };
  EXPECT_EQ(call(byteString("testdllAnswer")), 42);
  EXPECT_EQ(call(smallIntegerFor(5)), 42);
  EXPECT_EQ(call(byteString("testdllUnderscored")), 7);
  EXPECT_EQ(call(smallIntegerFor(9)), 7);
  EXPECT_EQ(call(byteString("noSuchFunction")), -9);
  EXPECT_EQ(call(smallIntegerFor(0)), -3);
  EXPECT_FALSE(callPrimitive(331, nilOop(), {library.result}).failed);
  EXPECT_EQ(failureOf(callPrimitive(331, nilOop(), {library.result})).code, 3);
  EXPECT_EQ(failureOf(callPrimitive(330, nilOop(), {byteString(dir + "\\missing.dll")})).code, 9);
}

}  // namespace
