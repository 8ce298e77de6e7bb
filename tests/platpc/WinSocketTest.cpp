// The Windows socket primitives and wait groups against real peers on 127.0.0.1, run under
// Wine: non-blocking connect, readiness through the event scan, groups of 63, moving the last
// socket into a detached one's place, a peer's close, the shutdown at exit, bad input.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>
#include <vector>

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntSock.h"
#include "support/ioKernel.h"

namespace {

class Win_Sockets : public ::testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    semaphoreTableX = -1;
    sa_classX = -1;
    ASSERT_EQ(createSemaphoreTable(), 1);
    initSockPrims();
    registerSocketAddressClass();
    ASSERT_EQ(socketsInitialised, 1);
  }
  void TearDown() override { shutdownSockets(); }

  static oop holder(oop handle) {
    oop h = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(h))[1] = handle;
    return h;
  }
  static oop bytes(const void* p, uint64_t n) {
    ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), n);
    memcpy(bodyOf(h), p, n);
    return oopOf(h);
  }
  static oop loopback(uint16_t port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bytes(&a, sizeof a);
  }
  static oop newSocket(int type = SOCK_STREAM) {
    PrimOutcome s = callPrimitive(686, nilOop(), {smallIntegerFor(AF_INET), smallIntegerFor(type), smallIntegerFor(0)});
    EXPECT_FALSE(s.failed);
    return s.failed ? nilOop() : holder(s.result);
  }
  static IOChannel* channel(oop h) { return channelOf(h); }
  static uint16_t portOf(oop h) {
    sockaddr_in a;
    int n = sizeof a;
    getsockname(SOCKET(channel(h)->handle), reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
  }
  static oop listener() {
    oop l = newSocket();
    EXPECT_EQ(callPrimitive(672, l, {loopback(0)}).result, l);
    EXPECT_EQ(callPrimitive(673, l, {smallIntegerFor(8)}).result, l);
    return l;
  }
  // Runs the event scan, as the input request does, until the condition holds (5 s at most).
  template <typename Condition>
  static bool scanUntil(Condition condition) {
    for (int i = 0; i < 500; i++) {
      signalSocketEvents();
      if (condition()) return true;
      Sleep(10);
    }
    return false;
  }
  static oop ready(oop h, oop semaphore, bool writing) {
    return callPrimitive(668, h, {semaphore, booleanOop(writing)}).result;
  }
  // A connected pair: the client's holder and the accepted one's.
  static void connectedPair(oop l, oop* client, oop* server) {
    *client = newSocket();
    PrimOutcome c = callPrimitive(674, *client, {loopback(portOf(l))});
    if (c.failed) {  // completion arrives as FD_CONNECT: the write side becomes ready
      EXPECT_EQ(failureOf(c).code, primErrPlatform);
      EXPECT_EQ(failureOf(c).value, WSAEWOULDBLOCK);
      EXPECT_TRUE(scanUntil([&] { return ready(*client, nilOop(), true) == trueOop(); }));
    }
    ASSERT_TRUE(scanUntil([&] { return ready(l, nilOop(), false) == trueOop(); }));
    PrimOutcome a = callPrimitive(671, l, {});
    ASSERT_FALSE(a.failed);
    *server = holder(slotOf(a.result, 0));
    EXPECT_EQ(byteSizeOf(headerOf(slotOf(a.result, 1))), sizeof(sockaddr_in));
  }
  static uint32_t groupCount() {
    uint32_t n = 0;
    for (SocketWaitGroup* g = socketWaitGroups; g != nullptr; g = g->next) n++;
    return n;
  }
};

// Connect answers 9 carrying WSAEWOULDBLOCK (or succeeds at once), the write side then turns
// ready and a Semaphore given is signalled at once; a read waits for data, which the scan
// then reports by signalling the Semaphore stored before.
TEST_F(Win_Sockets, ConnectThenReadinessFromTheScan) {
  oop l = listener(), client, server;
  connectedPair(l, &client, &server);
  oop writeReady = newSemaphore();
  EXPECT_EQ(ready(client, writeReady, true), trueOop());
  EXPECT_EQ(excessSignals(writeReady), 1);

  oop readReady = newSemaphore();
  channel(server)->readable = 0;
  EXPECT_EQ(ready(server, readReady, false), falseOop());
  EXPECT_EQ(excessSignals(readReady), 0);
  ASSERT_EQ(send(SOCKET(channel(client)->handle), "hello", 5, 0), 5);
  EXPECT_TRUE(scanUntil([&] { return excessSignals(readReady) == 1; }));
  EXPECT_EQ(channel(server)->readable, 1u);
  char got[8] = {};
  uint32_t n = 0;
  DWORD error = 0;
  EXPECT_EQ(channel(server)->read(channel(server), got, sizeof got, &n, &error), 1);
  EXPECT_EQ(std::string(got, n), "hello");
  EXPECT_EQ(channel(server)->readable, 0u);
}

// A peer's close makes the read side readable and closed: 668 answers true and signals at
// once, and still does after the end was read.
TEST_F(Win_Sockets, PeerCloseIsReadableAndClosed) {
  oop l = listener(), client, server;
  connectedPair(l, &client, &server);
  EXPECT_EQ(callPrimitive(678, server, {}).result, server);
  ASSERT_TRUE(scanUntil([&] { return channel(client)->closed != 0; }));
  char buffer[4];
  uint32_t n = 99;
  DWORD error = 0;
  EXPECT_EQ(channel(client)->read(channel(client), buffer, sizeof buffer, &n, &error), 1);
  EXPECT_EQ(n, 0u);
  oop s = newSemaphore();
  EXPECT_EQ(ready(client, s, false), trueOop());
  EXPECT_EQ(excessSignals(s), 1);
}

// The 64th socket starts a second group with a thread of its own.
TEST_F(Win_Sockets, SixtyFourthSocketOpensASecondGroup) {
  std::vector<oop> sockets;
  for (int i = 0; i < 63; i++) sockets.push_back(newSocket());
  EXPECT_EQ(groupCount(), 1u);
  EXPECT_EQ(socketWaitGroups->count, 63u);
  sockets.push_back(newSocket());
  ASSERT_EQ(groupCount(), 2u);
  EXPECT_EQ(socketWaitGroups->count, 1u);
  EXPECT_EQ(socketWaitGroups->next->count, 63u);
  EXPECT_NE(socketWaitGroups->threadId, socketWaitGroups->next->threadId);
  EXPECT_EQ(channel(sockets.back())->waitGroupIndex, 1u);
  // The newest group with room takes the next socket; a place freed in the older one waits.
  EXPECT_EQ(callPrimitive(678, sockets[10], {}).result, sockets[10]);
  EXPECT_EQ(socketWaitGroups->next->count, 62u);
  newSocket();
  EXPECT_EQ(socketWaitGroups->count, 2u);
  EXPECT_EQ(groupCount(), 2u);
}

// Closing a socket in the middle moves the group's last one into its place, which keeps
// getting its events.
TEST_F(Win_Sockets, DetachMovesTheLastIntoThePlace) {
  oop l = listener(), c1, s1, c2, s2;
  connectedPair(l, &c1, &s1);
  connectedPair(l, &c2, &s2);
  SocketWaitGroup* g = socketWaitGroups;
  uint32_t place = channel(c1)->waitGroupIndex, last = g->count;
  ASSERT_EQ(g->channels[last], channel(s2));
  ASSERT_LT(place, last);
  EXPECT_EQ(callPrimitive(678, c1, {}).result, c1);
  EXPECT_EQ(g->count, last - 1);
  EXPECT_EQ(channel(s2)->waitGroupIndex, place);
  EXPECT_EQ(g->channels[place], channel(s2));
  EXPECT_EQ(g->events[place], WSAEVENT(channel(s2)->networkEvent));

  oop moved = newSemaphore();
  channel(s2)->readable = 0;
  EXPECT_EQ(ready(s2, moved, false), falseOop());
  ASSERT_EQ(send(SOCKET(channel(c2)->handle), "x", 1, 0), 1);
  EXPECT_TRUE(scanUntil([&] { return excessSignals(moved) == 1; }));
}

// At exit every socket is closed and every waiter ends within a second.
TEST_F(Win_Sockets, ShutdownEndsTheWaiters) {
  oop l = listener(), client, server;
  connectedPair(l, &client, &server);
  for (int i = 0; i < 63; i++) newSocket();
  ASSERT_EQ(groupCount(), 2u);
  std::vector<HANDLE> threads;
  for (SocketWaitGroup* g = socketWaitGroups; g != nullptr; g = g->next) {
    HANDLE h;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g->thread, GetCurrentProcess(), &h, SYNCHRONIZE, FALSE, 0));
    threads.push_back(h);
  }
  SOCKET s = SOCKET(channel(client)->handle);
  shutdownSockets();
  for (HANDLE t : threads) {
    EXPECT_EQ(WaitForSingleObject(t, 1000), WAIT_OBJECT_0);
    CloseHandle(t);
  }
  EXPECT_EQ(socketWaitGroups, nullptr);
  EXPECT_EQ(socketsInitialised, 0);
  EXPECT_EQ(channel(client)->waitGroupIndex, 0u);
  char c;
  EXPECT_EQ(send(s, &c, 1, 0), SOCKET_ERROR);  // closed
}

// Bad receivers and arguments fail with the primitives' codes and make no call.
TEST_F(Win_Sockets, BadInputFails) {
  oop closed = newSocket();
  oop handle = slotOf(closed, 1);
  ASSERT_EQ(callPrimitive(678, closed, {}).result, closed);
  uint64_t body;
  memcpy(&body, bodyOf(headerOf(handle)), 8);
  EXPECT_EQ(body, 0u);  // closing empties the handle object

  IOChannel* fileChannel = newIOChannel(channelFile);
  HANDLE f = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // a handle, but no socket
  fileChannel->handle = uint64_t(f);
  oop file = holder(newHandleObject(fileChannel));

  oop shortInet6 = bytes("\x17\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 16);
  oop open = newSocket();
  const struct {
    uint32_t number;
    oop receiver;
    std::vector<oop> args;
    int code;
    int64_t value;
  } cases[] = {
      {678, closed, {}, primErrBadReceiver, -1},
      {633, closed, {}, primErrBadReceiver, -1},
      {632, closed, {}, primErrBadArgument, -1},
      {672, closed, {loopback(0)}, primErrBadArgument, -1},
      {672, file, {loopback(0)}, primErrPlatform, WSAENOTSOCK},
      {678, file, {}, primErrPlatform, WSAENOTSOCK},
      {632, file, {}, primErrPlatform, WSAENOTSOCK},
      {672, open, {shortInet6}, primErrBadArgument, -1},
      {674, open, {shortInet6}, primErrBadArgument, -1},
      {673, open, {smallIntegerFor(-1)}, primErrBadArgument, -1},
      {668, open, {nilOop(), nilOop()}, primErrBadArgument, -1},
      {668, open, {smallIntegerFor(3), falseOop()}, primErrBadArgument, -1},
      {686, nilOop(), {smallIntegerFor(2), nilOop(), smallIntegerFor(0)}, primErrBadArgument, 2},
      {698, nilOop(), {smallIntegerFor(0)}, primErrBadArgument, -1},
  };
  for (const auto& c : cases) {
    PrimOutcome r = callPrimitive(c.number, c.receiver, c.args);
    ASSERT_TRUE(r.failed) << c.number;
    EXPECT_EQ(failureOf(r).code, c.code) << c.number;
    EXPECT_EQ(failureOf(r).value, c.value) << c.number;
  }
  // A file is never waited on, and its channel stays open after the refused close.
  EXPECT_EQ(ready(file, newSemaphore(), false), falseOop());
  EXPECT_EQ(channel(file), fileChannel);
  CloseHandle(f);
}

// A datagram socket: sendto and recvfrom through the primitives, the sender's address written
// into the address object given.
TEST_F(Win_Sockets, DatagramsRoundTrip) {
  oop a = newSocket(SOCK_DGRAM), b = newSocket(SOCK_DGRAM);
  ASSERT_EQ(callPrimitive(672, a, {loopback(0)}).result, a);
  ASSERT_EQ(callPrimitive(672, b, {loopback(0)}).result, b);
  oop out = bytes("datagram", 8);
  PrimOutcome sent = callPrimitive(676, a, {loopback(portOf(b)), out, smallIntegerFor(1), smallIntegerFor(8), smallIntegerFor(0)});
  ASSERT_FALSE(sent.failed);
  EXPECT_EQ(smallIntegerValue(sent.result), 8);
  ASSERT_TRUE(scanUntil([&] { return channel(b)->readable != 0; }));
  oop in = bytes("........", 8), from = bytes("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 18);
  PrimOutcome got = callPrimitive(675, b, {from, in, smallIntegerFor(1), smallIntegerFor(8), smallIntegerFor(0)});
  ASSERT_FALSE(got.failed);
  EXPECT_EQ(smallIntegerValue(got.result), 8);
  EXPECT_EQ(memcmp(bodyOf(headerOf(in)), "datagram", 8), 0);
  sockaddr_in sender;
  memcpy(&sender, bodyOf(headerOf(from)), sizeof sender);
  EXPECT_EQ(ntohs(sender.sin_port), portOf(a));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(bodyOf(headerOf(from)))[17], 0);  // past the length: cleared
}

}  // namespace
