// Unix layer: the socket primitives (sockets, addresses, options, datagrams, name lookups)
// and the socket-address class they answer. Owns sa_classX.
// Prefix: none (initSockPrims).
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "plat/unxFile.h"
#include "plat/unxMain.h"

int64_t sa_classX = -1;  // registry slot of the socket-address class, -1 until 698 runs

enum : uint64_t {
  addressBufferBytes = 128,  // a sockaddr_storage
  optionBufferBytes = 256,
  hostNameCapacity = 255,    // host names handed to the resolver
  lookupNameCapacity = 8191, // network, protocol and service names
  inet6AddressBytes = 28,    // a sockaddr_in6
  noSocketAddressClass = uint64_t(-6),
};
static_assert(sizeof(struct sockaddr_storage) == addressBufferBytes, "an address buffer holds any address");
static_assert(sizeof(struct sockaddr_in6) == inet6AddressBytes, "the AF_INET6 address length");

// ---- Arguments and answers -----------------------------------------------------------------

// Runs a system call with the engine's signals held off; errno is the call's.
template <typename Call>
static auto critically(Call call) {
  pdBeginCritical();
  auto r = call();
  int error = errno;
  pdEndCritical();
  errno = error;
  return r;
}

static bool intArgument(oop o, int* out) {
  int32_t v;
  if (!oopToSq32(o, &v)) return false;
  *out = v;
  return true;
}

// An address argument: a byte object whose bytes are the host's sockaddr and whose byte size
// is its length. With checkInet6, an AF_INET6 address shorter than a sockaddr_in6 is refused:
// the system would read or write past the object.
static struct sockaddr* addressArgument(oop a, bool checkInet6, socklen_t* length) {
  if (isImmediate(a) || hasPtrs(headerOf(a))) return nullptr;
  uint64_t size = byteSizeOf(headerOf(a));
  struct sockaddr* address = (struct sockaddr*)bodyOf(headerOf(a));
  uint16_t family = 0;
  if (size >= sizeof family) memcpy(&family, address, sizeof family);
  if (checkInet6 && family == AF_INET6 && size < inet6AddressBytes) return nullptr;
  *length = (socklen_t)(size > 0x7FFFFFFF ? 0x7FFFFFFF : size);
  return address;
}

static oop newBytes(oop cls, const void* bytes, uint64_t n) {
  ObjectHeader* h = allocVSObj(cls, n);
  if (h == nullptr) return 0;
  memcpy(bodyOf(h), bytes, n);
  return oopOf(h);
}

static oop newByteArray(const void* bytes, uint64_t n) { return newBytes(sysOop(sysByteArrayClass), bytes, n); }

// An address the system gave, of the socket-address class once 698 has registered it.
static oop newSocketAddress(const void* bytes, uint64_t n) {
  return newBytes(sa_classX >= 0 ? sysOop((uint32_t)sa_classX) : sysOop(sysByteArrayClass), bytes, n);
}

static oop newString(const char* s) { return STStringWithSize(s, strlen(s)); }

static oop answerOrNoSpace(oop answer, uint64_t numArgs) {
  return answer != 0 ? answer : failCode(primErrNoSpace, numArgs);
}

// A name argument (a string without zero bytes) in buffer, or nil (*none); false otherwise.
static bool nameOrNil(oop s, char* buffer, uint64_t capacity, bool* none) {
  *none = s == nilOop();
  return *none || copyPath(s, buffer, capacity);
}

// ---- Sockets -------------------------------------------------------------------------------

// The arguments domain, type and protocol of 686 and 657; a failure's answer in *failed.
static bool socketArguments(oop domain, oop type, oop protocol, int v[3], int room, oop* failed) {
  const oop args[3] = {domain, type, protocol};
  for (int i = 0; i < 3; i++)
    if (!intArgument(args[i], &v[i])) return *failed = failCarrying(primErrBadArgument, i + 1, 3), false;
  if (used_ufds + room > max_ufds) return *failed = failErrno(EMFILE, 3), false;
  if (sa_classX < 0) return *failed = failCarrying(primErrWrongClass, (int64_t)noSocketAddressClass, 3), false;
  return true;
}

// Prepares a new descriptor for the image; on failure it is closed and errno kept.
static bool prepared(int fd) {
  if (prepareUfd(fd)) return true;
  int error = errno;
  closeUfd(fd);
  errno = error;
  return false;
}

// 686: a socket.
static oop primSocket(oop, oop domain, oop type, oop protocol) {
  int v[3];
  oop failed;
  if (!socketArguments(domain, type, protocol, v, 1, &failed)) return failed;
  int fd = socket(v[0], v[1], v[2]);
  if (fd < 0 || !prepared(fd)) return failErrno(errno, 3);
  return smallIntegerFor(fd);
}

// 657: a connected pair of sockets.
static oop primSocketPair(oop, oop domain, oop type, oop protocol) {
  int v[3], fds[2];
  oop failed;
  if (!socketArguments(domain, type, protocol, v, 2, &failed)) return failed;
  ObjectHeader* pair = allocVSObj(sysOop(sysArrayClass), 2);
  if (pair == nullptr) return failCode(primErrNoSpace, 3);
  if (socketpair(v[0], v[1], v[2], fds) != 0 || !prepareUfdPair(fds)) return failErrno(errno, 3);
  bodyOf(pair)[0] = smallIntegerFor(fds[0]);
  bodyOf(pair)[1] = smallIntegerFor(fds[1]);
  return oopOf(pair);
}

// 672 bind, 674 connect: the receiver's socket and an address.
static oop addressCall(oop receiver, oop address, int (*call)(int, const struct sockaddr*, socklen_t)) {
  int fd = smallDescriptorOf(receiver);
  socklen_t length;
  struct sockaddr* a = addressArgument(address, true, &length);
  if (fd < 0 || a == nullptr) return failCode(primErrBadArgument, 1);
  if (critically([&] { return call(fd, a, length); }) != 0) return failErrno(errno, 1);
  return receiver;
}
static oop primBind(oop receiver, oop address) { return addressCall(receiver, address, bind); }
static oop primConnect(oop receiver, oop address) { return addressCall(receiver, address, connect); }

// 673 listen, 677 shutdown: the receiver's socket and a SmallInteger.
static oop integerCall(oop receiver, oop value, int (*call)(int, int)) {
  int fd = smallDescriptorOf(receiver), v;
  if (fd < 0 || !intArgument(value, &v)) return failCode(primErrBadArgument, 1);
  if (critically([&] { return call(fd, v); }) != 0) return failErrno(errno, 1);
  return receiver;
}
static oop primListen(oop receiver, oop backlog) { return integerCall(receiver, backlog, listen); }
static oop primShutdown(oop receiver, oop how) { return integerCall(receiver, how, shutdown); }

// 671: accept a connection: {descriptor, the peer's address}.
static oop primAccept(oop receiver) {
  int fd = smallDescriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadArgument, 0);
  if (used_ufds + 1 > max_ufds) return failErrno(EMFILE, 0);
  struct sockaddr_storage peer;
  socklen_t length = sizeof peer;
  int accepted = critically([&] { return accept(fd, (struct sockaddr*)&peer, &length); });
  if (accepted < 0 || !prepared(accepted)) return failErrno(errno, 0);
  ObjectHeader* pair = allocVSObj(sysOop(sysArrayClass), 2);
  oop address = pair != nullptr ? newSocketAddress(&peer, length < sizeof peer ? length : sizeof peer) : 0;
  if (address == 0) {
    closeUfd(accepted);
    return failCode(primErrNoSpace, 0);
  }
  bodyOf(pair)[0] = smallIntegerFor(accepted);
  storeSlot(oopOf(pair), 1, address, __FILE__, __LINE__);
  return oopOf(pair);
}

// 632 getsockname, 633 getpeername; the two refuse a bad receiver with different codes.
static oop nameCall(oop receiver, int (*call)(int, struct sockaddr*, socklen_t*), uint32_t badReceiver) {
  int fd = smallDescriptorOf(receiver);
  if (fd < 0) return failCode(badReceiver, 0);
  struct sockaddr_storage a;
  socklen_t length = sizeof a;
  if (critically([&] { return call(fd, (struct sockaddr*)&a, &length); }) != 0) return failErrno(errno, 0);
  return answerOrNoSpace(newSocketAddress(&a, length < sizeof a ? length : sizeof a), 0);
}
static oop primSocketName(oop receiver) { return nameCall(receiver, getsockname, primErrBadArgument); }
static oop primPeerName(oop receiver) { return nameCall(receiver, getpeername, primErrBadReceiver); }

// 634: at the out-of-band mark?
static oop primAtMark(oop receiver) {
  int fd = smallDescriptorOf(receiver), mark = 0;
  if (fd < 0) return failCode(primErrBadReceiver, 0);
  if (ioctl(fd, SIOCATMARK, &mark) != 0) return failErrno(errno, 0);
  return booleanOop(mark != 0);
}

// 630: set an option: a SmallInteger is a C int, nil no value, a ByteArray its bytes.
static oop primSetOption(oop receiver, oop level, oop option, oop value) {
  int fd = smallDescriptorOf(receiver), l, o, number;
  if (fd < 0 || !intArgument(level, &l) || !intArgument(option, &o)) return failCode(primErrBadArgument, 3);
  const void* bytes = nullptr;
  socklen_t length = 0;
  if (isSmallInteger(value)) {
    if (!intArgument(value, &number)) return failCode(primErrBadArgument, 3);
    bytes = &number, length = sizeof number;
  } else if (hasByteArrayFormat(value)) {
    bytes = bodyOf(headerOf(value)), length = (socklen_t)byteSizeOf(headerOf(value));
  } else if (value != nilOop()) {
    return failCode(primErrBadArgument, 3);
  }
  if (setsockopt(fd, l, o, bytes, length) != 0) return failErrno(errno, 3);
  return receiver;
}

// 631: an option's value as a ByteArray of the length the system gave.
static oop primGetOption(oop receiver, oop level, oop option) {
  int fd = smallDescriptorOf(receiver), l, o;
  if (fd < 0 || !intArgument(level, &l) || !intArgument(option, &o)) return failCode(primErrBadArgument, 2);
  uint8_t buffer[optionBufferBytes];
  socklen_t length = sizeof buffer;
  if (getsockopt(fd, l, o, buffer, &length) != 0) return failErrno(errno, 2);
  return answerOrNoSpace(newByteArray(buffer, length < sizeof buffer ? length : sizeof buffer), 2);
}

// 675 recvfrom into buffer[start, start + count), the sender's address into the address
// object, whose bytes past the length received are cleared: a reused object never shows
// part of a longer earlier address. 676 sendto from the buffer to the address.
static oop datagramCall(oop receiver, oop address, oop buffer, oop start, oop count, oop flags, bool receiving) {
  int fd = smallDescriptorOf(receiver), f;
  socklen_t length;
  struct sockaddr* a = addressArgument(address, receiving, &length);
  int64_t n;
  uint8_t* bytes = bufferRange(buffer, start, count, 0, &n);
  if (fd < 0 || a == nullptr || bytes == nullptr || !intArgument(flags, &f)) return failCode(primErrBadArgument, 5);
  socklen_t size = length;
  ssize_t done = critically([&] {
    return receiving ? recvfrom(fd, bytes, (size_t)n, f, a, &length) : sendto(fd, bytes, (size_t)n, f, a, length);
  });
  if (done < 0) return failErrno(errno, 5);
  if (receiving && length < size) memset((uint8_t*)a + length, 0, size - length);
  return smallIntegerFor(done);
}
static oop primReceiveFrom(oop r, oop a, oop b, oop s, oop c, oop f) { return datagramCall(r, a, b, s, c, f, true); }
static oop primSendTo(oop r, oop a, oop b, oop s, oop c, oop f) { return datagramCall(r, a, b, s, c, f, false); }

// 698: register the socket-address class, the one slot of an Array; it must make byte
// objects, as every address answered is one.
static oop primRegisterAddressClass(oop receiver, oop request) {
  if (!hasArrayFormat(request) || bodyWordsOf(headerOf(request)) != 1) return failCode(primErrBadArgument, 1);
  oop cls = slotOf(request, 0);
  if (classType(cls) != 2 || (classFormatOf(cls) & formatPointers)) return failCode(primErrBadArgument, 1);
  if (sa_classX < 0) {
    int64_t slot = allocSysOopSlot();
    if (slot < 0) return failCode(primErrNoSpace, 1);
    sa_classX = slot;
  }
  registerSysOop(cls, (uint32_t)sa_classX);
  return receiver;
}

// ---- Name lookups --------------------------------------------------------------------------
// The resolver's classic functions keep their answers in static storage: each lookup and the
// copy of its answer run with the engine's signals held off.

// 640: the first address of a host.
static oop primHostAddress(oop, oop name) {
  char host[hostNameCapacity + 1];
  if (!copyPath(name, host, hostNameCapacity)) return failCode(primErrBadArgument, 1);
  oop answer = critically([&]() -> oop {
    struct hostent* h = gethostbyname(host);
    if (h == nullptr || h->h_addr_list[0] == nullptr) return nilOop();
    return newByteArray(h->h_addr_list[0], (uint64_t)h->h_length);
  });
  if (answer == nilOop()) return failCode(primErrNotFound, 1);
  return answerOrNoSpace(answer, 1);
}

// 641 network number (4 bytes, host order), 643 port (2 bytes, network order), 642 protocol.
enum NameKind { networkName, protocolName, serviceName };

static oop lookupName(oop name, NameKind kind) {
  char text[lookupNameCapacity + 1];
  if (!copyPath(name, text, lookupNameCapacity)) return failCode(primErrBadArgument, 1);
  oop answer = critically([&]() -> oop {
    if (kind == networkName) {
      struct netent* n = getnetbyname(text);
      uint32_t number = n != nullptr ? n->n_net : 0;
      return n == nullptr ? nilOop() : newByteArray(&number, sizeof number);
    }
    if (kind == protocolName) {
      struct protoent* p = getprotobyname(text);
      return p == nullptr ? nilOop() : smallIntegerFor(p->p_proto);
    }
    struct servent* s = getservbyname(text, nullptr);
    uint16_t port = s != nullptr ? (uint16_t)s->s_port : 0;
    return s == nullptr ? nilOop() : newByteArray(&port, sizeof port);
  });
  if (answer == nilOop()) return failCode(primErrNotFound, 1);
  return answerOrNoSpace(answer, 1);
}
static oop primNetworkNumber(oop, oop name) { return lookupName(name, networkName); }
static oop primProtocolNumber(oop, oop name) { return lookupName(name, protocolName); }
static oop primServicePort(oop, oop name) { return lookupName(name, serviceName); }

// 645 host (address bytes), 646 network (4 bytes), 647 protocol (SmallInteger), 648 service
// (2 bytes in network order): the name the system gives for each.
enum NumberKind { hostNumber, networkNumber, protocolNumber, servicePort };

static oop lookupNumber(oop key, NumberKind kind) {
  static const uint64_t leastBytes[] = {0, 4, 0, 2};
  int protocol = 0;
  bool good = kind == protocolNumber ? intArgument(key, &protocol)
                                     : hasByteArrayFormat(key) && byteSizeOf(headerOf(key)) >= leastBytes[kind];
  if (!good) return failCode(primErrBadArgument, 1);
  const uint8_t* bytes = kind == protocolNumber ? nullptr : (const uint8_t*)bodyOf(headerOf(key));
  oop answer = critically([&]() -> oop {
    const char* name = nullptr;
    uint32_t network;
    uint16_t port;
    if (kind == hostNumber) {
      struct hostent* h = gethostbyaddr(bytes, (socklen_t)byteSizeOf(headerOf(key)), AF_INET);
      name = h != nullptr ? h->h_name : nullptr;
    } else if (kind == networkNumber) {
      memcpy(&network, bytes, sizeof network);
      struct netent* n = getnetbyaddr(network, AF_INET);
      name = n != nullptr ? n->n_name : nullptr;
    } else if (kind == protocolNumber) {
      struct protoent* p = getprotobynumber(protocol);
      name = p != nullptr ? p->p_name : nullptr;
    } else {
      memcpy(&port, bytes, sizeof port);
      struct servent* s = getservbyport(port, nullptr);
      name = s != nullptr ? s->s_name : nullptr;
    }
    return name == nullptr ? nilOop() : newString(name);
  });
  if (answer == nilOop()) return failCode(primErrNotFound, 1);
  return answerOrNoSpace(answer, 1);
}
static oop primHostName(oop, oop address) { return lookupNumber(address, hostNumber); }
static oop primNetworkName(oop, oop number) { return lookupNumber(number, networkNumber); }
static oop primProtocolName(oop, oop number) { return lookupNumber(number, protocolNumber); }
static oop primServiceName(oop, oop port) { return lookupNumber(port, servicePort); }

// 649: this host's name.
static oop primLocalHostName(oop) {
  char name[hostNameCapacity + 2] = {0};
  if (gethostname(name, hostNameCapacity + 1) != 0) return failErrno(errno, 0);
  return answerOrNoSpace(STStringWithSize(name, strnlen(name, hostNameCapacity + 1)), 0);
}

// A resolver failure of getaddrinfo or getnameinfo: the system's errno, or the code.
static oop failResolver(int code, uint64_t numArgs) {
  if (code == EAI_SYSTEM) return failErrno(errno, numArgs);
  return failCarrying(primErrHostLookup, code, numArgs);
}

// One answer of 1644: {flags, family, type, protocol, address length, canonical name or
// nil, address}.
static oop addressInfoEntry(const struct addrinfo* ai) {
  ObjectHeader* entry = allocVSObj(sysOop(sysArrayClass), 7);
  oop address = entry != nullptr ? newSocketAddress(ai->ai_addr, ai->ai_addrlen) : 0;
  oop name = address != 0 && ai->ai_canonname != nullptr ? newString(ai->ai_canonname) : nilOop();
  if (address == 0 || name == 0) return 0;
  const int64_t numbers[5] = {ai->ai_flags, ai->ai_family, ai->ai_socktype, ai->ai_protocol, ai->ai_addrlen};
  for (int i = 0; i < 5; i++) storeSlot(oopOf(entry), (uint64_t)i, smallIntegerFor(numbers[i]), __FILE__, __LINE__);
  storeSlot(oopOf(entry), 5, name, __FILE__, __LINE__);
  storeSlot(oopOf(entry), 6, address, __FILE__, __LINE__);
  return oopOf(entry);
}

// The Array of entries for a result list; 0 when no space.
static oop addressInfoArray(const struct addrinfo* list) {
  uint64_t n = 0;
  for (const struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) n++;
  ObjectHeader* all = allocVSObj(sysOop(sysArrayClass), n);
  if (all == nullptr) return 0;
  uint64_t i = 0;
  for (const struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next, i++) {
    oop entry = addressInfoEntry(ai);
    if (entry == 0) return 0;
    storeSlot(oopOf(all), i, entry, __FILE__, __LINE__);
  }
  return oopOf(all);
}

// The hints of 1644: nil, or an Array of 7 whose first four slots (nil for 0) are the
// flags, family, socket type and protocol.
static bool addressInfoHints(oop hints, struct addrinfo* out, bool* none) {
  memset(out, 0, sizeof *out);
  *none = hints == nilOop();
  if (*none) return true;
  if (!hasArrayFormat(hints) || bodyWordsOf(headerOf(hints)) != 7) return false;
  int* fields[4] = {&out->ai_flags, &out->ai_family, &out->ai_socktype, &out->ai_protocol};
  for (int i = 0; i < 4; i++)
    if (slotOf(hints, (uint64_t)i) != nilOop() && !intArgument(slotOf(hints, (uint64_t)i), fields[i])) return false;
  return true;
}

// 1644: getaddrinfo; the result list is freed on every path.
static oop primAddressInfo(oop, oop host, oop service, oop hints) {
  char hostText[hostNameCapacity + 1], serviceText[lookupNameCapacity + 1];
  bool noHost, noService, noHints;
  struct addrinfo h;
  if (!nameOrNil(host, hostText, hostNameCapacity, &noHost)) return failCarrying(primErrBadArgument, 1, 3);
  if (!nameOrNil(service, serviceText, lookupNameCapacity, &noService)) return failCarrying(primErrBadArgument, 2, 3);
  if (!addressInfoHints(hints, &h, &noHints)) return failCarrying(primErrBadArgument, 3, 3);
  struct addrinfo* list = nullptr;
  int r = getaddrinfo(noHost ? nullptr : hostText, noService ? nullptr : serviceText, noHints ? nullptr : &h, &list);
  if (r != 0) return failResolver(r, 3);
  oop answer = addressInfoArray(list);
  freeaddrinfo(list);
  return answerOrNoSpace(answer, 3);
}

// A name buffer of 1645: nil (none), or a ByteArray the system writes into.
static bool nameBuffer(oop b, char** bytes, socklen_t* length) {
  *bytes = nullptr, *length = 0;
  if (b == nilOop()) return true;
  if (!hasByteArrayFormat(b)) return false;
  *bytes = (char*)bodyOf(headerOf(b)), *length = (socklen_t)byteSizeOf(headerOf(b));
  return true;
}

// 1645: getnameinfo of the receiver's address into the buffers given.
static oop primNameInfo(oop receiver, oop hostBuffer, oop serviceBuffer, oop flags) {
  if (sa_classX < 0 || isImmediate(receiver) || !isKindOf(receiver, sysOop((uint32_t)sa_classX)))
    return failCode(primErrBadReceiver, 3);
  char *host, *service;
  socklen_t hostLength, serviceLength;
  int f = 0;
  if (!nameBuffer(hostBuffer, &host, &hostLength)) return failCarrying(primErrBadArgument, 1, 3);
  if (!nameBuffer(serviceBuffer, &service, &serviceLength)) return failCarrying(primErrBadArgument, 2, 3);
  if (flags != nilOop() && !intArgument(flags, &f)) return failCarrying(primErrBadArgument, 3, 3);
  socklen_t length = 0;
  struct sockaddr* a = addressArgument(receiver, false, &length);
  if (a == nullptr) return failCode(primErrBadReceiver, 3);
  int r = getnameinfo(a, length, host, hostLength, service, serviceLength, f);
  if (r != 0) return failResolver(r, 3);
  return receiver;
}

// ---- Registration --------------------------------------------------------------------------

void initSockPrims() {
  const struct { uint32_t number; const void* function; uint8_t numArgs; } prims[] = {
      {630, (const void*)primSetOption, 3},       {631, (const void*)primGetOption, 2},
      {632, (const void*)primSocketName, 0},      {633, (const void*)primPeerName, 0},
      {634, (const void*)primAtMark, 0},          {640, (const void*)primHostAddress, 1},
      {641, (const void*)primNetworkNumber, 1},   {642, (const void*)primProtocolNumber, 1},
      {643, (const void*)primServicePort, 1},     {1644, (const void*)primAddressInfo, 3},
      {1645, (const void*)primNameInfo, 3},       {645, (const void*)primHostName, 1},
      {646, (const void*)primNetworkName, 1},     {647, (const void*)primProtocolName, 1},
      {648, (const void*)primServiceName, 1},     {649, (const void*)primLocalHostName, 0},
      {657, (const void*)primSocketPair, 3},      {671, (const void*)primAccept, 0},
      {672, (const void*)primBind, 1},            {673, (const void*)primListen, 1},
      {674, (const void*)primConnect, 1},         {675, (const void*)primReceiveFrom, 5},
      {676, (const void*)primSendTo, 5},          {677, (const void*)primShutdown, 1},
      {686, (const void*)primSocket, 3},          {698, (const void*)primRegisterAddressClass, 1},
  };
  for (auto p : prims) addCPrimitive(p.number, p.function, p.numArgs);
}
