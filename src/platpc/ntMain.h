// Windows layer: entry and start-up state, debug output, the platform-string converters, the
// clock, memory, the alarm and poll threads and the request lock, shared by its files.
// Prefix: pd (platform services), none for the Windows-only names below.
#pragma once
#include <windows.h>

#include <cstdint>

#include "mman/mmObject.h"

enum { ntPathUnits = MAX_PATH };  // 260 UTF-16 units, the Win32 path buffers

// ---- Entry and start-up (ntEntry.cpp) ------------------------------------------------------

// Written once on the VM thread before startSupervisor.
extern HINSTANCE moduleInstance;               // the program's module
extern wchar_t modulePath[ntPathUnits];        // GetModuleFileNameW, else "BLNTOE"
extern wchar_t applicationName[ntPathUnits];   // message-box title, event source, default image
extern const wchar_t* programNameW;            // the usage text's program name
extern int consoleMode;                        // diagnostics on the standard streams, no boxes
extern wchar_t heraldBitmapPath[ntPathUnits];  // "herald.bmp" beside the program, -logo
extern wchar_t heraldSoundPath[ntPathUnits];   // "herald.wav" beside the program, -sound, -nosound
extern uint8_t osMajorVersion, osMinorVersion;
extern int16_t osPlatformId;
extern RECT virtualDesktopRect;                // union of the monitors and of (0,0)
extern int wideArgc;                           // the command line as the shell split it
extern wchar_t** wideArgv;

extern "C" int winMainEntry(HINSTANCE instance);
extern "C" int dllWMain(HINSTANCE instance);
extern "C" int dllCMain(int argc, wchar_t** argv);
int oeMain(int argc, wchar_t** argv);
[[noreturn]] void windowsMain(int argc, wchar_t** argv);
LONG WINAPI oeMainExceptionFilter(EXCEPTION_POINTERS* exception);
// A fault raised on purpose inside oeMain's filtered steps, for the event-log test.
extern void (*oeMainTestFault)();

// ---- Debug output and exit (ntMain.cpp) ----------------------------------------------------

void ensureDebugConsole();
void pdCloseDebugLog();
void reportToEventLog(DWORD eventId, DWORD size, const void* data);
// The message box of window mode; a test may interpose its own.
extern int (WINAPI* messageBoxW)(HWND, LPCWSTR, LPCWSTR, UINT);

// ---- Platform strings (ntString.cpp) -------------------------------------------------------

// Set by primitive 472: platform strings are copied as their bytes (UTF-16 already).
extern int byteStringMode;
// Counts in bytes; each answers the bytes written (or that would be written).
int64_t wideToPlatformBytes(char* dst, const wchar_t* src, int64_t srcBytes, int64_t dstBytes);
int64_t wideToPlatformBytesSize(const wchar_t* src, int64_t srcBytes);
int64_t platformBytesToWide(wchar_t* dst, const char* src, int64_t srcBytes, int64_t dstUnits);
int64_t platformBytesToWideSize(const char* src, int64_t srcBytes);
// A platform string into buffer, zero-terminated; null for another object, one that does not
// fit in capacityUnits - 1 units, or one that converts to nothing.
wchar_t* platformStringToWide(oop object, wchar_t* buffer, int64_t capacityUnits);
oop platformStringToWideObject(oop object);         // 0 when refused or no space
oop platformStringFromWide(const wchar_t* units, int64_t count);  // 0 when null or no space
// A C string of the ANSI code page as UTF-16 (the engine's own paths); false when it does not
// fit or does not convert.
bool ansiToWide(const char* text, wchar_t* buffer, int capacityUnits);

// ---- Clock (ntTime.cpp) --------------------------------------------------------------------

// Where the clock reads its counter and the system time: the performance counter and
// GetSystemTimeAsFileTime, or a test's doubles.
struct ClockSource {
  BOOL (*counter)(uint64_t* count);  // 0 when the counter cannot be read
  BOOL (*frequency)(uint64_t* perSecond);
  void (*systemTime)(uint64_t* fileTime);  // 100 ns units since 1601
};
extern ClockSource clockSource;
extern volatile LONG powerEventFlag;  // set on WM_POWERBROADCAST: the next reading resyncs
enum : uint64_t { fileTimeOf1901 = 94670208000000000ULL };
uint64_t counterMicroseconds();
uint64_t resyncClock();
// Reads the frequency from clockSource (none: wall-clock mode) and synchronises.
void startClock();
void fileTimesToSeconds(int count, const FILETIME* fileTimes, uint32_t* seconds);

// ---- Memory (ntMem.cpp) --------------------------------------------------------------------

int commitPages(void** outAddress, uint64_t* inOutSize);
void shutdownMemory();
// The pdMoreMemory reservation: set by object memory's start-up through pdMoreMemory's first
// request; a test may reset it.
void resetMoreMemory(uint64_t reservationBytes);
uint64_t moreMemoryReservedBytes();

// ---- Requests, alarm and poll threads (ntRequest.cpp, ntAlarm.cpp) -------------------------

void initRequestLock();  // before any thread can post
void initAlarmSubsystem();
void stopAlarmAndPollThreads();
void pausePollThread(int stop);
void resumePollThread();
void idleWait();
void pumpMessages();
extern volatile LONG sessionEnding;  // set on WM_QUERYENDSESSION
extern volatile LONG vmThreadIdle;   // 1 while the VM thread waits in idleWait
// The earliest armed alarm time (pdMicrosecondClock), 0 when disarmed; for tests.
uint64_t alarmWakeTime();
