// Execution engine: asynchronous requests (posting, acknowledging and serving them).
// Owns the request counters, anyReq/anyAck, stackLimit and the table of request servers.
// Prefix: none (setRequest, asyncSetRequest, isRequested, clearRequest, handleRequests).
#pragma once
#include <atomic>
#include <cstdint>

// RequestKind, in service-table order. Kinds 0-5 are "asynchronous" (served by
// handleAsyncRequests); 6-9 need a state in which objects may move.
#define REQUEST_KINDS(X)                                                         \
  X(reqInput, "input")              /* 0 pdSynchronizeInput */                  \
  X(reqTimer, "timer")              /* 1 timeExpired */                         \
  X(reqUserPoll, "user poll")       /* 2 userPollHandler, when installed */     \
  X(reqChildStatus, "child status") /* 3 signalChildStatusSemaphore */          \
  X(reqThreadedCalls, "threaded calls") /* 4 NBAPIServiceThreads */             \
  X(reqSignals, "signal semaphores")    /* 5 SIGNALSemaphoreResponse */         \
  X(reqScavenge, "scavenge")        /* 6 scavengeNewSpace */                    \
  X(reqCompactLarge, "compact large space") /* 7 compactLargeSpaceResponse */   \
  X(reqLowSpace, "low space")       /* 8 lowSpaceResponse */                    \
  X(reqProcessSwitch, "process switch") /* 9 processSwitch */

#define REQUEST_ENUM(name, text) name,
enum RequestKind : uint32_t { REQUEST_KINDS(REQUEST_ENUM) numRequestKinds };
#undef REQUEST_ENUM
enum { firstSyncRequest = reqScavenge };  // kinds below it are the asynchronous ones

extern const char* const requestKindNames[numRequestKinds];

// Kind k is pending while requested[k] != handled[k]; some request is pending while
// anyReq != anyAck. Posters on any thread (signal handlers included) bump requested and
// anyReq atomically, so a post racing with another is never lost; only the VM thread
// writes handled and anyAck. The counters are lock-free atomics, safe in signal handlers.
extern std::atomic<uint32_t> requested[numRequestKinds];  // posts per kind (wraps)
extern std::atomic<uint32_t> handled[numRequestKinds];    // posts served per kind
extern std::atomic<uint32_t> anyReq;                      // posts of every kind (wraps)
extern std::atomic<uint32_t> anyAck;                      // anyReq when last acknowledged

// The word tested by the stack checks of native code: generated code reads it at this
// fixed address, so it stays a plain 64-bit global. All-ones forces the next check into
// the run time. Writers on other threads store it whole (atomically).
extern uint64_t stackLimit;
enum : uint64_t { stackLimitForced = ~(uint64_t)0 };

// The server of each kind; null serves nothing (the post is only acknowledged). Later
// components install theirs with setRequestServer.
typedef void (*RequestServer)();
extern RequestServer requestServers[numRequestKinds];
void setRequestServer(uint32_t kind, RequestServer server);

uint32_t setRequest(uint32_t kind);  // answers the new anyReq
uint32_t asyncSetRequest(uint32_t kind, int wakeKind, int force);
int isRequested(uint32_t kind);
void clearRequest(uint32_t kind);
int anyAsyncRequests();
int anyRequestsPending();  // anyReq != anyAck
void handleAsyncRequests();
void handleRequests();

// Restores stackLimit to a segment's real limit; a post that landed meanwhile leaves it
// forced, so that no request is lost to the restore.
void restoreStackLimit(uint64_t realLimit);
