// The platform interface: functions and hooks that each platform layer provides.
// The portable core includes only this header; src/plat (Unix) and src/platpc (Windows)
// implement it. Prefix: pd. Hooks are function variables that a GUI library may rebind.
#pragma once
#include <cstdint>
#include <cstdio>

// Start-up and reporting.
void pdPrint(int suppress, int addNewline, const char* text);
[[noreturn]] void pdExit(uint64_t code);
void pdHerald(const char* text);
void pdReportVersion(const char* banner, unsigned vmVersion, unsigned vmPlatform,
                     unsigned vmRelease, unsigned vmFlags, const uint8_t* viSig,
                     const uint8_t* fromId);
void pdInitPlatform();
const char* pdErrorString(int error);
FILE* pdDebugLog(int kind);  // 0 stderr, 1 stdout, 2 and more "debuglog.txt"
const char* adjustOEReportFileName(const char* name);
// The profiler's ranges: the program's own code and the native-method zone; set by
// pdInitProfile at start-up (a layer without a profiling timer leaves its text range empty).
void pdInitProfile(uint64_t codeZoneStart, uint64_t codeZoneSize);
extern uint64_t profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc;

// Engine options: the set this platform offers, and its own options, which setOption tries
// first with the option's first letter and rest (null for a one-letter option). The answer
// says whether it took the option (*taken: 1 when next was its value), knows it not, refuses
// the letter outright or misses the value.
enum : uint32_t { optionSetUnix = 1, optionSetWindows = 2, optionSetsAll = 3 };
extern const uint32_t pdOptionSet;  // which platform's options this build takes
enum PlatformOptionAnswer { pdOptionNotMine = 0, pdOptionTaken, pdOptionUnknown, pdOptionMissingValue };
int pdSetPlatformOption(const char* option, const char* rest, const char* next, uint64_t* taken);

// Image files. Results follow the platform's conventions: -1 with the error number in
// *error on failure; any other value is an open image (the Windows build reads an image
// carried inside the program through the handle -2).
enum { pdOpenRead = 0, pdOpenSnapshot = 577 };  // 577: write-only, create, truncate
int64_t pdOpenImage(const char* path, int oflag, int* error);
int64_t pdRead(int64_t fd, void* buffer, uint64_t length, int* error);
// Reads up to length bytes from skip bytes past the file's position, which stays where it
// was (the loader reads a space's table before its data); short only at the end of the
// file. -1 when the file cannot be read that way (a pipe) or on error.
int64_t pdReadAhead(int64_t fd, void* buffer, uint64_t length, uint64_t skip, int* error);
// Reads length bytes from the file's position into buffer and hands each piece of at most
// pieceBytes to each(from, to) as soon as it is in. A read of pdSharedReadBytes or more may be
// shared with helper threads: each then runs on any of them, for pieces in any order and at
// the same time (it must be safe so); a smaller read hands them over in order on the calling
// thread. Answers the bytes read and handed over from the start without a gap (the position
// moves past them): fewer than length when the file ended or a read failed (*error set), and
// pieces beyond a short one may have been handed over too.
enum : uint64_t { pdSharedReadBytes = uint64_t(16) << 20 };
int64_t pdReadInPieces(int64_t fd, void* buffer, uint64_t length, uint64_t pieceBytes,
                       void (*each)(uint64_t from, uint64_t to), int* error);
// Fresh memory that the next pdReadInPieces (or the caller, before it) will fill: a range of
// pdSharedReadBytes or more may be faulted in by helper threads meanwhile, from its top down,
// after [first, first + firstLength) (fresh memory the caller writes first; may be empty),
// without changing what either holds. The next pdReadInPieces takes the helpers on;
// pdEndFillAhead lets them go when no such read comes (before the ranges are given up).
void pdFillAhead(void* buffer, uint64_t length, void* first, uint64_t firstLength);
void pdEndFillAhead();
// A hint that fresh memory about to be filled is better backed by large pages; a range of at
// least one large page may take the large pages its ends lie in (given before they are touched).
void pdPreferLargePages(void* address, uint64_t length);
int64_t pdWrite(int64_t fd, const void* buffer, uint64_t length, int* error);
int pdCloseImage(int64_t fd);
// A snapshot whose writing failed: its close removes what was written.
void pdDiscardSnapshot(int64_t fd);
// A snapshot closed well replaces its target only here, when its size is the expected one:
// 1; otherwise what was written is removed: 0.
int pdBlessSnapshot(const char* path, uint64_t expectedSize);

// Critical sections hold off asynchronous platform activity; they nest.
void pdBeginCritical();
void pdEndCritical();
void pdResetCritical();

// Memory.
uint64_t pdGetPagesize();
void* pdMoreMemory(uint64_t size, int protection);
// Frees a block of pdMoreMemory that the C heap gave; data-segment blocks stay.
void pdFreeMoreMemory(void* block);
// Anonymous memory at or above lowestAddress (page rounded); 0 when refused.
void* pdMapMemory(uint64_t size, uint64_t lowestAddress, uint64_t alignment, int protection,
                  uint64_t* sizeOut);
int pdUnmapMemory(uint64_t length, void* address);
void pdSetMemExecPerm(void* address, uint64_t length);
int pdMustFlushICache();
// Bytes the main thread's stack may grow to (its soft limit); 0 when unknown.
uint64_t pdMainStackLimit();
uint32_t pdCopyToExternalHeap(void* destination, const void* source, int64_t length);
uint32_t pdCopyFromExternalHeap(void* destination, const void* source, int64_t length);
enum { pdProtRead = 1, pdProtWrite = 2, pdProtExec = 4 };

// Time. The delay timer is one-shot: pdSignalAtMicroseconds arms it for an absolute
// pdMicrosecondClock time (a time already due runs timeExpired at once) and answers 1, or
// answers 0 and proposes a nearer time in *retryOut when the time is too far ahead.
uint64_t pdMicrosecondClock();
void pdInitTime();
int pdSignalAtMicroseconds(uint64_t when, uint64_t* retryOut);
void pdTerminateTimer();
// The profiling timer: a sample each millisecond of CPU time, handed to incrementProfile with
// the interrupted pc. Stopping answers setitimer's result; quiet reports no failure.
void pdStartProfileTimer();
int pdStopProfileTimer(int quiet);

// Wakes the VM thread after a request was posted from outside it: nothing for kind 1
// (the timer signal interrupts the wait itself); otherwise when the VM thread waits for a
// wake-up (needMessageToWakeup) or force is non-zero. Safe in a signal handler.
void pdWakeup(int kind, int force);
extern volatile uint32_t needMessageToWakeup;  // set by the idle wait before it blocks

// Start-up registration: the platform's own link-registry entries, and the platform's
// primitive sets that the portable start-up registers among its external sets: the GUI
// binding's first, the descriptor-level I/O sets after the portable ones.
extern "C" void UPInitInternalLinkRegistry();
void initPlatformGUIPrimitives();
void initPlatformPrimitiveSets();
// Bytes of one raw window-system event, kept beside each input-queue record.
uint64_t pdSizeOfEvent();

// C calls in the platform's calling convention, callback thunks and dynamic loading. Oops
// travel as 64-bit words. pdCallC calls function (an integer object) with numArgs arguments
// converted by kinds (byte 0 the result kind, byte i the kind of argument i-1): argument i
// is base[numArgs - trailing - i], or, where that index is 0 or less, the current stack
// segment's saved-argument word 7 - index. It answers the result object, or 0 with the
// record filled (a negative SmallInteger word for PrimErrorTable entries, or 0 and the
// argument's 1-based position). Flag bit 61: a struct result comes back in registers. The
// floating-point exception flags the C function raised are cleared when it returns.
struct CallErrorRecord;
uint64_t pdCallC(uint64_t flags, uint64_t function, const uint8_t* kinds, uint64_t numArgs, uint64_t trailing,
                 const uint64_t* base, uint64_t resultDescriptor, uint64_t structArgBytes, uint64_t resultBytes,
                 CallErrorRecord* record);
// The platform's byte sizes of the kinds that differ between platforms.
void pdSetNumBytesForKind(uint8_t* sizes);
// Non-zero when a struct (its type descriptor, or a composite holding it in slot 1) travels
// in registers; 0 when it goes by memory.
uint64_t shouldPassStructInRegisters(uint64_t descriptorOrComposite);
// A callback thunk for argc arguments (entry 0 of each array describes the result): its
// address, 0 when no memory is left, 1 when the signature cannot be served. Destroying
// answers 0 when the address is no live thunk.
void* pdThunkCreate(uint64_t id, uint64_t argc, const uint64_t* structTypes, const uint64_t* sizes,
                    const uint64_t* kinds);
int pdThunkDestroy(void* thunk, uint64_t id);
// Whether the calling thread is the one that runs Smalltalk.
int pdOnEngineThread();
// Registers the dynamic-loading primitives (330-332) where the platform has them.
void initDynamicLoadPrimitives();

// Hooks (function variables with working defaults).
extern void (*pdBlockUntilEvent)();
extern void (*pdFinishLongComp)();
extern void (*pdHeraldScreen)(const char* text);
extern void (*pdInformSystemReady)();
extern void (*pdRingBell)();
extern void (*pdStartLongComp)(uint64_t expectedMilliseconds);
extern void (*pdStringEncoding)(const char** name, uint16_t** characterTable);
extern void (*pdSynchronizeInput)();
extern void (*pdTerminateWindow)();
