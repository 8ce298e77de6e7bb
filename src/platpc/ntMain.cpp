// Windows layer: reporting and printing (message boxes in window mode, the debug console and
// log), the exit path, the event log, the platform hooks and the layer's primitive sets.
// Owns the debug log, the console flag and messageBoxW. Prefix: pd; ensureDebugConsole,
// reportToEventLog.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntMain.h"
#include "platpc/ntIme.h"
#include "platpc/ntCom.h"
#include "platpc/ntSock.h"

static void doNothing() {}
static void doNothingWithText(const char*) {}
static void doNothingFor(uint64_t) {}
static void beep() { MessageBeep(MB_OK); }
static void ansiEncoding(const char** name, uint16_t** characterTable) {
  *name = "ISO8859L1";
  *characterTable = nullptr;
}

void (*pdFinishLongComp)() = doNothing;
void (*pdHeraldScreen)(const char*) = doNothingWithText;
void (*pdInformSystemReady)() = doNothing;
void (*pdRingBell)() = beep;
void (*pdStartLongComp)(uint64_t) = doNothingFor;
void (*pdStringEncoding)(const char**, uint16_t**) = ansiEncoding;
void (*pdTerminateWindow)() = doNothing;

// ---- Printing ------------------------------------------------------------------------------

int (WINAPI* messageBoxW)(HWND, LPCWSTR, LPCWSTR, UINT) = MessageBoxW;

static void printToStdout(int addNewline, const char* text) {
  printf(addNewline ? "%s\n" : "%s", text);
  fflush(stdout);
}

// Window mode shows every report in a box: a stop box whose Cancel enters the debugger, or
// the plain information box of the help.
static void showMessageBox(const char* text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  wchar_t* wide = static_cast<wchar_t*>(malloc(size_t(n + 32) * sizeof(wchar_t)));
  if (wide == nullptr) return printToStdout(1, text);
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, n);
  if (printHelp) {
    messageBoxW(nullptr, wide, applicationName, 0x40);
  } else {
    wcscpy(wide + n - 1, L"\nCancel to debug");
    if (messageBoxW(nullptr, wide, applicationName, 0x1011) == IDCANCEL) DebugBreak();
  }
  free(wide);
}

// The line end is the Unix build's, so that both builds print the same reports.
void pdPrint(int suppress, int addNewline, const char* text) {
  if (consoleMode && suppress) return;
  if (consoleMode || suppress) return printToStdout(addNewline, text);
  showMessageBox(text);
}

// ---- Debug console and log -----------------------------------------------------------------

static int debugConsoleReady;
static FILE* debugLog;

void ensureDebugConsole() {
  if (debugConsoleReady || consoleMode) return;
  AllocConsole();
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr) return;
  COORD size = {80, 50};
  SetConsoleScreenBufferSize(out, size);
  SetConsoleTextAttribute(out, 0xF0);
  freopen("CON", "w", stdout);
  freopen("CON", "w", stderr);
  setvbuf(stderr, nullptr, _IONBF, 0);
  printf("%80s\n", "");
  debugConsoleReady = 1;
}

FILE* pdDebugLog(int kind) {
  if (kind <= 1 && !consoleMode) ensureDebugConsole();
  if (kind == 0) return stderr;
  if (kind == 1) return stdout;
  if (debugLog == nullptr) debugLog = fopen(adjustOEReportFileName("debuglog.txt"), "a");
  return debugLog != nullptr ? debugLog : stderr;
}

void pdCloseDebugLog() {
  if (debugLog == nullptr) return;
  fclose(debugLog);
  debugLog = nullptr;
}

static char loggingPath[MAX_PATH];

const char* adjustOEReportFileName(const char* name) {
  const char* dir = getenv("QZ_LOG_DIR");
  if (dir == nullptr) return name;
  if (strlen(dir) + strlen(name) + 2 >= MAX_PATH)
    REPORT_ERROR("The shell variable QZ_LOG_DIR is too long to be safe", errCauseUser | errFatal);
  snprintf(loggingPath, sizeof loggingPath, "%s\\%s", dir, name);
  return loggingPath;
}

void reportToEventLog(DWORD eventId, DWORD size, const void* data) {
  HANDLE source = RegisterEventSourceW(nullptr, applicationName);
  if (source == nullptr) return;
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, 0, size, nullptr, const_cast<void*>(data));
  DeregisterEventSource(source);
}

// ---- Start-up and exit services ------------------------------------------------------------

// The request lock comes first: the service threads post through it from the time
// initialisation on.
void pdInitPlatform() { initRequestLock(); }

void pdExit(uint64_t code) {
  fflush(stdout);
  shutdownSockets();
  freeHandleRegistry();
  stopAlarmAndPollThreads();
  shutdownMemory();
  exit(code != 0 && (code & 255) == 0 ? 9 : int(code & 255));
}

const char* pdErrorString(int error) {
  const char* text = strerror(error);
  return text != nullptr ? text : "unknown platform error";
}

// Without a profiling timer only the zone's range is known; the text range stays empty.
uint64_t profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc;
void pdInitProfile(uint64_t codeZoneStart, uint64_t codeZoneSize) {
  profile_nzone_lopc = codeZoneStart;
  profile_nzone_hipc = codeZoneStart + codeZoneSize;
}

void pdAckChildSignal() {}

// The input-method routines ("ime*") are the build's own link-registry entries.
extern "C" void UPInitInternalLinkRegistry() { initInputMethods(); }

// The window system's primitives (ntDisplay.cpp); the I/O groups are the layer's own.
void initPlatformGUIPrimitives() { initGUIPrimitives(); }
void initPlatformPrimitiveSets() {
  initNewIO();
  initCOMPrimitives();
  initRegisteredArrayPrimitive();
}
uint64_t pdSizeOfEvent() { return 32; }  // one host event record
