// Tests of the asynchronous requests: posting, acknowledging and the order of service.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmInit.h"
#include "mman/mmLargeSpace.h"

namespace {

std::string served;  // one letter per server call, in call order

void serveInput() { served += '0'; }
void serveTimer() { served += '1'; }
void serveChild() { served += '3'; }
void serveThreads() { served += '4'; }
void serveSignals() { served += '5'; }
void serveScavenge() { served += '6'; }
void serveCompact() { served += '7'; }
void serveLowSpace() { served += '8'; }
void serveSwitch() { served += '9'; }
void scavengeThatPostsInput() {
  served += '6';
  setRequest(requestInput);
}

// Brings every counter to a quiet state and installs recording servers (kind 2 none).
class Request : public ::testing::Test {
 protected:
  void SetUp() override {
    static const RequestServer servers[requestKindCount] = {
        serveInput, serveTimer, nullptr, serveChild, serveThreads,
        serveSignals, serveScavenge, serveCompact, serveLowSpace, serveSwitch};
    for (uint32_t k = 0; k < requestKindCount; k++) {
      setRequestServer(k, servers[k]);
      clearRequest(k);
    }
    anyAck.store(anyReq.load());
    stackLimit = 0x7000;
    served.clear();
  }
};

TEST_F(Request, Request_PostForcesStackCheckAndCounts) {
  uint32_t before = anyReq.load();
  EXPECT_EQ(setRequest(requestTimer), before + 1);
  EXPECT_EQ(stackLimit, stackLimitForced);
  EXPECT_TRUE(isRequested(requestTimer));
  EXPECT_FALSE(isRequested(requestInput));
  EXPECT_TRUE(anyAsyncRequests());
  EXPECT_TRUE(anyRequestsPending());
}

TEST_F(Request, Request_SeveralPostsOfOneKindServeOnce) {
  for (int i = 0; i < 3; i++) setRequest(requestTimer);
  handleRequests();
  EXPECT_EQ(served, "1");
  EXPECT_FALSE(isRequested(requestTimer));
  EXPECT_FALSE(anyRequestsPending());
  handleRequests();
  EXPECT_EQ(served, "1");
}

TEST_F(Request, Request_ScavengeNotAcknowledgedByAsyncService) {
  setRequest(requestScavenge);
  handleAsyncRequests();
  EXPECT_EQ(served, "");
  EXPECT_TRUE(anyRequestsPending());
  EXPECT_TRUE(isRequested(requestScavenge));
  handleRequests();
  EXPECT_EQ(served, "6");
  EXPECT_FALSE(anyRequestsPending());
}

TEST_F(Request, Request_AsyncServiceAcknowledgesWhenOnlyAsyncPending) {
  setRequest(requestInput);
  setRequest(requestSignals);
  handleAsyncRequests();
  EXPECT_EQ(served, "05");
  EXPECT_FALSE(anyRequestsPending());
}

TEST_F(Request, Request_UserPollClearedWithoutHandler) {
  setRequest(requestUserPoll);
  handleRequests();
  EXPECT_EQ(served, "");
  EXPECT_FALSE(isRequested(requestUserPoll));
}

TEST_F(Request, Request_ServiceOrderEndsWithProcessSwitch) {
  for (uint32_t k : {requestProcessSwitch, requestScavenge, requestLowSpace, requestCompactLarge, requestSignals,
                     requestThreadedCalls, requestTimer, requestChildStatus, requestInput})
    setRequest(k);
  handleRequests();
  EXPECT_EQ(served, "031456789");
  EXPECT_FALSE(anyRequestsPending());
}

// A server that posts an asynchronous kind leaves it visible for the next stack check.
TEST_F(Request, Request_PostByServerStaysPending) {
  setRequestServer(requestScavenge, scavengeThatPostsInput);
  setRequest(requestScavenge);
  handleRequests();
  EXPECT_EQ(served, "6");
  EXPECT_TRUE(isRequested(requestInput));
  EXPECT_TRUE(anyRequestsPending());
  handleRequests();
  EXPECT_EQ(served, "60");
  EXPECT_FALSE(anyRequestsPending());
}

TEST_F(Request, Request_RestoredLimitStaysForcedWhilePending) {
  restoreStackLimit(0x5000);
  EXPECT_EQ(stackLimit, 0x5000);
  setRequest(requestLowSpace);
  restoreStackLimit(0x5000);
  EXPECT_EQ(stackLimit, stackLimitForced);
}

// Posts from several threads at once: the counters must see every one of them.
TEST_F(Request, Request_ConcurrentPostsAreNotLost) {
  const uint32_t threads = 4, posts = 20000;
  uint32_t baseKind = requested[requestThreadedCalls].load(), baseAny = anyReq.load();
  std::vector<std::thread> workers;
  for (uint32_t t = 0; t < threads; t++)
    workers.emplace_back([] {
      for (uint32_t i = 0; i < posts; i++) setRequest(requestThreadedCalls);
    });
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(requested[requestThreadedCalls].load() - baseKind, threads * posts);
  EXPECT_EQ(anyReq.load() - baseAny, threads * posts);
  handleRequests();
  EXPECT_EQ(served, "4");
}

}  // namespace

namespace {

int inputHookCalls;
void countInput() { inputHookCalls++; }

// Input is served through the platform hook as it is bound when served, not when installed.
TEST_F(Request, Request_InstalledServersReachInputHookAndLargeSpace) {
  installRequestServers();
  EXPECT_EQ(requestServers[requestCompactLarge], compactLargeSpaceResponse);
  void (*saved)() = pdSynchronizeInput;
  pdSynchronizeInput = countInput;
  inputHookCalls = 0;
  setRequest(requestInput);
  handleRequests();
  pdSynchronizeInput = saved;
  EXPECT_EQ(inputHookCalls, 1);
  EXPECT_FALSE(anyRequestsPending());
}

}  // namespace
