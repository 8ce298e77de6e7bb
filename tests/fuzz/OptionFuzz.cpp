// libFuzzer target: any command line goes through the engine's option walk and numeric
// syntax without a crash or undefined behaviour. The input's lines are the arguments; a
// fatal report (a bad option, the help) ends the walk here through the exit hook. A value
// that parses is checked against its range and, for plain decimals, against strtoull.
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"

static jmp_buf walkEnded;
static void endWalk() { longjmp(walkEnded, 1); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QZ_LOG_DIR", "/dev/null", 1);  // -xq: the dump's file cannot be made, and is not
  initError();
  return 0;
}

static void resetOptions() {
  imageFilename = nullptr, desiredLoadPolicyName = nullptr, resourceClassName = "St80";
  qrxOptions = 0, reportVersionOnly = 0, dumpStackOnExit = 0, printHelp = 0;
  showHerald = 1, loadGUIOnStartup = 0, IEEEInfNaN = 0;
  vmExiting = 0, bannerPending = 0;
  for (uint64_t* size : {&mOptionEdenSpaceSize, &mOptionSurvivorSpaceSize, &mOptionLargeSpaceSize,
                         &mOptionStackSpaceSize, &mOptionCompiledCodeCacheSize, &mOptionOldSpaceHeadroom,
                         &mOptionFixedSpaceInitialSize})
    *size = 0;
}

// The first line, when it is a plain decimal below 2^64, must parse to its own value.
static void checkNumeric(const std::string& text) {
  if (text.empty() || text.size() > 19 || text[0] == '0' || text.find_first_not_of("0123456789") != std::string::npos)
    return;
  uint64_t value = parseNumericOption(0, ~uint64_t(0), "o", "options", text.c_str());
  if (value != strtoull(text.c_str(), nullptr, 10)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; i++) {
    if (data[i] == '\n') lines.emplace_back();
    else if (data[i] != 0) lines.back() += char(data[i]);
  }
  std::vector<char*> argv{const_cast<char*>("tessel")};
  for (std::string& line : lines) argv.push_back(line.data());
  argv.push_back(nullptr);
  resetOptions();
  pdTerminateWindow = endWalk;
  if (setjmp(walkEnded) == 0) {
    checkNumeric(lines[0]);
    walkArguments(int(argv.size()) - 1, argv.data());
    uint64_t low = 40000, high = 0x10000000;
    if (mOptionEdenSpaceSize != 0 && (mOptionEdenSpaceSize < low || mOptionEdenSpaceSize > high)) abort();
  }
  return 0;
}
