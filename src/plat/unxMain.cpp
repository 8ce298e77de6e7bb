// Unix layer: program entry, start-up and reporting services, the platform hooks and
// the initFunctions table handed to the GUI library.
// Prefix: pd (platform services), oeMain, adjustOEReportFileName.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "plat/unxMain.h"
#include "prim/prStartup.h"

// ---- Hooks and their defaults ------------------------------------------------------

static void doNothing() {}
static void doNothingWithText(const char*) {}
static void doNothingFor(uint64_t) {}

// The default bell writes a backspace to the terminal: a BEL would sound on every
// terminal, and the image only wants to draw attention.
static void ringBellOnTty() {
  FILE* tty = fopen("/dev/tty", "a");
  if (tty == nullptr) return;
  fputc(0x08, tty);
  fflush(tty);
  fclose(tty);
}

static void latin1Encoding(const char** name, uint16_t** characterTable) {
  *name = "ISO8859L1";
  *characterTable = nullptr;  // identity mapping of the 256 byte codes
}

void (*pdBlockUntilEvent)() = waitForIO;
void (*pdFinishLongComp)() = doNothing;
void (*pdHeraldScreen)(const char*) = doNothingWithText;
void (*pdInformSystemReady)() = doNothing;
void (*pdRingBell)() = ringBellOnTty;
void (*pdStartLongComp)(uint64_t) = doNothingFor;
void (*pdStringEncoding)(const char**, uint16_t**) = latin1Encoding;
void (*pdSynchronizeInput)() = signal_userfds;
void (*pdTerminateWindow)() = doNothing;

// The byte size of one X event kept beside each queued input event.
uint64_t pdSizeOfEvent() { return 192; }

// The GUI library reads the hook addresses by name and rebinds all but pdSizeOfEvent.
InitFunctionEntry initFunctions[initFunctionCount] = {
    {(uint64_t)&pdBlockUntilEvent, "pdBlockUntilEvent"},
    {(uint64_t)&pdFinishLongComp, "pdFinishLongComp"},
    {(uint64_t)&pdHeraldScreen, "pdHeraldScreen"},
    {(uint64_t)&pdInformSystemReady, "pdInformSystemReady"},
    {(uint64_t)&pdRingBell, "pdRingBell"},
    {(uint64_t)&pdSizeOfEvent, "pdSizeOfEvent"},
    {(uint64_t)&pdStartLongComp, "pdStartLongComp"},
    {(uint64_t)&pdStringEncoding, "pdStringEncoding"},
    {(uint64_t)&pdSynchronizeInput, "pdSynchronizeInput"},
    {(uint64_t)&pdTerminateWindow, "pdTerminateWindow"},
};


// ---- Entry -------------------------------------------------------------------------

int oeMain(int argc, char** argv) {
  setlocale(LC_ALL, "");
  program_argc = argc;
  program_argv = argv;
  programPath = argv[0];
  char* slash = argv[0] != nullptr ? strrchr(argv[0], '/') : nullptr;
  programName = slash != nullptr ? slash + 1 : argv[0];
  initError();
  if (imageFilename == nullptr && argc >= 2) walkArguments(argc, argv);
  startSupervisor();
}

// The Unix build's options are the shared ones, -className, -gui and -guilib among them.
const uint32_t pdOptionSet = optionSetUnix;
int pdSetPlatformOption(const char*, const char*, const char*, uint64_t*) { return pdOptionNotMine; }

void pdInitPlatform() { recordWakeThread(); }
void pdAckChildSignal() {}
// The Unix build has no link-registry entries of its own.
void UPInitInternalLinkRegistry() {}

// The Unix layer's sets among start-up's external primitive sets.
void initPlatformGUIPrimitives() { reserveOrLoadGUIPrimitives(); }
void initPlatformPrimitiveSets() { initNewIO(); }

void pdPrint(int suppress, int addNewline, const char* text) {
  if (suppress) return;
  printf(addNewline ? "%s\n" : "%s", text);
  fflush(stdout);
}

// The low byte of the status; a non-zero status whose low byte is 0 exits with 9 so
// that a failure is never reported as success.
int exitStatusFor(uint64_t code) {
  if (code != 0 && (code & 255) == 0) return 9;
  return (int)(code & 255);
}

void pdExit(uint64_t code) {
  fflush(stdout);
  exit(exitStatusFor(code));
}

void pdHerald(const char* text) {
  FILE* tty = fopen("/dev/tty", "a");
  if (tty != nullptr) {
    fprintf(tty, "%s\n", text);
    fclose(tty);
  }
  if (!reportVersionOnly && showHerald) pdHeraldScreen(text);
}

static void printIdLine(const char* label, const uint8_t* id) {
  printf("\t%s version: %d platform: %d release: %d.%d flags: %d\n", label, id[0], id[1], id[2],
         (id[3] >> 4) + 1, id[3] & 15);
}

void pdReportVersion(const char* banner, unsigned vmVersion, unsigned vmPlatform,
                     unsigned vmRelease, unsigned vmFlags, const uint8_t* sig,
                     const uint8_t* fromId) {
  printf("%s\n%s", banner, "This engine runs images made for it; see README.md.\n");
  printf("Release identification ...\n");
  uint8_t vm[4] = {(uint8_t)vmVersion, (uint8_t)vmPlatform, (uint8_t)vmRelease, (uint8_t)vmFlags};
  printIdLine("VM  ", vm);
  printf("\tVI   version: %d minor: %d release: %d variant: %d\n", sig[0], sig[1], sig[2], sig[3]);
  printIdLine("From", fromId);
  fflush(stdout);
}

const char* pdErrorString(int error) {
  const char* text = strerror(error);
  return text != nullptr ? text : "unknown platform error";
}

// The C library's math-error hook: handled, so nothing is printed.
extern "C" int matherr(void*) { return 1; }

FILE* pdDebugLog(int kind) {
  static FILE* debugLog;
  if (kind == 0) return stderr;
  if (kind == 1) return stdout;
  if (debugLog == nullptr) debugLog = fopen(adjustOEReportFileName("debuglog.txt"), "a");
  return debugLog != nullptr ? debugLog : stderr;
}

static char loggingPath[4097];

const char* adjustOEReportFileName(const char* name) {
  const char* dir = getenv("QZ_LOG_DIR");
  if (dir == nullptr) return name;
  if (strlen(dir) + strlen(name) + 2 > 4095)
    REPORT_ERROR("The shell variable QZ_LOG_DIR is too long to be safe", errCauseUser | errFatal);
  snprintf(loggingPath, sizeof loggingPath, "%s/%s", dir, name);
  return loggingPath;
}

uint64_t profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc;

extern "C" char __executable_start, etext;

void pdInitProfile(uint64_t codeZoneStart, uint64_t codeZoneSize) {
  profile_text_lopc = (uint64_t)&__executable_start;
  profile_text_hipc = (uint64_t)&etext;
  profile_nzone_lopc = codeZoneStart;
  profile_nzone_hipc = codeZoneStart + codeZoneSize;
}

// Engine time: microseconds since 1901-01-01 00:00 UTC.
uint64_t pdMicrosecondClock() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) doReportError(nullptr, errPlatformLayer | errFatal, "src/plat/unxTime.c", __LINE__);
  return (uint64_t)now.tv_sec * 1000000 + (uint64_t)now.tv_usec + 2177452800000000ULL;
}
