// Socket primitives against real peers on 127.0.0.1: plain C sockets, one on a thread; the
// loopback socket pairs; the bad-input cases.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "mman/mmAllocate.h"
#include "plat/unixIOFixture.h"

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

uint16_t portOf(int fd) {
  sockaddr_in a;
  socklen_t n = sizeof a;
  getsockname(fd, (sockaddr*)&a, &n);
  return ntohs(a.sin_port);
}

bool waitFor(int fd, short events) {
  pollfd p = {fd, events, 0};
  return poll(&p, 1, 5000) == 1;
}

class Unix_Sockets : public UnixIOTest {
 protected:
  void SetUp() override {
    UnixIOTest::SetUp();
    registerSocketAddressClass();
  }
  oop address(const sockaddr_in& a) { return bytesOf(&a, sizeof a); }
  // A new image socket of the type given, bound to 127.0.0.1 on a free port.
  oop boundSocket(int type) {
    PrimOutcome s = callPrimitive(686, nilOop(), {smallIntegerFor(AF_INET), smallIntegerFor(type), smallIntegerFor(0)});
    EXPECT_FALSE(s.failed);
    oop h = descriptorHolder((int)smallIntegerValue(s.result));
    EXPECT_EQ(callPrimitive(672, h, {address(loopback(0))}).result, h);
    return h;
  }
  static int fdOf(oop holder) { return (int)smallIntegerValue(slotOf(holder, 1)); }
  std::string readSome(oop h, uint64_t max) {
    oop buffer = newOldObject(testClasses.bytes, max);
    EXPECT_TRUE(waitFor(fdOf(h), POLLIN));
    PrimOutcome n = callPrimitive(660, h, {buffer, smallIntegerFor(1), smallIntegerFor((int64_t)max)});
    EXPECT_FALSE(n.failed);
    return std::string((const char*)bodyOf(headerOf(buffer)), n.failed ? 0 : (size_t)smallIntegerValue(n.result));
  }
  void writeAll(oop h, const std::string& text) {
    EXPECT_EQ(callPrimitive(661, h, {byteString(text), smallIntegerFor(1), smallIntegerFor((int64_t)text.size())}).result,
              smallIntegerFor((int64_t)text.size()));
  }
};

// The image listens and accepts a C peer connecting from a thread, which echoes what it is
// sent; then the image connects to a C listener, sees the connection in progress, then
// writable, and shuts its side down.
TEST_F(Unix_Sockets, ListenAcceptAndConnectAgainstCPeers) {
  oop listener = boundSocket(SOCK_STREAM);
  EXPECT_EQ(callPrimitive(673, listener, {smallIntegerFor(4)}).result, listener);
  PrimOutcome name = callPrimitive(632, listener, {});
  ASSERT_FALSE(name.failed);
  EXPECT_EQ(classTagOf(headerOf(name.result)), testClasses.bytes);
  ASSERT_EQ(byteSizeOf(headerOf(name.result)), sizeof(sockaddr_in));
  sockaddr_in bound;
  memcpy(&bound, bodyOf(headerOf(name.result)), sizeof bound);
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  std::thread peer([port = ntohs(bound.sin_port)] {
    // The engine's timer and I/O signals belong to the test's thread: taken here they would
    // break this peer's connect or read off with EINTR and leave the image waiting.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = loopback(port);
    if (connect(s, (sockaddr*)&to, sizeof to) != 0) return;
    char buffer[64];
    ssize_t n = read(s, buffer, sizeof buffer);
    if (n > 0) (void)!write(s, buffer, (size_t)n);
    while (read(s, buffer, sizeof buffer) > 0) {}
    close(s);
  });
  ASSERT_TRUE(waitFor(fdOf(listener), POLLIN));
  PrimOutcome accepted = callPrimitive(671, listener, {});
  ASSERT_FALSE(accepted.failed);
  oop connection = descriptorHolder((int)smallIntegerValue(slotOf(accepted.result, 0)));
  oop peerAddress = slotOf(accepted.result, 1);
  EXPECT_EQ(byteSizeOf(headerOf(peerAddress)), sizeof(sockaddr_in));
  EXPECT_EQ(callPrimitive(634, connection, {}).result, falseOop());
  writeAll(connection, "ping");
  EXPECT_EQ(readSome(connection, 64), "ping");
  EXPECT_EQ(callPrimitive(677, connection, {smallIntegerFor(SHUT_RDWR)}).result, connection);
  peer.join();

  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at = loopback(0);
  ASSERT_EQ(bind(server, (sockaddr*)&at, sizeof at), 0);
  ASSERT_EQ(listen(server, 1), 0);
  PrimOutcome s = callPrimitive(686, nilOop(), {smallIntegerFor(AF_INET), smallIntegerFor(SOCK_STREAM), smallIntegerFor(0)});
  oop client = descriptorHolder((int)smallIntegerValue(s.result));
  FailureInfo inProgress = failure(674, client, {address(loopback(portOf(server)))});
  EXPECT_EQ(inProgress.code, 9);
  EXPECT_EQ(inProgress.value, EINPROGRESS);
  PrimOutcome writable = callPrimitive(668, client, {nilOop(), trueOop()});
  for (int i = 0; i < 500 && writable.result != trueOop(); i++, usleep(1000))
    writable = callPrimitive(668, client, {nilOop(), trueOop()});
  EXPECT_EQ(writable.result, trueOop());
  PrimOutcome peerName = callPrimitive(633, client, {});
  ASSERT_FALSE(peerName.failed);
  sockaddr_in connectedTo;
  memcpy(&connectedTo, bodyOf(headerOf(peerName.result)), sizeof connectedTo);
  EXPECT_EQ(ntohs(connectedTo.sin_port), portOf(server));
  int one = 1;
  EXPECT_EQ(callPrimitive(630, client, {smallIntegerFor(SOL_SOCKET), smallIntegerFor(SO_KEEPALIVE), smallIntegerFor(one)}).result, client);
  PrimOutcome option = callPrimitive(631, client, {smallIntegerFor(SOL_SOCKET), smallIntegerFor(SO_KEEPALIVE)});
  ASSERT_FALSE(option.failed);
  ASSERT_EQ(byteSizeOf(headerOf(option.result)), sizeof(int));
  EXPECT_EQ(*(int*)bodyOf(headerOf(option.result)), 1);
  for (oop h : {listener, connection, client}) callPrimitive(651, h, {});
  close(server);
}

// recvfrom into a 28-byte address object from an IPv4 sender: the sender's 16 bytes, then
// zeros where a longer address stood; sendto answers it.
TEST_F(Unix_Sockets, DatagramsAndTheAddressTheyCameFrom) {
  oop receiver = boundSocket(SOCK_DGRAM);
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in from = loopback(0);
  ASSERT_EQ(bind(sender, (sockaddr*)&from, sizeof from), 0);
  sockaddr_in to = loopback(portOf(fdOf(receiver)));
  ASSERT_EQ(sendto(sender, "dgram", 5, 0, (sockaddr*)&to, sizeof to), 5);
  uint8_t stale[28];
  memset(stale, 0xAA, sizeof stale);
  stale[0] = AF_INET6, stale[1] = 0;
  oop peer = bytesOf(stale, sizeof stale), buffer = newOldObject(testClasses.bytes, 8);
  ASSERT_TRUE(waitFor(fdOf(receiver), POLLIN));
  PrimOutcome got = callPrimitive(675, receiver, {peer, buffer, smallIntegerFor(4), smallIntegerFor(5), smallIntegerFor(0)});
  ASSERT_FALSE(got.failed);
  EXPECT_EQ(got.result, smallIntegerFor(5));
  EXPECT_EQ(std::string((const char*)bodyOf(headerOf(buffer)) + 3, 5), "dgram");
  sockaddr_in senderAddress;
  socklen_t n = sizeof senderAddress;
  getsockname(sender, (sockaddr*)&senderAddress, &n);
  const uint8_t* filled = (const uint8_t*)bodyOf(headerOf(peer));
  EXPECT_EQ(memcmp(filled, &senderAddress, 16), 0);
  for (int i = 16; i < 28; i++) EXPECT_EQ(filled[i], 0) << i;
  PrimOutcome sent = callPrimitive(676, receiver, {bytesOf(filled, 16), buffer, smallIntegerFor(4), smallIntegerFor(5), smallIntegerFor(0)});
  EXPECT_EQ(sent.result, smallIntegerFor(5));
  char back[8];
  ASSERT_TRUE(waitFor(sender, POLLIN));
  EXPECT_EQ(recv(sender, back, sizeof back, 0), 5);
  EXPECT_EQ(std::string(back, 5), "dgram");
  callPrimitive(651, receiver, {});
  close(sender);
}

// 652 answers two ends of a TCP connection over 127.0.0.1 ({accepted, connecting}), both
// prepared; bytes cross both ways; a thousand pairs made and closed leave the count as it was.
TEST_F(Unix_Sockets, LoopbackPairsCarryBytesAndKeepTheCount) {
  int used = used_ufds;
  int accepted, connecting;
  ASSERT_TRUE(newPair(652, &accepted, &connecting));
  EXPECT_EQ(used_ufds, used + 2);
  for (int fd : {accepted, connecting}) {
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  sockaddr_in local, peer;
  socklen_t n = sizeof local, m = sizeof peer;
  getsockname(accepted, (sockaddr*)&local, &n);
  getpeername(accepted, (sockaddr*)&peer, &m);
  EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ntohs(peer.sin_port), portOf(connecting));
  oop a = descriptorHolder(accepted), c = descriptorHolder(connecting);
  writeAll(a, "to the connecting end");
  EXPECT_EQ(readSome(c, 64), "to the connecting end");
  writeAll(c, "and back");
  EXPECT_EQ(readSome(a, 64), "and back");
  callPrimitive(651, a, {});
  callPrimitive(651, c, {});
  EXPECT_EQ(used_ufds, used);
  for (int i = 0; i < 1000; i++) {
    int one, other;
    ASSERT_TRUE(newPair(i % 2 ? 654 : 652, &one, &other)) << i;
    callPrimitive(651, descriptorHolder(one), {});
    callPrimitive(651, descriptorHolder(other), {});
  }
  EXPECT_EQ(used_ufds, used);
}

TEST_F(Unix_Sockets, BadInput) {
  oop udp = boundSocket(SOCK_DGRAM);
  uint8_t inet6[27] = {AF_INET6, 0};
  oop short6 = bytesOf(inet6, sizeof inet6), buffer = newOldObject(testClasses.bytes, 8);
  oop peer = address(loopback(9)), label64 = byteString(std::string(64, 'a') + ".invalid");
  oop hints6 = arrayOf({nilOop(), nilOop(), nilOop(), nilOop(), nilOop(), nilOop()});
  oop numericHost = arrayOf({smallIntegerFor(AI_NUMERICHOST), nilOop(), nilOop(), nilOop(), nilOop(), nilOop(), nilOop()});
  const oop two = smallIntegerFor(2), one = smallIntegerFor(1), zero = smallIntegerFor(0);
  struct Case {
    const char* what;
    uint32_t number;
    oop receiver;
    std::vector<oop> args;
    int code;
    int64_t value;  // -1: the table's entry itself
  } cases[] = {
      {"socket, domain not a SmallInteger", 686, nilOop(), {nilOop(), one, zero}, 3, 1},
      {"socket, protocol not a SmallInteger", 686, nilOop(), {two, one, trueOop()}, 3, 3},
      {"bind, 27-byte AF_INET6 address", 672, udp, {short6}, 3, -1},
      {"connect, 27-byte AF_INET6 address", 674, udp, {short6}, 3, -1},
      {"connect, immediate address", 674, udp, {smallIntegerFor(7)}, 3, -1},
      {"bind, pointer object as address", 672, udp, {arrayOf({zero})}, 3, -1},
      {"recvfrom, 27-byte AF_INET6 address", 675, udp, {short6, buffer, one, one, zero}, 3, -1},
      {"recvfrom, start + count - 1 = size + 1", 675, udp, {peer, buffer, two, smallIntegerFor(8), zero}, 3, -1},
      {"recvfrom, start 0", 675, udp, {peer, buffer, zero, one, zero}, 3, -1},
      {"recvfrom, start + count - 1 = size, nothing there", 675, udp, {peer, buffer, one, smallIntegerFor(8), zero}, 9, EAGAIN},
      {"recvfrom, count 0 after the end", 675, udp, {peer, buffer, smallIntegerFor(9), zero, zero}, 9, EAGAIN},
      {"host name of 256 bytes", 640, nilOop(), {byteString(std::string(256, 'h'))}, 3, -1},
      {"unknown host", 640, nilOop(), {label64}, 10, -1},
      {"unknown network", 641, nilOop(), {label64}, 10, -1},
      {"network name not a string", 641, nilOop(), {one}, 3, -1},
      {"addrinfo, host of 256 bytes", 1644, nilOop(), {byteString(std::string(256, 'h')), nilOop(), nilOop()}, 3, 1},
      {"addrinfo, service not a string", 1644, nilOop(), {nilOop(), one, nilOop()}, 3, 2},
      {"addrinfo, 6-slot hints", 1644, nilOop(), {byteString("localhost"), nilOop(), hints6}, 3, 3},
      {"addrinfo, unknown host", 1644, nilOop(), {byteString("no such host"), nilOop(), numericHost}, 22, EAI_NONAME},
      {"nameinfo, receiver no address", 1645, arrayOf({}), {nilOop(), nilOop(), nilOop()}, 4, -1},
      {"nameinfo, flags not a SmallInteger", 1645, peer, {nilOop(), nilOop(), trueOop()}, 3, 3},
      {"peer name, receiver without a descriptor", 633, arrayOf({}), {}, 4, -1},
      {"socket name, receiver without a descriptor", 632, arrayOf({}), {}, 3, -1},
      {"socket address class, two slots", 698, nilOop(), {arrayOf({classAt(testClasses.bytes), nilOop()})}, 3, -1},
      {"socket address class, a pointer class", 698, nilOop(), {arrayOf({classAt(testClasses.pointers)})}, 3, -1},
  };
  for (const Case& c : cases) {
    FailureInfo f = failure(c.number, c.receiver, c.args);
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_EQ(f.value, c.value) << c.what;
  }
  EXPECT_EQ(callPrimitive(1645, peer, {nilOop(), nilOop(), nilOop()}).result, peer);

  int32_t savedMax = max_ufds, open = used_ufds;
  max_ufds = used_ufds;
  for (uint32_t number : {686u, 657u}) {
    FailureInfo f = failure(number, nilOop(), {two, one, zero});
    EXPECT_EQ(f.code, 9) << number;
    EXPECT_EQ(f.value, EMFILE) << number;
  }
  max_ufds = used_ufds + 1;
  EXPECT_EQ(failure(657, nilOop(), {smallIntegerFor(AF_UNIX), one, zero}).value, EMFILE);
  EXPECT_EQ(failure(652, nilOop(), {}).value, EMFILE);
  max_ufds = savedMax;
  EXPECT_EQ(used_ufds, open);
  callPrimitive(651, udp, {});
}

// Before the socket-address class is registered no socket is made.
class Unix_SocketAddressClass : public UnixIOTest {};

TEST_F(Unix_SocketAddressClass, SocketsWaitForIt) {
  int used = used_ufds;
  for (uint32_t number : {686u, 657u}) {
    FailureInfo f = failure(number, nilOop(), {smallIntegerFor(AF_UNIX), smallIntegerFor(SOCK_STREAM), smallIntegerFor(0)});
    EXPECT_EQ(f.code, 5) << number;
    EXPECT_EQ(f.value, -6) << number;
  }
  EXPECT_EQ(used_ufds, used);
  registerSocketAddressClass();
  PrimOutcome pair = callPrimitive(657, nilOop(), {smallIntegerFor(AF_UNIX), smallIntegerFor(SOCK_STREAM), smallIntegerFor(0)});
  ASSERT_FALSE(pair.failed);
  EXPECT_EQ(used_ufds, used + 2);
  for (int i = 0; i < 2; i++) callPrimitive(651, descriptorHolder((int)smallIntegerValue(slotOf(pair.result, i))), {});
}

}  // namespace
