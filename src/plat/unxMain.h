// Unix layer: entry, hooks and the GUI hook table.
// Prefix: pd, oeMain.
#pragma once
#include <cstdint>
#include <poll.h>
#include <signal.h>

#include "mman/mmObject.h"

[[noreturn]] int oeMain(int argc, char** argv);
int exitStatusFor(uint64_t code);

// One entry of the table handed to the GUI library's initGUI.
struct InitFunctionEntry {
  uint64_t address;  // the hook variable's address (pdSizeOfEvent: the function's)
  const char* name;
};
enum { initFunctionCount = 10 };
extern InitFunctionEntry initFunctions[initFunctionCount];

void waitForIO();
void recordWakeThread();  // the thread that pdWakeup signals: the caller
void signal_userfds();
void pdAckChildSignal();

const char* findInPath(const char* name);

// GUI library binding.
enum GuiBinding { guiUnbound = 0, guiRefused = 1, guiBound = 2 };
extern uint32_t guiBindingState;
extern char graphicsPlatformName[64];
const char* guiLibraryPath();
uint32_t loadGUILibrary();

// The errno names of primitives 696 and 697.
struct ErrorCodeEntry {
  int32_t code;      // errno value, or the engine's own negative code
  const char* name;  // null ends the table
};
extern const ErrorCodeEntry errorCodes[];
const char* errorCodeName(int64_t code);
void initOSErrorCodePrims();
void reserveOrLoadGUIPrimitives();

// ---- Signals, timer and descriptors ------------------------------------------------------

struct RegisteredNamedObject;
void initSignals();
void initSignalRegistration();
int registerSignal(int signal);  // 1, or 0 for a number outside 1..64
uint64_t registeredSignalSet();  // the signals registerSignal watches, bit s-1 for signal s
void SIGNALSemaphoreResponse();
void signalSIGNALSemaphores(uint64_t set);  // bit s-1 stands for signal s
void blockCriticalSignals(sigset_t* old);
// While held, SIGINT, SIGQUIT, SIGTERM, SIGUSR1 and SIGUSR2, where they still have their
// default action, run cleanup before it (the snapshot writer's removal of its temporary
// file; it must be safe in a signal handler). Holds nest.
void holdTermination(void (*cleanup)());
void releaseTermination();
// Blocks those signals on the calling thread, keeping the earlier mask in *old.
void blockTermination(sigset_t* old);
// 1: snapshots are written to unnamed files where the file system allows; 0 (a test's
// choice) names them from the start.
extern int snapshotUnnamedFiles;

extern uint32_t sysClockResolution;  // milliseconds of one clock tick
uint32_t clockResolutionFor(long ticksPerSecond);
int pdCheckTimer(int force);
int pollTimeout();  // milliseconds, -1 without an active timer

// Poll event masks: watched for reading (POLLIN, POLLPRI, POLLRDNORM, POLLMSG) and writing
// (POLLPRI, POLLOUT, POLLWRNORM); ready for reading adds POLLERR, POLLHUP, POLLNVAL, ready
// for writing is POLLPRI, POLLOUT, POLLERR, POLLHUP, POLLNVAL, POLLWRNORM; errors 0x38.
enum : short { pollWatchRead = 0x443, pollWatchWrite = 0x106 };
enum : short { pollReadyRead = 0x47B, pollReadyWrite = 0x13E, pollErrorMask = 0x38 };

extern int32_t max_fds, max_ufds, used_ufds;
extern int64_t ioSemTableX;
// The idle wait's sleep (ppoll); a test may interpose its own.
typedef int (*IdlePoll)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
extern IdlePoll idlePoll;
void setupNewIO();
oop initIOSemMachinery();  // 0, or the failure's error object
oop setIOsem(int fd, int direction, oop semaphore);  // 0, or the failure's error object
void clearIOsem(int fd, int direction);
void signalIOsem(int fd, int direction);
oop ioSemaphoreAt(int fd, int direction);
int waitForIOWithTimeout(int fd, int mask, int* readyOut, int timeoutMs);
int prepareUfd(int fd);
int prepareUfdPair(const int fds[2]);  // 1; or 0 with both closed and errno kept
int closeUfd(int fd);
bool isPreparedNonBlocking(int fd);  // prepareUfd made it non-blocking and it is not closed
void prepareSfd(int fd);
void releaseSfd(int fd);
int64_t bytesReadable(int fd);
const char* makeMsgForErrno(const char* text, int error);
const char* makeMsg(const char* text);

void initNewIO();
void initMiscPrims();
void initSerialPrims();

// Sockets, child processes and descriptor pairs.
extern int64_t sa_classX;   // registry slot of the socket-address class, -1 until 698 runs
extern int64_t ioa_classX;  // registry slot of the I/O-accessor class, -1 until 699 runs
void initSockPrims();
void initIpcPrims();
void initProcPrims();
// A connected stream pair over the loopback address: 0 with pair = {accepted, connecting}
// (both prepared and counted), or -1 with errno set.
int phonypair(int domain, int type, int protocol, int pair[2]);
void setupChildSignals();  // in a child, just before execve
// Maps a file privately for reading and writing at address when the system allows, else
// where it chooses; 0 when neither works.
void* pdMapFile(int fd, uint64_t offset, uint64_t length, void* address);
