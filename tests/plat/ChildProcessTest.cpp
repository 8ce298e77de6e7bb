// Child processes and descriptor pairs: real /bin/sh children and a helper child that
// reports what it was handed between fork and execve; pipes and pseudo-terminals.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "mman/mmAllocate.h"
#include "plat/unixIOFixture.h"
#include "support/testFiles.h"

namespace {

std::string linkOf(int fd) {
  char target[512];
  ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  return n < 0 ? "" : std::string(target, (size_t)n);
}

class Unix_Children : public UnixIOTest {
 protected:
  void SetUp() override {
    UnixIOTest::SetUp();
    startImageIO();
  }
  oop strings(const std::vector<std::string>& texts) {
    std::vector<oop> slots;
    for (const std::string& t : texts) slots.push_back(byteString(t));
    return arrayOf(slots);
  }
  PrimOutcome start(const std::string& program, oop arguments, oop standard = 0) {
    return callPrimitive(684, nilOop(), {byteString(program), arguments, nilOop(), standard == 0 ? nilOop() : standard});
  }
  // 682's answer for the next child to end, within five seconds; nil when none did.
  oop reap() {
    for (int i = 0; i < 5000; i++, usleep(1000)) {
      PrimOutcome r = callPrimitive(682, nilOop(), {});
      if (!r.failed) return r.result;
    }
    return nilOop();
  }
  static void expectEnded(oop answer, int64_t pid, oop status, oop signal) {
    ASSERT_NE(answer, nilOop());
    EXPECT_EQ(slotOf(answer, 0), smallIntegerFor(pid));
    EXPECT_EQ(slotOf(answer, 1), status);
    EXPECT_EQ(slotOf(answer, 2), signal);
  }
  // Runs the report helper with the standard descriptors given and answers its report.
  std::map<std::string, std::string> report(oop standard) {
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);  // not close-on-exec: the helper writes to it
    PrimOutcome pid = start(TESSEL_CHILD_REPORT, strings({std::to_string(channel[1])}), standard);
    close(channel[1]);
    std::string text = pid.failed ? "" : fileText("/proc/self/fd/" + std::to_string(channel[0]));
    close(channel[0]);
    EXPECT_FALSE(pid.failed);
    if (!pid.failed) expectEnded(reap(), smallIntegerValue(pid.result), smallIntegerFor(0), nilOop());
    std::map<std::string, std::string> items;
    std::istringstream lines(text);
    for (std::string key, value; lines >> key && std::getline(lines, value);) items[key] = value.substr(1);
    return items;
  }
};

// Defaults are /dev/null in and out and the console (or the inherited descriptor where it
// does not open) for errors; given descriptors become blocking; a terminal given as input
// becomes the controlling terminal of the child's own session. Every signal is unblocked,
// the ignored ones stay ignored, and no interval timer runs.
TEST_F(Unix_Children, SetUpBetweenForkAndExecve) {
  registerSignal(SIGUSR1);
  std::string console = access("/dev/console", W_OK) == 0 ? "/dev/console" : linkOf(2);
  auto defaults = report(nilOop());
  EXPECT_EQ(defaults["fd0"], "/dev/null");
  EXPECT_EQ(defaults["fd1"], "/dev/null");
  EXPECT_EQ(defaults["fd2"], console);
  EXPECT_EQ(defaults["SigBlk"], "0000000000000000");
  uint64_t ignored = strtoull(defaults["SigIgn"].c_str(), nullptr, 16);
  for (int s : {SIGHUP, SIGTTIN, SIGTTOU, SIGXCPU, SIGXFSZ}) EXPECT_TRUE(ignored >> (s - 1) & 1) << s;
  EXPECT_EQ(defaults["timers"], "0");
  EXPECT_EQ(defaults["leader"], "1");
  EXPECT_EQ(defaults["tty"], "0");

  int in, out;
  ASSERT_TRUE(newPair(656, &in, &out));
  auto given = report(arrayOf({descriptorHolder(in), descriptorHolder(out), nilOop()}));
  EXPECT_EQ(given["fd0"], linkOf(in));
  EXPECT_EQ(given["fd1"], linkOf(out));
  EXPECT_EQ(given["nonblocking0"], "0");
  EXPECT_EQ(given["nonblocking1"], "0");

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  struct stat st;
  fstat(slave, &st);
  auto terminal = report(arrayOf({descriptorHolder(slave), nilOop(), nilOop()}));
  EXPECT_EQ(terminal["fd0"], ptsname(master));
  EXPECT_EQ(terminal["tty"], std::to_string(st.st_rdev));
  close(slave), close(master), close(in), close(out);
}

TEST_F(Unix_Children, ReapExitStatusesAndSignals) {
  EXPECT_EQ(failure(682, nilOop(), {}).code, 0);  // no child has ended
  PrimOutcome three = start("sh", strings({"-c", "exit 3"}));
  ASSERT_FALSE(three.failed);
  expectEnded(reap(), smallIntegerValue(three.result), smallIntegerFor(3), nilOop());
  PrimOutcome sleeper = start("/bin/sleep", strings({"60"}));
  ASSERT_FALSE(sleeper.failed);
  oop process = descriptorHolder((int)smallIntegerValue(sleeper.result));
  struct Case {
    oop pid, signal;
    int code;
  } refused[] = {{smallIntegerFor(0), smallIntegerFor(9), 3},
                 {smallIntegerFor(-1), smallIntegerFor(9), 3},
                 {smallIntegerFor(int64_t(1) << 32), smallIntegerFor(9), 3},
                 {nilOop(), smallIntegerFor(9), 0},
                 {slotOf(process, 1), nilOop(), 0}};
  for (const Case& c : refused) {
    oop h = descriptorHolder(0);
    bodyOf(headerOf(h))[1] = c.pid;
    EXPECT_EQ(failure(683, h, {c.signal}).code, c.code);
  }
  EXPECT_EQ(callPrimitive(683, process, {smallIntegerFor(SIGKILL)}).result, process);
  expectEnded(reap(), smallIntegerValue(sleeper.result), nilOop(), smallIntegerFor(SIGKILL));
  EXPECT_EQ(failure(682, nilOop(), {}).code, 0);
}

TEST_F(Unix_Children, BadInput) {
  oop none = nilOop(), zero = descriptorHolder(0), one = descriptorHolder(1);
  struct Case {
    const char* what;
    std::string program;
    oop arguments, environment, standard;
    int code;
    int64_t value;
  } cases[] = {
      {"not on PATH", "tessel-no-such-program", none, none, none, 3, 1},
      {"name not a string", "", none, none, none, 3, 1},
      {"arguments not an Array", "sh", byteString("x"), none, none, 3, 2},
      {"an argument not a string", "sh", arrayOf({smallIntegerFor(1)}), none, none, 3, 2},
      {"an environment entry nil", "sh", none, arrayOf({none}), none, 3, 3},
      {"two standard descriptors", "sh", none, none, arrayOf({none, none}), 3, 4},
      {"a standard descriptor no accessor", "sh", none, none, arrayOf({smallIntegerFor(0), none, none}), 3, 4},
      {"output given descriptor 0", "sh", none, none, arrayOf({none, zero, none}), 9, EBADF},
      {"errors given descriptor 1", "sh", none, none, arrayOf({none, none, one}), 9, EBADF},
  };
  for (const Case& c : cases) {
    oop name = c.program.empty() ? smallIntegerFor(5) : byteString(c.program);
    FailureInfo f = failure(684, nilOop(), {name, c.arguments, c.environment, c.standard});
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.value) << c.what;
  }
  EXPECT_EQ(failure(682, nilOop(), {}).code, 0);  // nothing was started

  // A file that may be run but is no program: the child's execve fails and it exits with
  // the low byte of -ENOEXEC.
  char path[] = "/tmp/tessel-noexec-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  (void)!write(fd, "\1\2\3\4 not a program\n", 19);
  close(fd);
  chmod(path, 0755);
  PrimOutcome started = callPrimitive(684, nilOop(), {byteString(path), none, none, arrayOf({none, none, descriptorHolder(2)})});
  ASSERT_FALSE(started.failed);
  expectEnded(reap(), smallIntegerValue(started.result), smallIntegerFor(-ENOEXEC & 0xFF), nilOop());
  unlink(path);
}

class Unix_Pairs : public UnixIOTest {};

TEST_F(Unix_Pairs, PipesAndPseudoTerminals) {
  int used = used_ufds;
  int in, out;
  ASSERT_TRUE(newPair(656, &in, &out));
  EXPECT_EQ(used_ufds, used + 2);
  for (int fd : {in, out}) EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  ASSERT_EQ(write(out, "through", 7), 7);
  char buffer[8];
  EXPECT_EQ(read(in, buffer, sizeof buffer), 7);
  callPrimitive(651, descriptorHolder(in), {});
  callPrimitive(651, descriptorHolder(out), {});
  EXPECT_EQ(used_ufds, used);

  int32_t savedMax = max_ufds;
  max_ufds = used_ufds + 1;
  for (uint32_t number : {656u, 653u}) {
    FailureInfo f = failure(number, nilOop(), {});
    EXPECT_EQ(f.code, 9) << number;
    EXPECT_EQ(f.value, EMFILE) << number;
  }
  max_ufds = savedMax;
  EXPECT_EQ(used_ufds, used);
  struct stat st;
  if (stat("/dev/ptyp0", &st) != 0) {  // no BSD pseudo-terminals here
    FailureInfo f = failure(653, nilOop(), {});
    EXPECT_EQ(f.code, 9);
    EXPECT_EQ(f.value, ENOENT);
  }
}

}  // namespace
