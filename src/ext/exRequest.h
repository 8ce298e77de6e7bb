// Asynchronous requests (posting, acknowledging and serving them).
// Owns the request counters, anyReq/anyAck, stackLimit and the table of request servers.
// Prefix: none (setRequest, asyncSetRequest, isRequested, clearRequest, handleRequests).
#pragma once
#include <atomic>
#include <cstdint>

// RequestKind, in service-table order. Kinds 0-5 are "asynchronous" (served by
// handleAsyncRequests); 6-9 need a state in which objects may move.
#define REQUEST_KINDS(X)                                                         \
  X(requestInput, "input")              /* 0 pdSynchronizeInput */                  \
  X(requestTimer, "timer")              /* 1 timeExpired */                         \
  X(requestUserPoll, "user poll")       /* 2 userPollHandler, when installed */     \
  X(requestChildStatus, "child status") /* 3 signalChildStatusSemaphore */          \
  X(requestThreadedCalls, "threaded calls") /* 4 NBAPIServiceThreads */             \
  X(requestSignals, "signal semaphores")    /* 5 SIGNALSemaphoreResponse */         \
  X(requestScavenge, "scavenge")        /* 6 scavengeNewSpace */                    \
  X(requestCompactLarge, "compact large space") /* 7 compactLargeSpaceResponse */   \
  X(requestLowSpace, "low space")       /* 8 lowSpaceResponse */                    \
  X(requestProcessSwitch, "process switch") /* 9 processSwitch */

#define REQUEST_ENUM(name, text) name,
enum RequestKind : uint32_t { REQUEST_KINDS(REQUEST_ENUM) requestKindCount };
#undef REQUEST_ENUM
enum { firstSyncRequest = requestScavenge };  // kinds below it are the asynchronous ones

extern const char* const requestKindNames[requestKindCount];  // for reports and dumps, by kind

// Kind k is pending while requested[k] != handled[k]; some request is pending while
// anyReq != anyAck. Posters on any thread (signal handlers included) bump requested and
// anyReq atomically, so a post racing with another is never lost; only the VM thread
// writes handled and anyAck. The counters are lock-free atomics, safe in signal handlers.
extern std::atomic<uint32_t> requested[requestKindCount];  // posts per kind (wraps)
extern std::atomic<uint32_t> handled[requestKindCount];    // posts served per kind
extern std::atomic<uint32_t> anyReq;                      // posts of every kind (wraps)
extern std::atomic<uint32_t> anyAck;                      // anyReq when last acknowledged

// The word tested by the stack checks of native code: generated code reads it at this
// fixed address, so it stays a plain 64-bit global. -1 forces the next check into the run
// time. Writers on other threads store it whole (atomically).
extern int64_t stackLimit;
enum : int64_t { stackLimitForced = -1 };

// The server of each kind; null serves nothing (the post is only acknowledged). The
// components above install theirs with setRequestServer: this is how a post reaches them.
typedef void (*RequestServer)();
extern RequestServer requestServers[requestKindCount];
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
void restoreStackLimit(int64_t realLimit);
