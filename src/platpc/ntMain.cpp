// Windows layer: start-up and reporting services, hooks and the poll nesting used as
// critical sections. The windowed entry and its message boxes come with the Windows
// entry; until then the build behaves as in console mode. Prefix: pd.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/platform.h"

static void doNothing() {}
static void doNothingWithText(const char*) {}
static void doNothingFor(uint64_t) {}
static void beep() { MessageBeep(MB_OK); }
static void ansiEncoding(const char** name, uint16_t** characterTable) {
  *name = "ISO8859L1";
  *characterTable = nullptr;
}

void (*pdBlockUntilEvent)() = doNothing;
void (*pdFinishLongComp)() = doNothing;
void (*pdHeraldScreen)(const char*) = doNothingWithText;
void (*pdInformSystemReady)() = doNothing;
void (*pdRingBell)() = beep;
void (*pdStartLongComp)(uint64_t) = doNothingFor;
void (*pdStringEncoding)(const char**, uint16_t**) = ansiEncoding;
void (*pdSynchronizeInput)() = doNothing;
void (*pdTerminateWindow)() = doNothing;

void pdInitPlatform() {}

void pdPrint(int suppress, int addNewline, const char* text) {
  if (suppress) return;
  printf(addNewline ? "%s \n" : "%s", text);
  fflush(stdout);
}

// The low byte of the status; 9 when a non-zero status has a zero low byte.
void pdExit(uint64_t code) {
  fflush(stdout);
  exit(code != 0 && (code & 255) == 0 ? 9 : (int)(code & 255));
}

void pdHerald(const char*) {}

void pdReportVersion(const char* banner, unsigned vmVersion, unsigned vmPlatform,
                     unsigned vmRelease, unsigned vmFlags, const uint8_t* sig,
                     const uint8_t* fromId) {
  printf("%s\n%s", banner, "This engine runs images made for it; see README.md.\n");
  printf("Release identification ...\n");
  printf("\tVM   version: %u platform: %u release: %u.%u flags: %u\n", vmVersion, vmPlatform,
         vmRelease, (vmFlags >> 4) + 1, vmFlags & 15);
  printf("\tVI   version: %d minor: %d release: %d variant: %d\n", sig[0], sig[1], sig[2], sig[3]);
  printf("\tFrom version: %d platform: %d release: %d.%d flags: %d\n", fromId[0], fromId[1],
         fromId[2], (fromId[3] >> 4) + 1, fromId[3] & 15);
  fflush(stdout);
}

const char* pdErrorString(int error) {
  const char* text = strerror(error);
  return text != nullptr ? text : "unknown platform error";
}

FILE* pdDebugLog(int kind) {
  static FILE* debugLog;
  if (kind == 0) return stderr;
  if (kind == 1) return stdout;
  if (debugLog == nullptr) debugLog = fopen("debuglog.txt", "a");
  return debugLog != nullptr ? debugLog : stderr;
}

static char loggingPath[4097];

const char* adjustOEReportFileName(const char* name) {
  const char* dir = getenv("QZ_LOG_DIR");
  if (dir == nullptr) return name;
  if (strlen(dir) + strlen(name) + 2 > 4095)
    REPORT_ERROR("The shell variable QZ_LOG_DIR is too long to be safe", 0x1400);
  snprintf(loggingPath, sizeof loggingPath, "%s\\%s", dir, name);
  return loggingPath;
}

// Without a profiling timer only the zone's range is known; the text range stays empty.
uint64_t profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc;
void pdInitProfile(uint64_t codeZoneStart, uint64_t codeZoneSize) {
  profile_nzone_lopc = codeZoneStart;
  profile_nzone_hipc = codeZoneStart + codeZoneSize;
}

// Engine time: microseconds since 1901-01-01 00:00 UTC from the system time.
uint64_t pdMicrosecondClock() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
  return (ticks - 94670208000000000ULL) / 10;
}

// The poll nesting: the Windows build has no signals to hold off; the poll thread that
// this pauses comes with the alarm layer.
static int32_t pollNesting;

void pdBeginCritical() { pollNesting++; }

void pdEndCritical() {
  if (pollNesting-- >= 2) return;
  pollNesting = 0;
}

void pdResetCritical() { pollNesting = 0; }

// The Windows input-method routines that this registers come with the Windows input
// layer; until then the build has no link-registry entries of its own.
extern "C" void UPInitInternalLinkRegistry() {}

// The Windows layer's primitive sets (error names, libraries, I/O channels) come with it.
void initPlatformGUIPrimitives() {}
void initPlatformPrimitiveSets() {}
uint64_t pdSizeOfEvent() { return 32; }  // one host event record
