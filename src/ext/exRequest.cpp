// Asynchronous requests (posting, acknowledging and serving them).
// Owns the request counters, anyReq/anyAck, stackLimit and the table of request servers.
// Prefix: none (setRequest, asyncSetRequest, isRequested, clearRequest, handleRequests).
#include "ext/exRequest.h"

#include <cassert>

#include "ext/platform.h"

#define REQUEST_NAME(name, text) text,
const char* const requestKindNames[requestKindCount] = {REQUEST_KINDS(REQUEST_NAME)};
#undef REQUEST_NAME
static_assert(requestKindCount == 10, "ten request kinds");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "counters are posted from signal handlers");
static_assert(std::atomic_ref<int64_t>::is_always_lock_free, "stackLimit is stored whole");

std::atomic<uint32_t> requested[requestKindCount];
std::atomic<uint32_t> handled[requestKindCount];
std::atomic<uint32_t> anyReq;
std::atomic<uint32_t> anyAck;
int64_t stackLimit;
RequestServer requestServers[requestKindCount];

static void forceStackCheck() {
  std::atomic_ref<int64_t>(stackLimit).store(stackLimitForced, std::memory_order_release);
}

void setRequestServer(uint32_t kind, RequestServer server) {
  assert(kind < requestKindCount);
  requestServers[kind] = server;
}

uint32_t setRequest(uint32_t kind) {
  assert(kind < requestKindCount);
  requested[kind].fetch_add(1, std::memory_order_acq_rel);
  uint32_t total = anyReq.fetch_add(1, std::memory_order_acq_rel) + 1;
  forceStackCheck();
  return total;
}

// For signal handlers and other threads: post, then wake a VM thread that idles.
uint32_t asyncSetRequest(uint32_t kind, int wakeKind, int force) {
  uint32_t total = setRequest(kind);
  pdWakeup(wakeKind, force);
  return total;
}

int isRequested(uint32_t kind) {
  assert(kind < requestKindCount);
  return requested[kind].load(std::memory_order_acquire) !=
         handled[kind].load(std::memory_order_relaxed);
}

void clearRequest(uint32_t kind) {
  assert(kind < requestKindCount);
  handled[kind].store(requested[kind].load(std::memory_order_acquire), std::memory_order_relaxed);
}

int anyAsyncRequests() {
  for (uint32_t k = 0; k < firstSyncRequest; k++)
    if (isRequested(k)) return 1;
  return 0;
}

int anyRequestsPending() {
  return anyReq.load(std::memory_order_acquire) != anyAck.load(std::memory_order_relaxed);
}

// Several posts of one kind before service cause one call. The counter is caught up
// before the server runs, so a post made by the server itself stays pending.
static void serveRequest(uint32_t kind) {
  if (!isRequested(kind)) return;
  clearRequest(kind);
  if (requestServers[kind] != nullptr) requestServers[kind]();
}

static void acknowledge() { anyAck.store(anyReq.load(std::memory_order_acquire)); }

void handleAsyncRequests() {
  if (anyRequestsPending() && !isRequested(requestProcessSwitch) && !isRequested(requestLowSpace) &&
      !isRequested(requestCompactLarge) && !isRequested(requestScavenge))
    acknowledge();
  static const uint32_t order[] = {requestInput, requestChildStatus, requestTimer,
                                   requestUserPoll, requestThreadedCalls, requestSignals};
  static_assert(sizeof order / sizeof order[0] == firstSyncRequest, "every async kind");
  for (uint32_t kind : order) serveRequest(kind);
}

void handleRequests() {
  acknowledge();
  handleAsyncRequests();
  for (uint32_t kind = firstSyncRequest; kind < requestKindCount; kind++) serveRequest(kind);
  // Asynchronous kinds posted by the servers themselves stay visible.
  if (!anyAsyncRequests()) acknowledge();
}

void restoreStackLimit(int64_t realLimit) {
  std::atomic_ref<int64_t>(stackLimit).store(realLimit, std::memory_order_release);
  if (anyRequestsPending()) forceStackCheck();
}
