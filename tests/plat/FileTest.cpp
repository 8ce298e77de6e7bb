// File, directory, miscellaneous and serial primitives on real files, pipes and a pty.
// Permission cases run in a child without privileges when the tests run as root.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termio.h>
#include <unistd.h>
#include <vector>

#include "ext/exOption.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxMain.h"
#include "support/ioKernel.h"

namespace {

struct sigaction savedActions[65];

std::vector<std::string> directoryNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  for (struct dirent* e; d != nullptr && (e = readdir(d)) != nullptr;)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  if (d != nullptr) closedir(d);
  return names;
}

int openDescriptors() { return (int)directoryNames("/proc/self/fd").size(); }

class FileTestBase : public testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    for (int s = 1; s <= 64; s++) sigaction(s, nullptr, &savedActions[s]);
    newIOTestHeap();
    initNewIO();
    char pattern[] = "/tmp/tessel-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    savedMaxUfds = max_ufds, savedMaxFds = max_fds;
  }
  void TearDown() override {
    (void)!system(("chmod -R u+rwx " + dir + " && rm -rf " + dir).c_str());
    for (int s = 1; s <= 64; s++)
      if (s != SIGKILL && s != SIGSTOP) sigaction(s, &savedActions[s], nullptr);
    max_ufds = savedMaxUfds;
    max_fds = savedMaxFds;
    freeTestHeap();
  }
  // Descriptor limits a test lowers or raises, as set-up left them.
  int32_t savedMaxUfds = max_ufds, savedMaxFds = max_fds;
  static oop holder(oop slot0, oop slot1) {
    oop h = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(h))[0] = slot0;
    bodyOf(headerOf(h))[1] = slot1;
    return h;
  }
  static oop descriptor(int fd) { return holder(nilOop(), smallIntegerFor(fd)); }
  static oop name(const std::string& path) { return holder(byteString(path), nilOop()); }
  static oop buffer(uint64_t bytes) { return oopOf(allocVSObj(sysOop(sysByteArrayClass), bytes)); }
  std::string file(const std::string& leaf, const std::string& contents = "") {
    std::string p = dir + "/" + leaf;
    FILE* f = fopen(p.c_str(), "w");
    fputs(contents.c_str(), f);
    fclose(f);
    return p;
  }
  static FailureInfo failure(uint32_t number, oop receiver, std::initializer_list<oop> args) {
    return failureOf(callPrimitive(number, receiver, args));
  }
};

class Unix_Files : public FileTestBase {};

TEST_F(Unix_Files, OpenWriteSeekReadSizeTruncateClose) {
  int usedBefore = used_ufds;
  PrimOutcome opened = callPrimitive(1610, name(dir + "/data"), {smallIntegerFor(2), smallIntegerFor(3)});
  ASSERT_FALSE(opened.failed);
  EXPECT_EQ(used_ufds, usedBefore + 1);
  int fd = (int)smallIntegerValue(opened.result);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  oop h = descriptor(fd), text = byteString("..hello world");
  EXPECT_EQ(callPrimitive(661, h, {text, smallIntegerFor(3), smallIntegerFor(11)}).result, smallIntegerFor(11));
  EXPECT_EQ(callPrimitive(662, h, {smallIntegerFor(0)}).result, smallIntegerFor(0));
  oop in = buffer(20);
  EXPECT_EQ(callPrimitive(660, h, {in, smallIntegerFor(2), smallIntegerFor(19)}).result, smallIntegerFor(11));
  EXPECT_EQ(textOf(in).substr(1, 11), "hello world");
  EXPECT_EQ(callPrimitive(662, h, {nilOop()}).result, smallIntegerFor(11));
  EXPECT_EQ(callPrimitive(666, h, {}).result, smallIntegerFor(11));
  EXPECT_EQ(callPrimitive(664, h, {smallIntegerFor(5)}).result, h);
  EXPECT_EQ(callPrimitive(666, h, {}).result, smallIntegerFor(5));
  EXPECT_EQ(callPrimitive(665, h, {}).result, h);
  EXPECT_EQ(callPrimitive(651, h, {}).result, h);
  EXPECT_EQ(used_ufds, usedBefore);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(failure(651, h, {}).value, EBADF);
}

TEST_F(Unix_Files, TimesSizeModeAndExistence) {
  std::string p = file("t", "abc");
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  PrimOutcome times = callPrimitive(1600, name(p), {});
  ASSERT_FALSE(times.failed);
  ASSERT_EQ(byteSizeOf(headerOf(times.result)), 24u);
  const uint8_t* b = (const uint8_t*)bodyOf(headerOf(times.result));
  int64_t expected[3] = {st.st_atime, st.st_mtime, st.st_ctime};
  for (int t = 0; t < 3; t++) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = v << 8 | b[t * 8 + i];
    EXPECT_EQ(v, (uint64_t)expected[t] + 2177452800u) << t;
  }
  EXPECT_EQ(callPrimitive(1606, name(p), {}).result, smallIntegerFor(3));
  EXPECT_EQ(callPrimitive(1617, name(p), {}).result, smallIntegerFor(st.st_mode & 07777));
  EXPECT_EQ(callPrimitive(1602, name(p), {}).result, falseOop());
  EXPECT_EQ(callPrimitive(1602, name(dir), {}).result, trueOop());
  EXPECT_EQ(failure(1602, name("/dev/null"), {}).code, 5);
  EXPECT_EQ(callPrimitive(1609, name(p), {}).result, trueOop());
  EXPECT_EQ(callPrimitive(1609, name(p + "/under-a-file"), {}).result, falseOop());
  EXPECT_EQ(callPrimitive(1609, name(dir + "/none"), {}).result, falseOop());
  ASSERT_FALSE(callPrimitive(1615, name(p), {smallIntegerFor(0640)}).failed);
  EXPECT_EQ(callPrimitive(1617, name(p), {}).result, smallIntegerFor(0640));
  ASSERT_FALSE(callPrimitive(1603, name(p), {name(dir + "/moved")}).failed);
  EXPECT_EQ(failure(1603, name(dir + "/moved"), {byteString("x")}).code, 3);
  ASSERT_FALSE(callPrimitive(663, name(dir + "/moved"), {name(dir + "/link"), trueOop()}).failed);
  char target[256] = {0};
  ASSERT_GT(readlink((dir + "/link").c_str(), target, sizeof target), 0);
  EXPECT_EQ(std::string(target), dir + "/moved");
}

TEST_F(Unix_Files, SetWritableUnderTheUmask) {
  struct Case {
    bool directory;
    mode_t start, umask;
    bool writable;
    mode_t expected;
  } cases[] = {
      {false, 0444, 022, true, 0644}, {false, 0444, 002, true, 0664}, {false, 0440, 077, true, 0640}, {false, 0666, 022, false, 0444},
      {true, 0555, 022, true, 0755},  {true, 0500, 077, true, 0700},  {true, 0777, 022, false, 0555},
  };
  mode_t saved = umask(0);
  int i = 0;
  for (const Case& c : cases) {
    std::string p = dir + "/w" + std::to_string(i++);
    if (c.directory) mkdir(p.c_str(), 0700);
    else file(p.substr(dir.size() + 1));
    chmod(p.c_str(), c.start);
    umask(c.umask);
    EXPECT_FALSE(callPrimitive(1608, name(p), {booleanOop(c.writable)}).failed);
    struct stat st;
    stat(p.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, c.expected) << p;
  }
  umask(saved);
  EXPECT_EQ(failure(1608, name(dir), {nilOop()}).code, 3);
}

// Names are bytes: control characters, 0xFF and a line end come back from the listing as
// they went into open, in readdir order.
TEST_F(Unix_Files, OddNamesRoundTripInReaddirOrder) {
  std::vector<std::string> leaves = {"a\x01" "b", "c\xFF", "line\nend", "plain"};
  for (const std::string& leaf : leaves) {
    PrimOutcome r = callPrimitive(1610, name(dir + "/" + leaf), {smallIntegerFor(1), smallIntegerFor(1)});
    ASSERT_FALSE(r.failed) << leaf;
    callPrimitive(651, descriptor((int)smallIntegerValue(r.result)), {});
  }
  PrimOutcome list = callPrimitive(1690, name(dir), {});
  ASSERT_FALSE(list.failed);
  std::vector<std::string> listed;
  for (uint64_t i = 0; i < byteSizeOf(headerOf(list.result)) / 8; i++) listed.push_back(textOf(slotOf(list.result, i)));
  EXPECT_EQ(listed, directoryNames(dir));
  std::sort(listed.begin(), listed.end());
  std::sort(leaves.begin(), leaves.end());
  EXPECT_EQ(listed, leaves);
  PrimOutcome root = callPrimitive(1690, name("/"), {});
  ASSERT_FALSE(root.failed);
  for (uint64_t i = 0; i < byteSizeOf(headerOf(root.result)) / 8; i++) {
    EXPECT_NE(textOf(slotOf(root.result, i)), ".");
    EXPECT_NE(textOf(slotOf(root.result, i)), "..");
  }
}

TEST_F(Unix_Files, DescriptorBadInput) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  fcntl(p[0], F_SETFL, O_NONBLOCK);
  oop in = descriptor(p[0]), buf = buffer(8);
  struct Case {
    const char* what;
    oop receiver, start, count;
    int code;           // -1: answers
    int64_t answerOrErrno;
  } cases[] = {
      {"empty non-blocking pipe", in, smallIntegerFor(1), smallIntegerFor(8), 9, EAGAIN},
      {"count 0", in, smallIntegerFor(1), smallIntegerFor(0), 3, -1},
      {"count -1", in, smallIntegerFor(1), smallIntegerFor(-1), 3, -1},
      {"start 0", in, smallIntegerFor(0), smallIntegerFor(1), 3, -1},
      {"one past the end", in, smallIntegerFor(2), smallIntegerFor(8), 3, -1},
      {"descriptor -1", descriptor(-1), smallIntegerFor(1), smallIntegerFor(1), 4, -1},
      {"descriptor max_fds", descriptor(max_fds), smallIntegerFor(1), smallIntegerFor(1), 4, -1},
      {"descriptor nil", holder(nilOop(), nilOop()), smallIntegerFor(1), smallIntegerFor(1), 4, -1},
  };
  for (const Case& c : cases) {
    FailureInfo f = failure(660, c.receiver, {buf, c.start, c.count});
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.answerOrErrno) << c.what;
  }
  (void)!write(p[1], "1234567", 7);
  EXPECT_EQ(callPrimitive(660, in, {buf, smallIntegerFor(2), smallIntegerFor(7)}).result, smallIntegerFor(7));
  close(p[1]);
  EXPECT_EQ(callPrimitive(660, in, {buf, smallIntegerFor(1), smallIntegerFor(8)}).result, smallIntegerFor(0));
  close(p[0]);
  EXPECT_EQ(failure(660, in, {buf, smallIntegerFor(1), smallIntegerFor(8)}).value, EBADF);
  EXPECT_EQ(failure(661, in, {buf, smallIntegerFor(1), smallIntegerFor(8)}).value, EBADF);
}

// Runs check in a child without privileges when root (else here); the child's status is
// the number of failed expectations.
void asUnprivileged(const std::function<int()>& check) {
  if (geteuid() != 0) {
    EXPECT_EQ(check(), 0);
    return;
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(check());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Unix_Files, PathBadInput) {
  std::string p = file("f", "x");
  std::string sub = dir + "/sub";
  mkdir(sub.c_str(), 0777);
  file("sub/inner");
  std::string longPath = "/" + std::string(4094, 'n');  // 4095 bytes
  std::string withZero = dir + std::string("/f\0x", 4);
  struct Case {
    const char* what;
    uint32_t number;
    oop receiver;
    std::vector<oop> args;
    int code;
    int64_t value;
  } cases[] = {
      {"access index 5", 1610, name(p), {smallIntegerFor(5), smallIntegerFor(0)}, 3, -1},
      {"creation index -1", 1610, name(p), {smallIntegerFor(0), smallIntegerFor(-1)}, 3, -1},
      {"path of 4096 bytes", 1610, name(longPath + "n"), {smallIntegerFor(0), smallIntegerFor(0)}, 9, ENAMETOOLONG},
      {"path of 4097 bytes", 1610, name(longPath + "nn"), {smallIntegerFor(0), smallIntegerFor(0)}, 4, -1},
      {"path with a zero byte", 1610, name(withZero), {smallIntegerFor(0), smallIntegerFor(0)}, 4, -1},
      {"path of 4096 bytes, stat", 1606, name(longPath + "n"), {}, 4, -1},
      {"no file", 1606, name(dir + "/none"), {}, 9, ENOENT},
      {"non-empty directory", 1601, name(sub), {}, 9, ENOTEMPTY},
      {"list a regular file", 1690, name(p), {}, 9, ENOTDIR},
      {"path not a string", 1609, holder(smallIntegerFor(3), nilOop()), {}, 4, -1},
  };
  for (const Case& c : cases) {
    PrimOutcome r = c.args.size() == 2 ? callPrimitive(c.number, c.receiver, {c.args[0], c.args[1]})
                                       : callPrimitive(c.number, c.receiver, {});
    FailureInfo f = failureOf(r);
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.value) << c.what;
  }
  ASSERT_FALSE(callPrimitive(1601, name(sub + "/inner"), {}).failed);
  ASSERT_FALSE(callPrimitive(1601, name(sub), {}).failed);  // now empty
  chmod(p.c_str(), 0);
  chmod(dir.c_str(), 0755);
  oop unreadable = name(p);
  asUnprivileged([&] {
    FailureInfo f = failureOf(callPrimitive(1610, unreadable, {smallIntegerFor(0), smallIntegerFor(0)}));
    return (f.code != 9) + (f.value != EACCES) + (callPrimitive(1607, unreadable, {}).result != falseOop());
  });
}

TEST_F(Unix_Files, DescriptorLimitIsCheckedBeforeOpening) {
  std::string p = file("f");
  max_ufds = used_ufds + 1;
  PrimOutcome first = callPrimitive(1610, name(p), {smallIntegerFor(0), smallIntegerFor(0)});
  ASSERT_FALSE(first.failed);
  int before = openDescriptors();
  FailureInfo refused = failureOf(callPrimitive(1610, name(p), {smallIntegerFor(0), smallIntegerFor(0)}));
  EXPECT_EQ(refused.code, 9);
  EXPECT_EQ(refused.value, EMFILE);
  EXPECT_EQ(openDescriptors(), before);
  callPrimitive(651, descriptor((int)smallIntegerValue(first.result)), {});
  PrimOutcome again = callPrimitive(1610, name(p), {smallIntegerFor(0), smallIntegerFor(0)});
  ASSERT_FALSE(again.failed);
  callPrimitive(651, descriptor((int)smallIntegerValue(again.result)), {});
}

TEST_F(Unix_Files, ReadinessSemaphores) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  oop in = descriptor(p[0]), s = newSemaphore();
  EXPECT_EQ(failure(668, in, {s, falseOop()}).code, 24);  // before 699
  ASSERT_FALSE(callPrimitive(699, nilOop(), {oopOf(allocVSObj(sysOop(sysArrayClass), 3))}).failed);
  EXPECT_EQ(failure(668, in, {s, nilOop()}).code, 3);
  EXPECT_EQ(failure(668, in, {smallIntegerFor(1), falseOop()}).code, 3);
  EXPECT_EQ(callPrimitive(668, in, {s, falseOop()}).result, falseOop());  // nothing to read
  EXPECT_EQ(ioSemaphoreAt(p[0], 0), s);
  (void)!write(p[1], "x", 1);
  EXPECT_EQ(callPrimitive(668, in, {s, falseOop()}).result, trueOop());
  EXPECT_EQ(excessSignals(s), 1);
  EXPECT_EQ(ioSemaphoreAt(p[0], 0), nilOop());
  EXPECT_EQ(callPrimitive(668, in, {nilOop(), falseOop()}).result, trueOop());
  EXPECT_EQ(excessSignals(s), 1);
  close(p[0]), close(p[1]);
}

// Above 4096 descriptors the table has two levels, chunks made on first use.
TEST_F(Unix_Files, TwoLevelSemaphoreTable) {
  max_fds = 16384;
  ASSERT_EQ(initIOSemMachinery(), 0u);
  oop table = sysOop((uint32_t)ioSemTableX);
  EXPECT_EQ(byteSizeOf(headerOf(table)) / 8, 5u);
  oop s = newSemaphore();
  ASSERT_EQ(setIOsem(5000, 1, s), 0u);
  oop chunk = slotOf(table, 1);
  ASSERT_NE(chunk, nilOop());
  EXPECT_EQ(slotOf(chunk, 1809), s);
  EXPECT_EQ(slotOf(table, 0), nilOop());
  signalIOsem(5000, 1);
  EXPECT_EQ(excessSignals(s), 1);
  EXPECT_EQ(slotOf(chunk, 1809), nilOop());
}

// ---- Miscellaneous and serial ---------------------------------------------------------------

class Unix_Misc : public FileTestBase {};

TEST_F(Unix_Misc, CommandLineEnvironmentProcess) {
  char a0[] = "/opt/tessel", a1[] = "-m1", a2[] = "100000", a3[] = "\xFF\x01 x", a4[] = "";
  char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  int savedArgc = program_argc;
  char** savedArgv = program_argv;
  program_argc = 5, program_argv = argv;
  PrimOutcome line = callPrimitive(691, nilOop(), {});
  program_argc = savedArgc, program_argv = savedArgv;
  ASSERT_FALSE(line.failed);
  ASSERT_EQ(byteSizeOf(headerOf(line.result)), 5u * 8);
  for (int i = 0; i < 5; i++) EXPECT_EQ(textOf(slotOf(line.result, i)), argv[i]);
  setenv("TESSEL_TEST_VARIABLE", "a=b", 1);
  PrimOutcome env = callPrimitive(690, nilOop(), {});
  ASSERT_FALSE(env.failed);
  bool found = false;
  for (uint64_t i = 0; i < byteSizeOf(headerOf(env.result)) / 8; i++)
    found |= textOf(slotOf(env.result, i)) == "TESSEL_TEST_VARIABLE=a=b";
  EXPECT_TRUE(found);
  EXPECT_EQ(callPrimitive(692, nilOop(), {}).result, smallIntegerFor(getpid()));
  for (uint64_t slots : {2, 4})
    EXPECT_EQ(failure(699, nilOop(), {oopOf(allocVSObj(sysOop(sysArrayClass), slots))}).code, 3);
  PrimOutcome io = callPrimitive(699, nilOop(), {oopOf(allocVSObj(sysOop(sysArrayClass), 3))});
  ASSERT_FALSE(io.failed);
  EXPECT_EQ(textOf(io.result), "unix sysV x86_64 linux");
}

TEST_F(Unix_Misc, LocaleDescriptorQueriesAndLocks) {
  struct Case {
    const char *lcAll, *lang, *lcType, *name, *locale;
  } cases[] = {{nullptr, "de_DE@euro", nullptr, "de_DE@euro", "de_DE"},
               {"", "en_US.UTF-8", "fr_FR", "en_US.UTF-8", "en_US"},
               {"pt_BR", "en_US", nullptr, "pt_BR", "pt_BR"},
               {nullptr, nullptr, "sv_SE.ISO-8859-1", "sv_SE.ISO-8859-1", "sv_SE"}};
  for (const Case& c : cases) {
    const char* names[] = {"LC_ALL", "LANG", "LC_CTYPE"};
    const char* values[] = {c.lcAll, c.lang, c.lcType};
    for (int i = 0; i < 3; i++) values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
    EXPECT_EQ(textOf(callPrimitive(471, nilOop(), {}).result), c.name);
    PrimOutcome pair = callPrimitive(346, nilOop(), {});
    ASSERT_FALSE(pair.failed);
    EXPECT_EQ(textOf(slotOf(pair.result, 0)), c.locale);
  }
  std::string p = file("lock", "0123456789");
  int fd = open(p.c_str(), O_RDONLY);
  FailureInfo lock = failure(667, descriptor(fd), {trueOop(), smallIntegerFor(0)});
  EXPECT_EQ(lock.code, 9);
  EXPECT_EQ(lock.value, EACCES);
  EXPECT_EQ(failure(667, descriptor(fd), {nilOop(), smallIntegerFor(0)}).code, 3);
  EXPECT_EQ(callPrimitive(612, descriptor(fd), {}).result, smallIntegerFor(fd));
  EXPECT_EQ(failure(612, descriptor(max_fds), {}).code, 4);
  EXPECT_EQ(callPrimitive(669, descriptor(fd), {}).result, smallIntegerFor(10));
  struct stat st;
  fstat(fd, &st);
  EXPECT_EQ(callPrimitive(611, descriptor(fd), {}).result, smallIntegerFor(st.st_blksize));
  close(fd);
  int rw = open(p.c_str(), O_RDWR);
  EXPECT_EQ(callPrimitive(667, descriptor(rw), {trueOop(), smallIntegerFor(4)}).failed, false);
  EXPECT_EQ(callPrimitive(667, descriptor(rw), {falseOop(), smallIntegerFor(4)}).failed, false);
  close(rw);
}

TEST_F(Unix_Misc, TerminalLines) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  PrimOutcome opened = callPrimitive(655, nilOop(), {byteString(ptsname(master))});
  ASSERT_FALSE(opened.failed);
  int fd = (int)smallIntegerValue(opened.result);
  oop line = descriptor(fd);
  struct termio t;
  ASSERT_EQ(ioctl(fd, TCGETA, &t), 0);
  PrimOutcome got = callPrimitive(637, line, {});
  ASSERT_FALSE(got.failed);
  ASSERT_EQ(byteSizeOf(headerOf(got.result)), 18u);
  EXPECT_EQ(memcmp(bodyOf(headerOf(got.result)), &t, 18), 0);
  EXPECT_EQ(failure(638, line, {buffer(17)}).code, 3);
  EXPECT_EQ(callPrimitive(638, line, {got.result}).result, line);
  EXPECT_EQ(callPrimitive(639, line, {smallIntegerFor(0), smallIntegerFor(0), falseOop()}).result,
            smallIntegerFor(t.c_cflag));
  PrimOutcome changed = callPrimitive(639, line, {smallIntegerFor(CLOCAL), smallIntegerFor(CLOCAL), falseOop()});
  ASSERT_FALSE(changed.failed);
  EXPECT_EQ(smallIntegerValue(changed.result) & CLOCAL, CLOCAL);
  callPrimitive(651, line, {});
  close(master);
  // A regular file is no terminal: refused, and nothing is left open or counted.
  int used = used_ufds, open = openDescriptors();
  FailureInfo f = failure(655, nilOop(), {byteString(file("plain"))});
  EXPECT_EQ(f.code, 9);
  EXPECT_EQ(f.value, ENOTTY);
  EXPECT_EQ(used_ufds, used);
  EXPECT_EQ(openDescriptors(), open);
  EXPECT_EQ(failure(655, nilOop(), {smallIntegerFor(1)}).code, 3);
}

}  // namespace
