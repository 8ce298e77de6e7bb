// mkimage tests: image files: the same input gives the same bytes, the written header reads
// back through the engine's own header checks and describes the heap that was built, a
// failed run leaves no file, and the engine loads the image.
#include <sys/stat.h>

#include "ext/exInit.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "ext/exOption.h"
#include "mman/heapVerifier.h"
#include "mman/loadImages.h"
#include "mman/mmImageHeader.h"
#include "mman/mmInit.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"
#include "prim/prStartup.h"

namespace {

const std::string dir = MKIMAGE_DIR;
const std::string helloSources = dir + "/kernel/*.som " + dir + "/examples/Hello.som";

std::string bytesOf(oop o) {
  return std::string(reinterpret_cast<const char*>(bodyOf(headerOf(o))), byteSizeOf(headerOf(o)));
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string makeImage(const std::string& path, const std::string& rest, int expected) {
  std::string out;
  remove(path.c_str());
  EXPECT_EQ(runCommand(std::string(MKIMAGE_EXE) + " -o " + path + " " + rest, out), expected) << out;
  return out;
}

}  // namespace

TEST(MkImage_CommandLine, TheSameInputGivesTheSameFile) {
  std::string a = testing::TempDir() + "mk_a.im", b = testing::TempDir() + "mk_b.im";
  std::string c = testing::TempDir() + "mk_c.im";
  EXPECT_EQ(makeImage(a, helloSources + " --args Hello", 0), "");
  EXPECT_EQ(makeImage(b, helloSources + " --args Hello", 0), "");
  EXPECT_EQ(makeImage(c, helloSources + " --args Hello there", 0), "");
  std::string first = readText(a), second = readText(b), third = readText(c);
  EXPECT_GT(first.size(), size_t(imageHeaderBytes));
  EXPECT_TRUE(first == second) << "two runs wrote different images";
  EXPECT_FALSE(first == third) << "the arguments did not reach the image";
  remove(a.c_str()), remove(b.c_str()), remove(c.c_str());
}

TEST(MkImage_CommandLine, AFailedRunWritesNoImage) {
  std::string bad = testing::TempDir() + "mk_img_bad.som", lone = testing::TempDir() + "mk_img_lone.som";
  std::ofstream(bad) << "Bad = (\n  m = ( ^zork := 1 )\n)\n";
  std::ofstream(lone) << "Object = nil ( )\n";
  std::string image = testing::TempDir() + "mk_never.im";
  struct Case {
    std::string path, rest;
    int status;
    std::string message;  // the start of what is printed
  } cases[] = {
      {image, dir + "/kernel/*.som " + bad + " --args Bad", 1, bad + ":2:10: cannot assign to 'zork'"},
      {image, lone, 1, "mkimage: the kernel class Class is missing"},
      {testing::TempDir() + "mk_no_such_dir/x.im", helloSources, 1, "mkimage: cannot write "},
      {image, "--args Hello", 2, "usage: mkimage"},
      // Patches for bad-input images: malformed, or naming what is not there.
      {image, "--registry 3=foo " + helloSources, 2, "usage: mkimage"},
      {image, "--registry x=nil " + helloSources, 2, "usage: mkimage"},
      {image, "--registry 8=# " + helloSources, 2, "usage: mkimage"},
      {image, "--registry 8=#noSuchSelector " + helloSources + " --args Hello", 1,
       "mkimage: no Symbol #noSuchSelector for registry slot 8"},
      {image, "--registry 9999=nil " + helloSources + " --args Hello", 1, "mkimage: no registry slot 9999"},
      {image, "--bad-bytecode 'Hello>>nothing' " + helloSources, 1,
       "mkimage: no method Hello>>nothing for a bad bytecode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rest);
    std::string out = makeImage(c.path, c.rest, c.status);
    EXPECT_EQ(out.substr(0, c.message.size()), c.message);
    EXPECT_FALSE(exists(c.path));
  }
  std::string out;
  EXPECT_EQ(runCommand(std::string(MKIMAGE_EXE) + " " + helloSources + " --args Hello", out), 2);
  EXPECT_EQ(out.substr(0, 14), "usage: mkimage");
}

// The image of the kernel as mkimage writes it: the heap verifier accepts the heap, and the
// file's header passes the engine's checks and names the registry, class-table pointer and
// hash state that the build left.
TEST(MkImage_File, TheHeaderReadsBackAndDescribesTheHeap) {
  MkProgram program = compileWithKernel({{"Hello.som", readText(dir + "/examples/Hello.som")}});
  ASSERT_TRUE(mkNewHeap());
  MkBuilt built;
  std::string err;
  ASSERT_TRUE(mkBuildHeap(program, {"Hello"}, built, err)) << err;
  EXPECT_HEAP_VALID();
  oop registry = sysOopRegistryOop;
  uint32_t pointer = classTableAllocationPointer, hash = lastHash;
  std::string path = testing::TempDir() + "mk_header.im";
  uint64_t bytes = 0;
  ASSERT_EQ(iwWriteImage(path.c_str(), IwWriteOptions(), &bytes), 0);
  iwFreeHeap();
  EXPECT_EQ(readText(path).size(), bytes);

  sysOopRegistryOop = 0, classTableAllocationPointer = 0, lastHash = 0, prevFirstFreeSlotX = 0;
  EXPECT_EQ(loadImageHeader(path.c_str(), 1), 1);
  closeImageFile();
  EXPECT_EQ(sysOopRegistryOop, registry);
  EXPECT_EQ(classTableAllocationPointer, pointer);
  EXPECT_EQ(lastHash, hash);
  EXPECT_EQ(prevFirstFreeSlotX, uint32_t(sysFirstRunTimeSlot));
  EXPECT_EQ(imageLayout.type, imageType64);
  EXPECT_EQ(imageLayout.loadPolicy, uint32_t(loadNormal));
  EXPECT_EQ(imageLayout.format, uint8_t(imagePlain));
  EXPECT_EQ(imageLayout.pastSpaceBytes, 0u);  // every object is old
  EXPECT_EQ(imageLayout.oldSegmentsMinusOne, 0u);
  EXPECT_GE(registry, imageLayout.oldOTStart);
  EXPECT_LT(registry, imageLayout.oldOTStart + imageLayout.oldOTBytes);
  EXPECT_EQ(imageLayout.oldOTBytes % otEntryBytes, 0u);
  EXPECT_GT(imageLayout.oldDataBytes, 0u);
  remove(path.c_str());
}

// The engine's loader takes the image: the loaded heap passes the heap verifier, and the
// objects start-up reads are there, relocated: the constants' classes, the registry's
// tables, and the active process resuming System>>start. The real program loads it whole and
// reboots into that process, which runs Smalltalk: no fatal report of the engine.
TEST(MkImage_Load, TheEngineLoadsTheImage) {
  MkProgram program = compileWithKernel({{"Hello.som", readText(dir + "/examples/Hello.som")}});
  std::string path = testing::TempDir() + "mk_load.im", err;
  ASSERT_TRUE(mkWriteImage(program, {"Hello"}, path.c_str(), err)) << err;
  ASSERT_TRUE(loadImageInProcess(path));
  EXPECT_HEAP_VALID();
  auto nameOf = [](oop cls) { return bytesOf(slotOf(cls, 3)); };
  EXPECT_EQ(nameOf(classOf(nilOop())), "Nil");
  EXPECT_EQ(nameOf(classOf(trueOop())), "True");
  EXPECT_EQ(nameOf(classAt(classIndexArray)), "Array");
  EXPECT_EQ(nameOf(sysOop(sysSmallIntegerClass)), "SmallInteger");
  EXPECT_EQ(bodyWordsOf(headerOf(sysOop(sysSpecialSelectors))), uint64_t(2 * mkNumSpecials));
  EXPECT_EQ(bodyWordsOf(headerOf(sysOop(sysPrimErrorTable))), uint64_t(mkErrorTableSlots));
  oop process = slotOf(sysOop(sysProcessor), 1);
  EXPECT_EQ(nameOf(classOf(process)), "Process");
  oop context = slotOf(process, 1);
  EXPECT_EQ(classTagOf(headerOf(context)), uint32_t(classIndexMethodContext));
  oop method = slotOf(context, 0);
  EXPECT_EQ(bytesOf(slotOf(method, 2)), "start");
  EXPECT_EQ(nameOf(slotOf(method, 1)), "System");
  EXPECT_EQ(nameOf(classOf(slotOf(context, 3))), "System");
  freeLoadedKernel();

  std::string out;
  runCommand(std::string(TESSEL_EXE) + " " + path, out);
  EXPECT_EQ(out.find("Fatal error"), std::string::npos) << out;
  remove(path.c_str());
}
