// The tessel program run as a user runs it: options, usage texts, image-header
// failures and exit statuses.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>
#include <vector>

#include "mman/loadImages.h"
#include "mman/mmImageHeader.h"
#include "mman/mmSysOop.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/testHeap.h"
#include "imageWriter.h"
#include "ext/platform.h"
#include <zlib.h>

namespace {

struct ProcessRun {
  std::string out;  // standard output
  std::string err;  // standard error
  int status;       // exit status
};

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, (size_t)n);
  return text;
}

// nofile, when given, is the child's descriptor limit (soft and hard).
ProcessRun runTessel(std::vector<std::string> args, const char* env = nullptr, rlim_t nofile = 0) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {"", "pipe failed", -1};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1), dup2(err[1], 2);
    close(out[0]), close(err[0]);
    if (env != nullptr) putenv((char*)env);
    struct rlimit limit = {nofile, nofile};
    if (nofile != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    std::vector<char*> argv{(char*)"tessel"};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(TESSEL_EXE, argv.data());
    _exit(127);
  }
  close(out[1]), close(err[1]);
  ProcessRun run;
  run.out = readAll(out[0]);  // outputs are small: the pipes never fill
  run.err = readAll(err[0]);
  close(out[0]), close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

const std::string banner = "tessel 0.1 Smalltalk virtual machine for x86-64\n";

const std::string usage =
    "usage: tessel -className -gui -guilib guilib.so -ieeefp -l policy -m1 bytes -m2 bytes -m3 "
    "bytes -m4 bytes -m5 bytes -m6 bytes -m7 bytes -noherald -v -xq -? imagefile.im\n\n"
    "usage: tessel [engine options] -=imagefile.im [image options]\n\n";

const std::string longHelp =
    "\nVirtual Machine Options:\n\n"
    "-className cn\tuse cn as the class name for X11 resource database searches.\n"
    "-gui   \tload default gui subsystem shared library on startup\n"
    "-guilib guilib.so\tload specified gui subsystem shared library on startup\n"
    "-ieeefp \tfloat primitives answer Inf and NaNs\n"
    "-l policy\toverrides image load policy\n"
    "\t\tpromote to load all objects into permspace\n"
    "\t\tdemote to load all objects into oldspace\n"
    "\t\tnormal to load objects into their current spaces\n"
    "-m1 bytes \tset the eden space size to bytes\n"
    "-m2 bytes \tset the survivor space size to bytes\n"
    "-m3 bytes \tset the large space size to bytes\n"
    "-m4 bytes \tset the stack space size to bytes\n"
    "-m5 bytes \tset the compiled code cache size to bytes\n"
    "-m6 bytes \tset the old space headroom to bytes\n"
    "-m7 bytes \tset the fixed space initial size to bytes\n"
    "-noherald\tsuppress printing of herald string and display of splash screen\n"
    "-v\t\tdisplay engine and image version information\n"
    "-xq\t\tgenerate stack dump in stack.txt on exit\n"
    "-?\t\tdisplay this help\n"
    "-= imagefile\tsupply image name, ending options parsed by engine\n"
    "\t\toptions after -= imagefile are then available to the image\n\n"
    "Numeric option syntax:\n"
    "\tPrefix with + or - to add or subtract\n"
    "\tPrefix with 0 for octal or 0x for hexadecimal\n"
    "\tSuffix with k for kilobytes, m for megabytes or g for gigabytes\n"
    "\tSuffix with s for shift, e.g. 8s is 256 (1 bitShift: 8)\n\n";

TEST(Process_Usage, HelpTextIsExact) {
  std::string help = usage.substr(0, usage.size() - 1) + longHelp + "\n";
  for (const char* option : {"-?", "-x", "-xz"}) {
    ProcessRun r = runTessel({option});
    EXPECT_EQ(r.status, 0) << option;
    EXPECT_EQ(r.out, help) << option;
  }
}

// Each failing option: the banner, the report, the empty text of number 7 and the usage,
// then status 7.
TEST(Process_Options, FailuresReportAndExitSeven) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-m1", "010"}, "Can't set option 'm1' (eden space size) to 8, should be between 40000 and 268435456."},
      {{"-m3", "-1"}, "Can't set option 'm3' (large space size) to -1, should be between 0 and 1073741824."},
      {{"-m1", "12q"}, "Option 'm1' (eden space size) badly formed option value '12q'."},
      {{"-m1", "12kk"}, "Option 'm1' (eden space size) badly formed option value '12kk'."},
      {{"-m1", "+"}, "Option 'm1' (eden space size) badly formed option value '+'."},
      {{"-m1", ""}, "Option 'm1' (eden space size) badly formed option value ''."},
      {{"-m2", "0x"}, "Option 'm2' (survivor space size) badly formed option value '0x'."},
      {{"-m4", "09"}, "Option 'm4' (stack space size) badly formed option value '09'."},
      {{"-m9"}, "Missing argument to -m9"},
      {{"-m9", "5"}, "No such option 'm'"},
      {{"-m", "5"}, "No such option 'm'"},
      {{"-m1"}, "Missing argument to -m1"},
      {{"-guilib"}, "Missing argument to -guilib"},
      {{"-className"}, "Missing argument to -className"},
      {{"-l"}, "Missing argument to -l"},
      {{"-o"}, "Missing argument to -o"},
      {{"-="}, "Missing argument to -="},
      {{"-q"}, "No such option 'q'"},
      {{"-1"}, "No such option '1'"},
      {{"-c"}, "No such option 'c'"},
      {{"-nosuch"}, "No such option 'n'"},
      {{"-o", "0xZ"}, "Option 'o' (options) badly formed option value '0xZ'."},
      {{"-m1", "0x10000000000040000"}, "Option 'm1' (eden space size) badly formed option value '0x10000000000040000'."},
      {{"-m1", "18446744073709551617"}, "Option 'm1' (eden space size) badly formed option value '18446744073709551617'."},
      {{"-m3", "17179869184g"}, "Option 'm3' (large space size) badly formed option value '17179869184g'."},
      {{"-m3", "17592186044416M"}, "Option 'm3' (large space size) badly formed option value '17592186044416M'."},
      {{"-m3", "18014398509481984k"}, "Option 'm3' (large space size) badly formed option value '18014398509481984k'."},
      {{"-m3", "64s"}, "Option 'm3' (large space size) badly formed option value '64s'."},
      {{"-m0", "5"}, "No such option 'm'"},
      {{"-m8", "5"}, "No such option 'm'"},
      {{"-"}, "No such option '-'"},
  };
  for (const Case& c : cases) {
    ProcessRun r = runTessel(c.args);
    EXPECT_EQ(r.status, 7) << c.message;
    EXPECT_EQ(r.out, banner + "Fatal error: " + c.message + "\n\n" + usage) << c.message;
  }
}

TEST(Process_Image, MissingImage) {
  ProcessRun r = runTessel({"nosuch.im"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, banner + "Error: Can't open nosuch.im\n\n" + usage);
  r = runTessel({});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, banner + "Error: No image filename supplied.\n\n" + usage);
  r = runTessel({"-v", "nosuch.im"});  // a named image is reported as at any start
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, banner + "Error: Can't open nosuch.im\n\n" + usage);
  std::string folder = testing::TempDir();  // a directory opens but cannot be read
  r = runTessel({folder});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, banner + "Error: Can't open " + folder + ": Is a directory\n\n" + usage);
  r = runTessel({"-v"});  // without one, the engine's own version
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, banner.size()), banner);
  EXPECT_NE(r.out.find("\tVI   version: 0 minor: 0 release: 0 variant: 0\n"), std::string::npos);
}

ImageHeader goodHeader() {
  ImageHeader h;
  memset(&h, 0, sizeof h);
  h.imageType = imageType64;
  h.imageSubType = 2;
  h.flags = imageFlagSameOrder;
  memcpy(h.viSig, "\x01\x02\x03\x04", 4);
  memcpy(h.vmId, "\x48\x40\x4c\x35", 4);
  strcpy(h.heraldString, "Test Image 7");
  h.marker = imageMarker;
  sealImageHeader(&h);
  return h;
}

std::string writeFile(const char* name, const void* bytes, size_t count) {
  std::string path = testing::TempDir() + name;
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(bytes, 1, count, f);
  fclose(f);
  return path;
}

TEST(Process_Image, VersionReportsTheHeaderIdentification) {
  ImageHeader h = goodHeader();
  std::string path = writeFile("v.im", &h, sizeof h);
  ProcessRun r = runTessel({"-v", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 13), "Test Image 7\n");
  EXPECT_NE(r.out.find("\tVM   version: 72 platform: 64 release: 76.12 flags: 0\n"), std::string::npos);
  EXPECT_NE(r.out.find("\tVI   version: 1 minor: 2 release: 3 variant: 4\n"), std::string::npos);
  EXPECT_NE(r.out.find("\tFrom version: 72 platform: 64 release: 76.4 flags: 5\n"), std::string::npos);
}

// Bytes of no image: every byte set, none of them a NUL, as a random file would be.
void fillWithNoise(ImageHeader* h) {
  uint8_t* b = reinterpret_cast<uint8_t*>(h);
  uint32_t x = 12345;
  for (size_t i = 0; i < sizeof *h; i++) x = x * 1103515245 + 12345, b[i] = uint8_t(0x80 | (x >> 16));
}

// Each refused header: the report (its first line is the banner, which is the image's
// herald once the header has been copied) and the status of its code.
TEST(Process_Image, HeaderFailures) {
  const std::string truncated = "\nError.\nUnable to read the image file. File may be truncated.\n";
  const std::string incompatible = "\nYour image file is not compatible with the virtual machine.\n";
  struct Case {
    const char* name;
    void (*spoil)(ImageHeader*);
    size_t bytes;
    std::vector<std::string> options;
    std::string report;
    int status;
  } cases[] = {
      {"short.im", nullptr, 1023, {}, banner + "src/mman/mmImageHeader.cpp:", 1},
      {"short.im", nullptr, 1023, {}, truncated, 1},
      {"empty.im", nullptr, 0, {}, truncated, 1},
      {"t9.im", [](ImageHeader* h) { h->imageType = 9; }, 1024, {},
       banner + "Error: The VM is 64-bit but the image is 32-bit.\n", 3},
      {"t9.im", [](ImageHeader* h) { h->imageType = 9; }, 1024, {},
       "\nError: The VM is 64-bit but the image is 32-bit.\n" + incompatible.substr(1), 3},
      {"s3.im", [](ImageHeader* h) { h->imageSubType = 3; }, 1024, {},
       banner + "Error: The image may depend", 3},
      {"s3.im", [](ImageHeader* h) { h->imageSubType = 3; }, 1024, {},
       "\nError: The image may depend on features that the VM does not support" + incompatible, 3},
      {"fmt.im", [](ImageHeader* h) { h->fileFormat = 2; }, 1024, {},
       "\nFatal error: unrecognized image format\nCan't load image.\n", 2},
      {"pol.im", nullptr, 1024, {"-l", "sideways"},
       banner + "Fatal error: invalid load policy\n\n" + usage, 7},
      {"zero.im", [](ImageHeader* h) { memset(h, 0, sizeof *h); }, 1024, {},
       banner + "Error: The file is not an image file.\n" + incompatible.substr(1), 3},
      {"noise.im", fillWithNoise, 1024, {}, banner + "Error: The file is not an image file.\n", 3},
      {"noised.im", [](ImageHeader* h) { fillWithNoise(h), h->marker = imageMarker, h->fileFormat = 0xC7; },
       1024, {}, banner + "src/mman/mmImageHeader.cpp:", 2},
      {"noised.im", [](ImageHeader* h) { fillWithNoise(h), h->marker = imageMarker, h->fileFormat = 0xC7; },
       1024, {}, "\nFatal error: unrecognized image format\n", 2},
      {"zerov.im", [](ImageHeader* h) { memset(h, 0, sizeof *h); }, 1024, {"-v"},
       banner + "Error: The file is not an image file.\n" + incompatible.substr(1), 3},
  };
  for (const Case& c : cases) {
    ImageHeader h = goodHeader();
    if (c.spoil) c.spoil(&h);
    std::string path = writeFile(c.name, &h, c.bytes);
    std::vector<std::string> args = c.options;
    args.push_back(path);
    ProcessRun r = runTessel(args);
    EXPECT_EQ(r.status, c.status) << c.name;
    bool atStart = c.report.compare(0, 1, "\n") != 0;
    if (atStart) EXPECT_EQ(r.out.substr(0, c.report.size()), c.report) << c.name;
    else EXPECT_NE(r.out.find(c.report), std::string::npos) << c.name << ": " << r.out;
  }
}

TEST(Process_Image, TypeCheckCanBeSkipped) {
  ImageHeader h = goodHeader();
  h.imageSubType = 3;
  std::string path = writeFile("s3ok.im", &h, sizeof h);
  ProcessRun r = runTessel({"-o", "0x40000", path});
  EXPECT_EQ(r.status, 2);  // accepted: start-up goes on to the kernel
}

// Good headers of either byte order pass every check; start-up then stops where image
// loading is not built yet, with its own report and status.
TEST(Process_Image, AcceptedHeadersReachKernelStartUp) {
  ImageHeader same = goodHeader();
  ImageHeader other = goodHeader();
  other.flags = 0;
  other.oldDataStart = 0x1122334455667788;  // the swap must be repaired, not just accepted
  swapImageHeader(&other);
  for (ImageHeader* h : {&same, &other}) {
    std::string path = writeFile("ok.im", h, sizeof *h);
    ProcessRun r = runTessel({"-noherald", path});
    EXPECT_EQ(r.status, 2);  // a header alone holds no registry: the body is refused
    EXPECT_NE(r.out.find("Fatal error: Bad oop contained in image"), std::string::npos) << r.out;
  }
}

TEST(Process_Exit, DumpOnExitGoesToTheLogDirectory) {
  std::string dir = testing::TempDir() + "qzlog";
  mkdir(dir.c_str(), 0777);
  std::string stack = dir + "/stack.txt";
  remove(stack.c_str());
  std::string env = "QZ_LOG_DIR=" + dir;
  ProcessRun r = runTessel({"-xq", "-?"}, env.c_str());
  EXPECT_EQ(r.status, 0);
  FILE* f = fopen(stack.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string dump;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) dump.append(chunk, n);
  fclose(f);
  // The version line and the time, the heading, then the sections (no image: no processes).
  size_t heading = dump.find("\nDump on vmExit:\nCould not find any processes!\n");
  EXPECT_NE(dump.find("\nVM version: "), std::string::npos) << dump;
  EXPECT_LT(dump.find("\nVM version: "), heading) << dump;
  EXPECT_NE(dump.find("\nMemory manager:\n", heading), std::string::npos) << dump;
  EXPECT_EQ(dump.substr(dump.size() - 2), "\n\n");
}

// A log directory too long for a report-file name makes the dump itself fail fatally while
// the process is ending: that report is printed once and the first status stands.
TEST(Process_Exit, AReportDuringExitDoesNotExitAgain) {
  std::string env = "QZ_LOG_DIR=/" + std::string(4090, 'd');
  ProcessRun r = runTessel({"-xq", "-m1", "12q"}, env.c_str());
  EXPECT_EQ(r.status, 7) << r.out;
  const std::string tooLong = "QZ_LOG_DIR is too long to be safe";
  size_t first = r.out.find(tooLong);
  EXPECT_NE(first, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(tooLong, first + 1), std::string::npos) << r.out;
}

// A write that runs out of room (here a file size limit; a full disk fails the same way)
// answers EFBIG at the close and leaves the old image byte for byte and no temporary file
// beside it; a pipe no one reads is refused (ENXIO) without being touched.
TEST(Process_ImageWrite, AFailedSnapshotLeavesTheOldImage) {
  std::string dir = testing::TempDir() + "fullwrite";
  mkdir(dir.c_str(), 0777);
  std::string target = dir + "/old.im";
  std::vector<uint8_t> old(3000);
  for (size_t i = 0; i < old.size(); i++) old[i] = uint8_t(i * 7);
  writeFileBytes(target, old);
  std::string pipePath = dir + "/pipe.im";
  remove(pipePath.c_str());
  ASSERT_EQ(mkfifo(pipePath.c_str(), 0666), 0);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8192, 8192};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<uint8_t> image(65536, 0x5A);
    int error = 0;
    int64_t fd = pdOpenImage(target.c_str(), pdOpenSnapshot, &error);
    if (fd < 0) _exit(3);
    pdWrite(fd, image.data(), image.size(), &error);
    int closed = pdCloseImage(fd);
    fd = pdOpenImage(pipePath.c_str(), pdOpenSnapshot, &error);
    _exit(closed != EFBIG ? 4 : fd >= 0 || error != ENXIO ? 5 : 0);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFileBytes(target), old);
  int entries = 0;
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr);
  while (struct dirent* e = readdir(d)) entries += e->d_name[0] != '.';
  closedir(d);
  EXPECT_EQ(entries, 2);
  struct stat st;
  EXPECT_TRUE(stat(pipePath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  remove(target.c_str());
  remove(pipePath.c_str());
}

// ---- Whole images ------------------------------------------------------------------------

// A whole load of a heap without a scheduler ends in the reboot's report (0x1400: status 9).
const char stopReport[] = "Fatal error: Image has no processes ready to be activated.";

// The compressed image with the gzip header the standard tool writes for a named file, with
// every optional field present: extra field, file name, comment and header CRC.
std::vector<uint8_t> withFullGzipHeader(const std::vector<uint8_t>& packed) {
  std::vector<uint8_t> out(packed.begin(), packed.begin() + imageHeaderBytes);
  std::vector<uint8_t> gz = {0x1F, 0x8B, 0x08, 0x1E, 1, 2, 3, 4, 0, 3, 4, 0, 'a', 'b', 'c', 'd'};
  for (const char* text : {"image.im", "a comment"}) gz.insert(gz.end(), text, text + strlen(text) + 1);
  uint32_t crc = uint32_t(crc32(0, gz.data(), uInt(gz.size())));
  gz.push_back(uint8_t(crc)), gz.push_back(uint8_t(crc >> 8));
  out.insert(out.end(), gz.begin(), gz.end());
  out.insert(out.end(), packed.begin() + imageHeaderBytes + 10, packed.end());
  return out;
}

// The spanning heap of the in-process load tests, written once per test as a plain image.
class Process_Load : public ::testing::Test {
 protected:
  std::vector<std::string> files;
  std::string plain;

  void SetUp() override {
    buildSpanningHeap();
    plain = path("plain.im");
    std::string why = writeHeapImage(plain, loadNormal);
    if (why.empty()) why = writeHeapImage(path("gzip.im"), loadNormal, gzipForm);
    if (why.empty()) why = writeHeapImage(path("swapped.im"), loadNormal, otherOrderForm);
    iwFreeHeap();
    ASSERT_EQ(why, "");
  }
  void TearDown() override {
    for (const std::string& f : files) remove(f.c_str());
  }
  std::string path(const char* name) {
    files.push_back(tempImagePath(name));
    return files.back();
  }
  std::string withBytes(const char* name, const std::vector<uint8_t>& bytes) {
    std::string p = path(name);
    writeFileBytes(p, bytes);
    return p;
  }
};

TEST_F(Process_Load, EveryFormAndOptionReachesTheStopPoint) {
  std::string gzip = files[1], swapped = files[2];
  std::string named = withBytes("named.im", withFullGzipHeader(readFileBytes(gzip)));
  std::vector<std::vector<std::string>> runs = {
      {plain}, {gzip}, {swapped}, {named}, {"-l", "demote", plain}, {"-l", "normal", gzip},
      {"-m1", "600k", plain}, {"-m2", "200k", plain}, {"-m3", "1m", plain}, {"-m4", "300k", plain},
      {"-m5", "2m", plain}, {"-m6", "4m", plain}, {"-m7", "500k", plain},
  };
  for (std::vector<std::string> args : runs) {
    args.insert(args.begin(), "-noherald");
    ProcessRun r = runTessel(args);
    EXPECT_EQ(r.status, 9) << args[1] << "\n" << r.out;
    EXPECT_NE(r.out.find(stopReport), std::string::npos) << args[1] << "\n" << r.out;
  }
}

// Start-up's descriptor bookkeeping copes with a small limit.
TEST_F(Process_Load, StartsUnderALowDescriptorLimit) {
  ProcessRun r = runTessel({"-noherald", plain}, nullptr, 64);
  EXPECT_EQ(r.status, 9) << r.out;
  EXPECT_NE(r.out.find(stopReport), std::string::npos) << r.out;
}

// -l names a policy whole; an unknown one and promoting an image that has perm space are
// fatal with their own codes (0x1407: status 7; 0x4400: low byte 0, status 9).
TEST_F(Process_Load, PolicyFailures) {
  struct Case {
    const char* policy;
    const char* report;
    int status;
  } cases[] = {
      {"promotex", "Fatal error: invalid load policy", 7},
      {"promote", "Fatal error: Unable to promote objects from OldSpace to PermSpace", 9},
  };
  for (const Case& c : cases) {
    ProcessRun r = runTessel({"-noherald", "-l", c.policy, plain});
    EXPECT_EQ(r.status, c.status) << c.policy << "\n" << r.out;
    EXPECT_NE(r.out.find(c.report), std::string::npos) << c.policy << "\n" << r.out;
  }
}

std::vector<uint8_t> cut(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

// Damaged files end with the report of the space whose read came up short, never a hang.
TEST_F(Process_Load, DamagedFilesEndWithTheirReport) {
  std::vector<uint8_t> good = readFileBytes(plain), packed = readFileBytes(files[1]);
  ImageHeader header;
  memcpy(&header, good.data(), sizeof header);
  std::vector<uint8_t> promising = good;
  reinterpret_cast<ImageHeader*>(promising.data())->oldOTBytes += 16 * 1000;
  std::vector<uint8_t> badStream = packed;
  badStream[imageHeaderBytes + 10] = 0xFF;  // a deflate block of the reserved type
  std::vector<uint8_t> wrongMethod = packed;
  wrongMethod[imageHeaderBytes + 2] = 7;
  std::vector<uint8_t> shortStream = packed;  // a well-formed stream that ends early
  reinterpret_cast<ImageHeader*>(shortStream.data())->oldOTBytes += 16 * 1000;
  const char truncated[] = "\nUnable to read the image file. File may be truncated.";
  // Without perm space the first read is new space's, then large space's: header-only
  // files whose first short read is of those.
  std::vector<uint8_t> noPerm = cut(good, imageHeaderBytes), noPermOrPast;
  ImageHeader* h = reinterpret_cast<ImageHeader*>(noPerm.data());
  h->permDataBytes = 0, h->permOTBytes = 0;
  noPermOrPast = noPerm;
  reinterpret_cast<ImageHeader*>(noPermOrPast.data())->pastSpaceBytes = 0;
  struct Case {
    std::string file;
    const char* report;
  } cases[] = {
      {withBytes("cut.im", cut(good, good.size() - 100)), "Fatal error: Can't initialize OldSpace"},
      {withBytes("promise.im", promising), "Fatal error: Can't initialize OldSpace"},
      {withBytes("badgz.im", badStream), "Fatal error: Can't initialize PermSpace"},
      {withBytes("shortgz.im", shortStream), "Fatal error: Can't initialize OldSpace"},
      {withBytes("cutgz.im", cut(packed, packed.size() - 20)), "Fatal error: Can't initialize OldSpace"},
      {withBytes("tinygz.im", cut(packed, imageHeaderBytes + 5)), "Fatal error: Can't initialize PermSpace"},
      {withBytes("gz3.im", cut(packed, imageHeaderBytes + 3)), truncated},
      {withBytes("gz9.im", cut(packed, imageHeaderBytes + 9)), truncated},
      {withBytes("method.im", wrongMethod), truncated},
      {withBytes("header.im", cut(good, imageHeaderBytes)), truncated},
      {withBytes("headergz.im", cut(packed, imageHeaderBytes)), truncated},
      {withBytes("bodycut.im", cut(good, imageHeaderBytes + 24)), truncated},
      {withBytes("nopast.im", noPerm), "Can't initialize VM caches\nUnable to read the image file"},
      {withBytes("nolarge.im", noPermOrPast), "Can't initialize VM caches\nUnable to read the image file"},
  };
  for (const Case& c : cases) {
    ProcessRun r = runTessel({"-noherald", c.file});
    EXPECT_EQ(r.status, 1) << c.file << "\n" << r.out;
    EXPECT_NE(r.out.find(c.report), std::string::npos) << c.file << "\n" << r.out;
  }
}

// Each space fraction of the header (x 10000 of the space's default) may give the space no
// more than its option's largest value: just within that it loads, just beyond it and at
// the largest fraction the report names the field. Then the saved sizes and the fractions
// of a whole.
TEST_F(Process_Load, HeaderFieldsBeyondTheirRangesAreRefused) {
  std::vector<uint8_t> good = readFileBytes(plain);
  struct Space {
    uint32_t ImageHeader::*field;
    const char* name;  // as the report names it, with its offset
    double defaultBytes, maxBytes;
  } spaces[] = {
      {&ImageHeader::edenSizeFraction, "240 (eden space size fraction)", 460800, 0x10000000},
      {&ImageHeader::survivorSizeFraction, "244 (survivor space size fraction)", 92160, 0x8000000},
      {&ImageHeader::largeSizeFraction, "248 (large space size fraction)", 307200, 0x40000000},
      {&ImageHeader::stackSizeFraction, "252 (stack space size fraction)", 81920, 0x2000000},
      {&ImageHeader::codeCacheSizeFraction, "256 (compiled code cache size fraction)", 983040, 0x40000000},
      {&ImageHeader::oldHeadroomFraction, "260 (old space headroom fraction)", 196608 * 8, 0x40000000},
      {&ImageHeader::fixedSizeFraction, "352 (fixed space initial size fraction)", 307200, 0x40000000},
  };
  auto withHeader = [&](void (*change)(ImageHeader*, const void*), const void* how) {
    std::vector<uint8_t> bytes = good;
    ImageHeader* h = reinterpret_cast<ImageHeader*>(bytes.data());
    change(h, how);
    sealImageHeader(h);
    return withBytes("field.im", bytes);
  };
  auto expectRun = [&](const std::string& file, int status, const std::string& report, const std::string& what) {
    ProcessRun r = runTessel({"-noherald", file});
    EXPECT_EQ(r.status, status) << what << "\n" << r.out;
    EXPECT_NE(r.out.find(report), std::string::npos) << what << "\n" << r.out;
  };
  for (const Space& s : spaces) {
    double largest = s.maxBytes / s.defaultBytes * 10000;
    for (double fraction : {0.0, largest * 0.999, largest * 1.001, double(0x7fffffff)}) {
      struct Change { uint32_t ImageHeader::*field; uint32_t value; } c = {s.field, uint32_t(fraction)};
      std::string file = withHeader([](ImageHeader* h, const void* how) {
        const Change* c = static_cast<const Change*>(how);
        h->*c->field = c->value;
      }, &c);
      bool within = fraction < largest;
      expectRun(file, within ? 9 : 2,
                within ? stopReport : std::string("Fatal error: Bad image header field at ") + s.name + ": ",
                std::string(s.name) + " " + std::to_string(c.value));
    }
  }
  struct Saved {
    void (*change)(ImageHeader*, const void*);
    const char* report;
    int status;
  } saved[] = {
      {[](ImageHeader* h, const void*) { h->tenureFraction = 10000, h->edenWarningFraction = 10000; }, stopReport, 9},
      {[](ImageHeader* h, const void*) { h->tenureFraction = 10001; }, "field at 60 (tenure fraction): 10001", 2},
      {[](ImageHeader* h, const void*) { h->edenWarningFraction = 0xFFFFFFFF; }, "field at 56 (eden scavenge", 2},
      {[](ImageHeader* h, const void*) { h->largeTenureFraction = 20000; }, "field at 64 (large-space tenure", 2},
      {[](ImageHeader* h, const void*) { h->oldOTBytes += 8; }, "field at 160 (old-space table bytes)", 2},
      {[](ImageHeader* h, const void*) { h->permDataBytes += 4; }, "field at 272 (perm-space data bytes)", 2},
      {[](ImageHeader* h, const void*) { h->pastSpaceBytes = 0x8000000 + 8; }, "field at 96 (past-space bytes)", 2},
      {[](ImageHeader* h, const void*) { h->oldDataBytes = ~uint64_t(7); }, "field at 144 (old-space data bytes)", 2},
  };
  for (const Saved& c : saved) expectRun(withHeader(c.change, nullptr), c.status, c.report, c.report);
}

// The heap built, written as an image (the heap then freed) and loaded by the program, which
// ends with status and report.
void loadsWithReport(const char* name, int status, const char* report) {
  std::string file = tempImagePath(name);
  std::string why = writeHeapImage(file, loadNormal);
  iwFreeHeap();
  ASSERT_EQ(why, "");
  ProcessRun r = runTessel({"-noherald", file});
  EXPECT_EQ(r.status, status) << name << "\n" << r.out;
  EXPECT_NE(r.out.find(report), std::string::npos) << name << "\n" << r.out;
  remove(file.c_str());
}

// Start-up allocates from the free chunks an image brings. Chunks freed into the lists and
// the size tree load; a chunk that lies over a live body is a bad image, refused before
// anything is allocated over the body.
TEST(Process_FreeChunks, AChunkOverALiveBodyIsRefused) {
  // The kept body is small, or big enough for a size word, which the chunk then starts on.
  struct Case {
    const char* name;
    bool overLiveBody;
    uint64_t keptWords;
    int status;
    const char* report;
  } cases[] = {
      {"freed.im", false, 8, 9, stopReport},
      {"overlap.im", true, 8, 2, "Fatal error: Bad oop contained in image"},
      {"oversized.im", true, 300, 2, "Fatal error: Bad oop contained in image"},
  };
  for (const Case& c : cases) {
    buildSpanningHeap();
    iwUseOldSegment(0);
    ObjectHeader* listed = allocInOldSpace(classIndexArray, 0, 5 * 8, hasPtrsBit, nilOop(), 1);
    ObjectHeader* treed = allocInOldSpace(classIndexArray, 0, 100 * 8, hasPtrsBit, nilOop(), 1);
    ObjectHeader* kept = allocInOldSpace(classIndexArray, 0, c.keptWords * 8, hasPtrsBit, nilOop(), 1);
    ASSERT_TRUE(listed != nullptr && treed != nullptr && kept != nullptr);
    ASSERT_EQ(hasSizeWord(kept), c.keptWords > 8) << c.name;
    recycleOldObj(listed);
    recycleOldObj(treed);
    if (c.overLiveBody) freeOldData(kept->dataPtr - (hasSizeWord(kept) ? 8 : 0), 8);
    loadsWithReport(c.name, c.status, c.report);
  }
}

// Old data large enough that its reading and relocation are shared among threads: a slot
// that names no object is refused wherever it lies (a small body far into the data, a body
// with a size word, whose slots are relocated only once the data is in).
TEST(Process_LargeLoad, ABadSlotIsRefusedWhereverItLies) {
  enum Damage { none, smallBody, sizedBody };
  struct Case {
    const char* name;
    Damage damage;
    int status;
    const char* report;
  } cases[] = {
      {"large.im", none, 9, stopReport},
      {"badsmall.im", smallBody, 2, "Fatal error: Bad oop contained in image"},
      {"badsized.im", sizedBody, 2, "Fatal error: Bad oop contained in image"},
  };
  for (const Case& c : cases) {
    IwHeapSizes sizes;
    sizes.oldSlots = (pdSharedReadBytes + (4 << 20)) / 8;
    ASSERT_TRUE(iwNewHeap(sizes));
    addWeakArrayClass();
    // A body with a size word first, then byte bodies past the shared size, then a small one.
    oop sized = newOldObject(classIndexArray, 300), root = newOldObject(classIndexArray, 3);
    ASSERT_TRUE(sized != 0 && root != 0);
    while (slotsUsedInOldSpace() * 8 < pdSharedReadBytes + (1 << 20)) ASSERT_NE(newOldObject(classIndexByteArray, 60000), 0u);
    oop small = newOldObject(classIndexArray, 4);
    ASSERT_NE(small, 0u);
    storeSlot(root, 0, sized, __FILE__, __LINE__);
    storeSlot(root, 1, small, __FILE__, __LINE__);
    sysOopRegistry[sysProcessor] = root;
    if (c.damage != none) bodyOf(headerOf(c.damage == smallBody ? small : sized))[2] = small + 8;  // between two entries
    loadsWithReport(c.name, c.status, c.report);
  }
}

// TESSEL_GC_REPORT: the collectors' usage lines on standard error at exit, whatever ends
// the run (here start-up's stop report); unset or 0 prints none.
TEST_F(Process_Load, GcReportPrintsTheCollectorsUsageAtExit) {
  const char* const report =
      "IGCs: 0, mark stack overflows: 0, aborts: 0\nGGCs: 0, GCs: 0\n"
      "Mark stack overflows: 0, weak object list overflows: 0\nScavenges: ";
  struct Case {
    const char* env;
    bool printed;
  } cases[] = {{nullptr, false}, {"TESSEL_GC_REPORT=0", false}, {"TESSEL_GC_REPORT=1", true}};
  for (const Case& c : cases) {
    ProcessRun r = runTessel({"-noherald", plain}, c.env);
    EXPECT_EQ(r.status, 9) << r.out;
    EXPECT_EQ(r.err.find(report) != std::string::npos, c.printed) << (c.env ? c.env : "unset") << "\n" << r.err;
    EXPECT_EQ(r.err.find("IGCs:") != std::string::npos, c.printed) << r.err;
  }
}

// Under the scavenge stress switch start-up runs one scavenge, checked by the heap verifier
// before and after; an old object that refers to a new one without a remembered entry is
// found and reported as fatal (0x405: status 5).
TEST_F(Process_Load, ScavengeStressVerifiesTheLoadedHeap) {
  ProcessRun r = runTessel({"-noherald", plain}, "TESSEL_SCAVENGE_STRESS=1");
  EXPECT_EQ(r.status, 9) << r.out;
  EXPECT_NE(r.out.find(stopReport), std::string::npos) << r.out;
  SpanningHeap heap = buildSpanningHeap();
  iwUseOldSegment(0);
  ObjectHeader* holder = allocInOldSpace(classIndexArray, 0, 8, hasPtrsBit, nilOop(), 1);
  ASSERT_TRUE(holder != nullptr && heap.places[2] == Place::past);
  bodyOf(holder)[0] = heap.oops[2];  // stored past the store check
  std::string file = path("unremembered.im");
  std::string why = writeHeapImage(file, loadNormal);
  iwFreeHeap();
  ASSERT_EQ(why, "");
  r = runTessel({"-noherald", file}, "TESSEL_SCAVENGE_STRESS=1");
  EXPECT_EQ(r.status, 5) << r.out;
  EXPECT_NE(r.out.find("Heap verification failed before scavenge"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no old-to-new reference without a remembered entry"), std::string::npos) << r.out;
}

}  // namespace
