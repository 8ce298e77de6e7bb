// Windows layer: the socket primitives over socket channels, the socket-address class, and
// the wait groups: each holds up to 63 sockets whose network events one thread waits on; when
// one fires the thread raises the input request and parks, and the Smalltalk thread scans the
// group, sets the channels' readiness flags, signals their Semaphores and re-arms it.
// Owns sa_classX, socketsInitialised and socketWaitGroups. Prefix: none (initSockPrims, ...).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platpc/ntSock.h"

#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"

int64_t sa_classX = -1;
int socketsInitialised;
SocketWaitGroup* socketWaitGroups;

enum : uint64_t {
  addressBufferBytes = 128,
  optionBufferBytes = 256,
  lookupNameCapacity = 259,
  addrInfoHostCapacity = 1024,
  addrInfoServiceCapacity = 31,
  hostNameBufferBytes = 261,
  inet6Family = 23,
  inet6AddressBytes = 28,
};
static_assert(AF_INET6 == inet6Family && sizeof(sockaddr_in6) == inet6AddressBytes, "the IPv6 address");

enum : long { fdReadSide = 0x2D, fdWriteSide = 0x32 };  // READ|OOB|ACCEPT|CLOSE; WRITE|CONNECT|CLOSE
enum : uint64_t { traceNamesBit = 2, traceEventsBit = 0x1000000 };
enum : uint32_t { platformNote = 0x2100 };

static bool tracing(uint64_t bit) { return (qrxOptions & bit) != 0; }
static void traceName(const char* name) {
  if (tracing(traceNamesBit)) printf("\n%s", name);
}

static void note(const char* text) { doReportError(text, platformNote, __FILE__, __LINE__); }

// ---- Arguments and answers -----------------------------------------------------------------

static oop fail(uint32_t code, uint64_t numArgs) { return ntFail(code, numArgs); }
static oop failSocketError(uint64_t numArgs) { return ntFailCarrying(primErrPlatform, WSAGetLastError(), numArgs); }
static oop failWith(oop error, uint64_t numArgs) { return failPrimitive(error, numArgs); }

static bool intArgument(oop o, int* out) {
  int32_t v;
  if (!oopToSq32(o, &v)) return false;
  *out = v;
  return true;
}

static bool byteFormat(oop o) {
  return !isImmediate(o) && !hasPtrs(headerOf(o)) &&
         (classTagOf(headerOf(o)) == classIndexByteArray ||
          classFormatOf(classOf(o)) == classFormatOf(sysOop(sysByteArrayClass)));
}

static bool arrayFormat(oop o) {
  return !isImmediate(o) && hasPtrs(headerOf(o)) && classFormatOf(classOf(o)) == classFormatOf(sysOop(sysArrayClass));
}

// The receiver's socket channel; null for a closed handle object or anything else. A file
// channel is handed on: the socket call refuses it with WSAENOTSOCK.
static IOChannel* socketOf(oop receiver) { return channelOf(receiver); }

// An address argument: a byte object holding a sockaddr, its byte size the length. An IPv6
// address too short for a sockaddr_in6 is refused: the system would go past the object.
static sockaddr* addressArgument(oop a, int* length) {
  if (isImmediate(a) || hasPtrs(headerOf(a))) return nullptr;
  uint64_t size = byteSizeOf(headerOf(a));
  sockaddr* address = reinterpret_cast<sockaddr*>(bodyOf(headerOf(a)));
  uint16_t family = 0;
  if (size >= sizeof family) memcpy(&family, address, sizeof family);
  if (family == inet6Family && size < inet6AddressBytes) return nullptr;
  *length = int(size > 0x7FFFFFFF ? 0x7FFFFFFF : size);
  return address;
}

static oop newBytes(oop cls, const void* bytes, uint64_t n) {
  ObjectHeader* h = allocVSObj(cls, n);
  if (h == nullptr) return 0;
  memcpy(bodyOf(h), bytes, n);
  return oopOf(h);
}
static oop newByteArray(const void* bytes, uint64_t n) { return newBytes(sysOop(sysByteArrayClass), bytes, n); }
static oop newSocketAddress(const void* bytes, uint64_t n) {
  return newBytes(sa_classX >= 0 ? sysOop(uint32_t(sa_classX)) : sysOop(sysByteArrayClass), bytes, n);
}
static oop newString(const char* s) { return STStringWithSize(s, strlen(s)); }

// A name argument: a string without zero bytes of at most capacity bytes.
static bool nameArgument(oop s, char* buffer, uint64_t capacity) {
  if (isImmediate(s) || s == nilOop() || hasPtrs(headerOf(s))) return false;
  if (copyToCString(s, buffer, capacity + 1) == nullptr) return false;
  return strlen(buffer) == byteSizeOf(headerOf(s));
}

static bool nameOrNil(oop s, char* buffer, uint64_t capacity, bool* none) {
  *none = s == nilOop();
  return *none || nameArgument(s, buffer, capacity);
}

// ---- Wait groups ---------------------------------------------------------------------------

static unsigned __stdcall socketWaiterThread(void* argument) {
  SocketWaitGroup* g = static_cast<SocketWaitGroup*>(argument);
  for (;;) {
    LONG state = g->state;
    if (state == waiterStop) return 0;
    if (state == waiterWaiting) {
      WSAWaitForMultipleEvents(g->count + 1, g->events, FALSE, WSA_INFINITE, FALSE);
      InterlockedExchange(&g->state, waiterParked);
      asyncSetRequest(requestInput, 2, 0);
      WaitForSingleObject(g->semaphore, INFINITE);
    } else if (state == waiterParked) {
      WaitForSingleObject(g->semaphore, INFINITE);
    }
  }
}

static void scanGroupSocketEvents(SocketWaitGroup* g) {
  if (g->state != waiterParked) return;
  WSAResetEvent(g->events[0]);
  for (uint32_t i = 1; i <= g->count; i++) {
    IOChannel* c = g->channels[i];
    WSANETWORKEVENTS seen;
    if (WSAEnumNetworkEvents(SOCKET(c->handle), g->events[i], &seen) != 0 || seen.lNetworkEvents == 0) continue;
    if (tracing(traceNamesBit)) printf("E(%llx,%lx)", (unsigned long long)c->handle, seen.lNetworkEvents);
    if (seen.lNetworkEvents & fdReadSide) {
      c->readable = 1;
      if (seen.lNetworkEvents & FD_CLOSE) c->closed = 1;
      if (tracing(traceEventsBit)) printf(c->closed ? "K" : "R");
      signalSemaphoreSlot(c->readSemaphore);
    }
    if (seen.lNetworkEvents & fdWriteSide) {
      c->writable = 1;
      if (tracing(traceEventsBit)) printf("W");
      signalSemaphoreSlot(c->writeSemaphore);
    }
  }
}

// Until the waiter has left its wait on the events: the arrays may change only then.
static void stopSocketWaiter(SocketWaitGroup* g, bool scan) {
  while (g->state == waiterWaiting) {
    if (!WSASetEvent(g->events[0])) note("couldn't WSASetEvent a socket state event[0]");
    Sleep(0);
  }
  if (scan) scanGroupSocketEvents(g);
}

static void resumeSocketWaiter(SocketWaitGroup* g, LONG state) {
  InterlockedExchange(&g->state, state);
  if (!ReleaseSemaphore(g->semaphore, 1, nullptr)) note("couldn't signal a socket state semaphore");
}

static oop platformError(DWORD error) { return cloneErrorWith(primErrorAt(primErrPlatform), smallIntegerFor(error)); }

static oop newWaitGroup(SocketWaitGroup** out) {
  SocketWaitGroup* g = static_cast<SocketWaitGroup*>(calloc(1, sizeof(SocketWaitGroup)));
  if (g == nullptr) return primErrorAt(primErrMalloc);
  g->events[0] = WSACreateEvent();
  if (g->events[0] == WSA_INVALID_EVENT) {
    DWORD error = DWORD(WSAGetLastError());
    fprintf(stderr, "%s err: %u\n", "WSACreateEvent", unsigned(error));
    free(g);
    return platformError(error);
  }
  g->state = waiterParked;
  g->semaphore = CreateSemaphoreW(nullptr, 0, 0xFFFF, nullptr);
  unsigned id = 0;
  if (g->semaphore != nullptr)
    g->thread = HANDLE(_beginthreadex(nullptr, 1, socketWaiterThread, g, STACK_SIZE_PARAM_IS_A_RESERVATION, &id));
  if (g->thread == nullptr) {
    DWORD error = GetLastError();
    note("couldn't create a socket subsystem semaphore or thread");
    if (g->semaphore != nullptr) CloseHandle(g->semaphore);
    WSACloseEvent(g->events[0]);
    free(g);
    return platformError(error);
  }
  g->threadId = id;
  if (!SetThreadPriority(g->thread, THREAD_PRIORITY_ABOVE_NORMAL)) note("couldn't set a socket subsystem thread's priority");
  g->next = socketWaitGroups;
  socketWaitGroups = g;
  *out = g;
  return 0;
}

oop attachSocketChannel(IOChannel* c) {
  if (c->waitGroupIndex != 0) return 0;
  SocketWaitGroup* g = socketWaitGroups;
  while (g != nullptr && g->count >= socketsPerGroup) g = g->next;
  if (g == nullptr) {
    oop error = newWaitGroup(&g);
    if (error != 0) return error;
  }
  WSAEVENT event = WSACreateEvent();
  const char* failed = event == WSA_INVALID_EVENT ? "WSACreateEvent" : nullptr;
  if (failed == nullptr && WSAEventSelect(SOCKET(c->handle), event, FD_ALL_EVENTS) != 0) failed = "WSAEventSelect";
  if (tracing(traceNamesBit)) printf("\nWSAEventSelect(%llx,%x)", (unsigned long long)c->handle, unsigned(FD_ALL_EVENTS));
  if (failed != nullptr) {
    DWORD error = DWORD(WSAGetLastError());
    fprintf(stderr, "%s err: %u\n", failed, unsigned(error));
    if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
    return platformError(error);
  }
  stopSocketWaiter(g, true);
  uint32_t n = ++g->count;
  g->events[n] = event;
  g->channels[n] = c;
  c->waitGroupIndex = n;
  c->networkEvent = uint64_t(event);
  resumeSocketWaiter(g, waiterWaiting);
  Sleep(0);
  return 0;
}

void detachSocketChannel(IOChannel* c) {
  uint32_t i = c->waitGroupIndex;
  if (i == 0) return;
  SocketWaitGroup* g = socketWaitGroups;
  while (g != nullptr && !(i <= g->count && g->channels[i] == c)) g = g->next;
  if (g == nullptr) return;
  stopSocketWaiter(g, false);
  WSACloseEvent(WSAEVENT(c->networkEvent));
  c->networkEvent = 0;
  c->waitGroupIndex = 0;
  uint32_t last = g->count;
  if (i != last) {
    g->events[i] = g->events[last];
    g->channels[i] = g->channels[last];
    g->channels[i]->waitGroupIndex = i;
  }
  g->events[last] = nullptr;
  g->channels[last] = nullptr;
  g->count = last - 1;
  resumeSocketWaiter(g, waiterWaiting);
}

void signalSocketEvents() {
  for (SocketWaitGroup* g = socketWaitGroups; g != nullptr; g = g->next) {
    if (g->state != waiterParked) continue;
    scanGroupSocketEvents(g);
    resumeSocketWaiter(g, waiterWaiting);
  }
}

// Every socket is closed and every waiter told to end; the groups go once their threads have.
void shutdownSockets() {
  if (!socketsInitialised) return;
  for (SocketWaitGroup* g = socketWaitGroups; g != nullptr; g = g->next) {
    stopSocketWaiter(g, false);
    for (uint32_t i = 1; i <= g->count; i++) {
      IOChannel* c = g->channels[i];
      shutdown(SOCKET(c->handle), SD_BOTH);
      closesocket(SOCKET(c->handle));
      WSACloseEvent(g->events[i]);
      c->networkEvent = 0, c->waitGroupIndex = 0;
    }
    g->count = 0;
    resumeSocketWaiter(g, waiterStop);
  }
  while (socketWaitGroups != nullptr) {
    SocketWaitGroup* g = socketWaitGroups;
    socketWaitGroups = g->next;
    if (WaitForSingleObject(g->thread, 1000) != WAIT_OBJECT_0) continue;  // left running: not freed
    CloseHandle(g->thread);
    CloseHandle(g->semaphore);
    WSACloseEvent(g->events[0]);
    free(g);
  }
  WSACleanup();
  socketsInitialised = 0;
}

// ---- Sockets -------------------------------------------------------------------------------

// A channel on a new socket in a handle object, attached to a wait group; 0 when that fails,
// the socket closed and the failure's error object in *error.
static oop socketHandleObject(SOCKET s, oop* error) {
  IOChannel* c = newIOChannel(channelSocket);
  oop handle = 0;
  if (c != nullptr) {
    c->handle = uint64_t(s);
    handle = newHandleObject(c);  // frees the channel when it fails
  }
  if (handle == 0) {
    closesocket(s);
    *error = primErrorAt(primErrMalloc);
    return 0;
  }
  *error = attachSocketChannel(c);
  if (*error == 0) return handle;
  // Closed through a holder, as the image closes it; without room for one the handle object
  // is only emptied, and the channel stays unreachable.
  ObjectHeader* holder = allocVSObj(sysOop(sysArrayClass), 2);
  if (holder != nullptr) {
    bodyOf(holder)[0] = nilOop();
    bodyOf(holder)[1] = handle;
    closeHandleObject(oopOf(holder), c);
  } else {
    memset(bodyOf(headerOf(handle)), 0, 8);
  }
  closesocket(s);
  return 0;
}

// 686: a socket; a datagram socket does not report an unreachable port as a reset.
static oop primSocket(oop, oop family, oop type, oop protocol) {
  traceName("sockOpen");
  const oop args[3] = {family, type, protocol};
  int v[3];
  for (int i = 0; i < 3; i++)
    if (!intArgument(args[i], &v[i])) return ntFailCarrying(primErrBadArgument, i + 1, 3);
  SOCKET s = socket(v[0], v[1], v[2]);
  if (s == INVALID_SOCKET) return failSocketError(3);
  if (v[1] == SOCK_DGRAM) {
    BOOL off = FALSE;
    DWORD returned = 0;
    if (WSAIoctl(s, 0x9800000C, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr) != 0) {
      oop failure = failSocketError(3);
      closesocket(s);
      return failure;
    }
  }
  oop error;
  oop handle = socketHandleObject(s, &error);
  return handle != 0 ? handle : failWith(error, 3);
}

// 678: close.
static oop primClose(oop receiver) {
  traceName("sockClose");
  IOChannel* c = socketOf(receiver);
  if (c == nullptr) return fail(primErrBadReceiver, 0);
  if (closesocket(SOCKET(c->handle)) != 0) return failSocketError(0);
  detachSocketChannel(c);
  closeHandleObject(receiver, c);
  return receiver;
}

// 671: accept: {handle object, the peer's address}.
static oop primAccept(oop receiver) {
  traceName("sockAccept");
  IOChannel* c = socketOf(receiver);
  if (c == nullptr) return fail(primErrBadArgument, 0);
  sockaddr_storage peer;
  int length = sizeof peer;
  c->readable = 0;
  SOCKET s = accept(SOCKET(c->handle), reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return failSocketError(0);
  ObjectHeader* pair = allocVSObj(sysOop(sysArrayClass), 2);
  oop address = pair != nullptr ? newSocketAddress(&peer, uint64_t(length) < sizeof peer ? uint64_t(length) : sizeof peer) : 0;
  if (address == 0) {
    closesocket(s);
    return fail(primErrNoSpace, 0);
  }
  storeSlot(oopOf(pair), 1, address, __FILE__, __LINE__);
  oop error;
  oop handle = socketHandleObject(s, &error);
  if (handle == 0) return failWith(error, 0);
  storeSlot(oopOf(pair), 0, handle, __FILE__, __LINE__);
  return ntAnswerServing(oopOf(pair));
}

// 672 bind, 674 connect. After a bind the event is set, so the waiter looks again.
static oop addressCall(oop receiver, oop address, const char* name, bool binding) {
  traceName(name);
  IOChannel* c = socketOf(receiver);
  int length;
  sockaddr* a = addressArgument(address, &length);
  if (c == nullptr || a == nullptr) return fail(primErrBadArgument, 1);
  int r = binding ? bind(SOCKET(c->handle), a, length) : connect(SOCKET(c->handle), a, length);
  if (r != 0) return failSocketError(1);
  if (binding && c->networkEvent != 0) WSASetEvent(WSAEVENT(c->networkEvent));
  return receiver;
}
static oop primBind(oop receiver, oop address) { return addressCall(receiver, address, "sockBind", true); }
static oop primConnect(oop receiver, oop address) { return addressCall(receiver, address, "sockConnect", false); }

// 673: listen with a backlog of 0 or more.
static oop primListen(oop receiver, oop backlog) {
  traceName("sockListen");
  IOChannel* c = socketOf(receiver);
  int n;
  if (c == nullptr || !intArgument(backlog, &n) || n < 0) return fail(primErrBadArgument, 1);
  if (listen(SOCKET(c->handle), n) != 0) return failSocketError(1);
  oop error = attachSocketChannel(c);
  return error != 0 ? failWith(error, 1) : receiver;
}

// 677: shutdown one or both directions.
static oop primShutdown(oop receiver, oop how) {
  traceName("sockShutdown");
  IOChannel* c = socketOf(receiver);
  int n;
  if (c == nullptr || !intArgument(how, &n)) return fail(primErrBadArgument, 1);
  if (shutdown(SOCKET(c->handle), n) != 0) return failSocketError(1);
  return receiver;
}

// 632 getsockname, 633 getpeername.
static oop nameCall(oop receiver, bool peer) {
  traceName(peer ? "sockGetPeer" : "sockGetName");
  IOChannel* c = socketOf(receiver);
  if (c == nullptr) return fail(peer ? primErrBadReceiver : primErrBadArgument, 0);
  sockaddr_storage a;
  int length = sizeof a;
  sockaddr* p = reinterpret_cast<sockaddr*>(&a);
  int r = peer ? getpeername(SOCKET(c->handle), p, &length) : getsockname(SOCKET(c->handle), p, &length);
  if (r != 0) return failSocketError(0);
  return ntAnswerOrNoSpace(newSocketAddress(&a, uint64_t(length) < sizeof a ? uint64_t(length) : sizeof a), 0);
}
static oop primSocketName(oop receiver) { return nameCall(receiver, false); }
static oop primPeerName(oop receiver) { return nameCall(receiver, true); }

// 634: at the out-of-band mark?
static oop primAtMark(oop receiver) {
  traceName("sockAtMark");
  IOChannel* c = socketOf(receiver);
  if (c == nullptr) return fail(primErrBadReceiver, 0);
  u_long mark = 0;
  if (ioctlsocket(SOCKET(c->handle), SIOCATMARK, &mark) != 0) return failSocketError(0);
  return booleanOop(mark != 0);
}

// 630: set an option: nil no value, a SmallInteger a 4-byte int, a byte object its bytes.
static oop primSetOption(oop receiver, oop level, oop option, oop value) {
  traceName("sockSetOptions");
  IOChannel* c = socketOf(receiver);
  int l, o, number;
  if (c == nullptr || !intArgument(level, &l) || !intArgument(option, &o)) return fail(primErrBadArgument, 3);
  const char* bytes = nullptr;
  int length = 0;
  if (isSmallInteger(value)) {
    if (!intArgument(value, &number)) return fail(primErrBadArgument, 3);
    bytes = reinterpret_cast<const char*>(&number), length = sizeof number;
  } else if (byteFormat(value)) {
    bytes = reinterpret_cast<const char*>(bodyOf(headerOf(value))), length = int(byteSizeOf(headerOf(value)));
  } else if (value != nilOop()) {
    return fail(primErrBadArgument, 3);
  }
  if (setsockopt(SOCKET(c->handle), l, o, bytes, length) != 0) return failSocketError(3);
  return receiver;
}

// 631: an option's value as a ByteArray of the length the system gave.
static oop primGetOption(oop receiver, oop level, oop option) {
  traceName("sockGetOptions");
  IOChannel* c = socketOf(receiver);
  int l, o;
  if (c == nullptr || !intArgument(level, &l) || !intArgument(option, &o)) return fail(primErrBadArgument, 2);
  char buffer[optionBufferBytes];
  int length = sizeof buffer;
  if (getsockopt(SOCKET(c->handle), l, o, buffer, &length) != 0) return failSocketError(2);
  return ntAnswerOrNoSpace(newByteArray(buffer, uint64_t(length) < sizeof buffer ? uint64_t(length) : sizeof buffer), 2);
}

// 675 recvfrom into buffer[start, start + count) with the sender's address written into the
// address object, its bytes past the length received cleared; 676 sendto.
static oop datagramCall(oop receiver, oop address, oop buffer, oop start, oop count, oop flags, bool receiving) {
  traceName(receiving ? "sockRecvfrom" : "sockSendto");
  IOChannel* c = socketOf(receiver);
  int length, f;
  sockaddr* a = addressArgument(address, &length);
  if (c == nullptr || a == nullptr || !intArgument(flags, &f) || isImmediate(buffer) || hasPtrs(headerOf(buffer)) ||
      !isSmallInteger(start) || !isSmallInteger(count))
    return fail(primErrBadArgument, 5);
  int64_t first = smallIntegerValue(start), n = smallIntegerValue(count);
  uint64_t size = byteSizeOf(headerOf(buffer));
  if (first < 1 || n < 0 || n > 0x7FFFFFFF || uint64_t(first - 1) > size || uint64_t(n) > size - uint64_t(first - 1))
    return fail(primErrBadArgument, 5);
  char* bytes = reinterpret_cast<char*>(bodyOf(headerOf(buffer))) + first - 1;
  int given = length, done;
  if (receiving) {
    c->readable = 0;
    done = recvfrom(SOCKET(c->handle), bytes, int(n), f, a, &length);
  } else {
    done = sendto(SOCKET(c->handle), bytes, int(n), f, a, length);
  }
  if (done == SOCKET_ERROR) {
    int error = WSAGetLastError();
    if (!receiving && error == WSAEWOULDBLOCK) c->writable = 0;
    if (tracing(traceEventsBit)) printf(receiving ? "recv err: %d.\n" : "\nsend err: %d.\n", error);
    return ntFailCarrying(primErrPlatform, error, 5);
  }
  if (!receiving && tracing(traceEventsBit)) printf("\nsentto\n");
  if (receiving && length < given) memset(reinterpret_cast<char*>(a) + length, 0, size_t(given - length));
  return smallIntegerFor(done);
}
static oop primReceiveFrom(oop r, oop a, oop b, oop s, oop c, oop f) { return datagramCall(r, a, b, s, c, f, true); }
static oop primSendTo(oop r, oop a, oop b, oop s, oop c, oop f) { return datagramCall(r, a, b, s, c, f, false); }

// 668 read, 685 write (the direction argument decides): is the socket ready that way? A
// Semaphore given is signalled at once when it is, else when the event scan sees it become
// ready; nil only clears the direction's slot. A file is never waited on.
static oop primReadiness(oop receiver, oop semaphore, oop direction) {
  IOChannel* c = socketOf(receiver);
  if (c == nullptr || (direction != trueOop() && direction != falseOop())) return fail(primErrBadArgument, 2);
  if (c->kind != channelSocket) return falseOop();
  bool writing = direction == trueOop();
  int64_t slot = writing ? c->writeSemaphore : c->readSemaphore;
  bool trace = tracing(traceEventsBit);
  if (trace) printf("%c%c", writing ? 'w' : 'r', slot < 0 ? '?' : semaphore == nilOop() ? '-' : '+');
  if (tracing(traceNamesBit)) printf("%c(%c,%llx)", 'S', writing ? 'w' : 'r', (unsigned long long)c->handle);
  if (slot < 0) {
    if (trace) printf("iRegistryXerror");
    return fail(primErrNoSpace, 2);
  }
  if (semaphore == nilOop()) {
    clearSemaphoreSlot(slot);
  } else {
    if (isImmediate(semaphore) || !isKindOf(semaphore, sysOop(sysSemaphoreClass))) return fail(primErrBadArgument, 2);
    storeSemaphore(semaphore, slot);
  }
  bool ready = writing ? c->writable != 0 : c->readable != 0 || c->closed != 0;
  if (!ready) return falseOop();
  if (!writing && !c->readable && trace) printf("F");
  if (semaphore != nilOop()) {
    if (trace) printf("!");
    signalSemaphoreSlot(slot);
  } else if (trace) {
    printf("P");
  }
  return trueOop();
}

// 698: register the socket-address class (the one slot of an Array) and start Winsock 2.
static oop primStartSockets(oop receiver, oop request) {
  traceName("sockInit");
  if (!arrayFormat(request) || bodyWordsOf(headerOf(request)) != 1) return fail(primErrBadArgument, 1);
  oop cls = slotOf(request, 0);
  if (classType(cls) != 2 || (classFormatOf(cls) & formatPointers)) return fail(primErrBadArgument, 1);
  if (sa_classX < 0) {
    int64_t slot = allocSysOopSlot();
    if (slot < 0) return fail(primErrGeneral, 1);
    sa_classX = slot;
  }
  registerSysOop(cls, uint32_t(sa_classX));
  if (socketsInitialised) return receiver;
  WSADATA data;
  int r = WSAStartup(MAKEWORD(2, 2), &data);
  if (r != 0) return ntFailCarrying(primErrPlatform, r, 1);
  if (LOBYTE(data.wVersion) < 2) {
    WSACleanup();
    return fail(primErrNotFound, 1);
  }
  socketsInitialised = 1;
  return receiver;
}

// ---- Name lookups --------------------------------------------------------------------------

// A lookup that found nothing: 10 for an unknown name, else 9 with the error.
static oop failLookup(uint64_t numArgs) {
  int error = WSAGetLastError();
  if (error == WSAHOST_NOT_FOUND || error == WSANO_DATA) return fail(primErrNotFound, numArgs);
  return ntFailCarrying(primErrPlatform, error, numArgs);
}

// 640: the first address of a host.
static oop primHostAddress(oop, oop name) {
  traceName("getIPHostNum");
  char text[lookupNameCapacity + 1];
  if (!nameArgument(name, text, lookupNameCapacity)) return fail(primErrBadArgument, 1);
  hostent* h = gethostbyname(text);
  if (h == nullptr || h->h_addr_list[0] == nullptr) return failLookup(1);
  return ntAnswerOrNoSpace(newByteArray(h->h_addr_list[0], uint64_t(h->h_length)), 1);
}

// 642: a protocol's number; 643: a service's port, two bytes in network order.
static oop primProtocolNumber(oop, oop name) {
  traceName("getIPProtoNum");
  char text[lookupNameCapacity + 1];
  if (!nameArgument(name, text, lookupNameCapacity)) return fail(primErrBadArgument, 1);
  protoent* p = getprotobyname(text);
  return p == nullptr ? failLookup(1) : smallIntegerFor(p->p_proto);
}

static oop primServicePort(oop, oop name) {
  traceName("getIPServNum");
  char text[lookupNameCapacity + 1];
  if (!nameArgument(name, text, lookupNameCapacity)) return fail(primErrBadArgument, 1);
  servent* s = getservbyname(text, nullptr);
  if (s == nullptr) return failLookup(1);
  uint16_t port = uint16_t(s->s_port);
  return ntAnswerOrNoSpace(newByteArray(&port, sizeof port), 1);
}

// 645: the name of a host address; with Winsock not started (or refusing), the dotted text.
static oop primHostName(oop, oop address) {
  traceName("getIPHostNam");
  if (!byteFormat(address)) return fail(primErrBadArgument, 1);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(address)));
  uint64_t size = byteSizeOf(headerOf(address));
  hostent* h = gethostbyaddr(reinterpret_cast<const char*>(bytes), int(size), AF_INET);
  if (h != nullptr) return ntAnswerOrNoSpace(newString(h->h_name), 1);
  int error = WSAGetLastError();
  if ((error == 13 || error == WSANOTINITIALISED) && size >= 4) {
    char dotted[16];
    snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return ntAnswerOrNoSpace(newString(dotted), 1);
  }
  return failLookup(1);
}

// 647: a protocol's name; 648: a service's name from two bytes in network order.
static oop primProtocolName(oop, oop number) {
  traceName("getIPProtoNam");
  int n;
  if (!intArgument(number, &n)) return fail(primErrBadArgument, 1);
  protoent* p = getprotobynumber(n);
  return p == nullptr ? failLookup(1) : ntAnswerOrNoSpace(newString(p->p_name), 1);
}

static oop primServiceName(oop, oop port) {
  traceName("getIPServNam");
  if (!byteFormat(port) || byteSizeOf(headerOf(port)) < 2) return fail(primErrBadArgument, 1);
  uint16_t p;
  memcpy(&p, bodyOf(headerOf(port)), sizeof p);
  servent* s = getservbyport(p, nullptr);
  return s == nullptr ? failLookup(1) : ntAnswerOrNoSpace(newString(s->s_name), 1);
}

// 649: this host's name.
static oop primLocalHostName(oop) {
  traceName("primGetHostname");
  char name[hostNameBufferBytes] = {0};
  if (gethostname(name, hostNameBufferBytes - 1) != 0) return failLookup(0);
  return ntAnswerOrNoSpace(STStringWithSize(name, strnlen(name, hostNameBufferBytes - 1)), 0);
}

// A resolver failure: its own code when Winsock reports the same, else the Winsock error.
static oop failResolver(int code, uint64_t numArgs) {
  int error = WSAGetLastError();
  if (code == error) return ntFailCarrying(primErrHostLookup, code, numArgs);
  return ntFailCarrying(primErrPlatform, error, numArgs);
}

// One answer of 1644: {flags, family, type, protocol, address length, canonical name or
// nil, address}; 0 when no space.
static oop addressInfoEntry(const addrinfo* ai) {
  ObjectHeader* entry = allocVSObj(sysOop(sysArrayClass), 7);
  oop address = entry != nullptr ? newSocketAddress(ai->ai_addr, ai->ai_addrlen) : 0;
  oop name = address != 0 && ai->ai_canonname != nullptr ? newString(ai->ai_canonname) : nilOop();
  if (address == 0 || name == 0) return 0;
  const int64_t numbers[5] = {ai->ai_flags, ai->ai_family, ai->ai_socktype, ai->ai_protocol, int64_t(ai->ai_addrlen)};
  for (int i = 0; i < 5; i++) storeSlot(oopOf(entry), uint64_t(i), smallIntegerFor(numbers[i]), __FILE__, __LINE__);
  storeSlot(oopOf(entry), 5, name, __FILE__, __LINE__);
  storeSlot(oopOf(entry), 6, address, __FILE__, __LINE__);
  return oopOf(entry);
}

static oop addressInfoArray(const addrinfo* list) {
  uint64_t n = 0;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) n++;
  ObjectHeader* all = allocVSObj(sysOop(sysArrayClass), n);
  if (all == nullptr) return 0;
  uint64_t i = 0;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next, i++) {
    oop entry = addressInfoEntry(ai);
    if (entry == 0) return 0;
    storeSlot(oopOf(all), i, entry, __FILE__, __LINE__);
  }
  return oopOf(all);
}

// The hints of 1644: nil, or an Array of 7 whose first four slots (nil for 0) are the flags,
// family, socket type and protocol.
static bool addressInfoHints(oop hints, addrinfo* out, bool* none) {
  memset(out, 0, sizeof *out);
  *none = hints == nilOop();
  if (*none) return true;
  if (!arrayFormat(hints) || bodyWordsOf(headerOf(hints)) != 7) return false;
  int* fields[4] = {&out->ai_flags, &out->ai_family, &out->ai_socktype, &out->ai_protocol};
  for (int i = 0; i < 4; i++)
    if (slotOf(hints, uint64_t(i)) != nilOop() && !intArgument(slotOf(hints, uint64_t(i)), fields[i])) return false;
  return true;
}

// 1644: getaddrinfo; the result list is freed on every path.
static oop primAddressInfo(oop, oop host, oop service, oop hints) {
  char hostText[addrInfoHostCapacity + 1], serviceText[addrInfoServiceCapacity + 1];
  bool noHost, noService, noHints;
  addrinfo h;
  if (!nameOrNil(host, hostText, addrInfoHostCapacity, &noHost)) return ntFailCarrying(primErrBadArgument, 1, 3);
  if (!nameOrNil(service, serviceText, addrInfoServiceCapacity, &noService)) return ntFailCarrying(primErrBadArgument, 2, 3);
  if (!addressInfoHints(hints, &h, &noHints)) return ntFailCarrying(primErrBadArgument, 3, 3);
  addrinfo* list = nullptr;
  int r = getaddrinfo(noHost ? nullptr : hostText, noService ? nullptr : serviceText, noHints ? nullptr : &h, &list);
  if (r != 0) return failResolver(r, 3);
  oop answer = addressInfoArray(list);
  freeaddrinfo(list);
  return ntAnswerOrNoSpace(answer, 3);
}

static bool nameBuffer(oop b, char** bytes, DWORD* length) {
  *bytes = nullptr, *length = 0;
  if (b == nilOop()) return true;
  if (!byteFormat(b)) return false;
  *bytes = reinterpret_cast<char*>(bodyOf(headerOf(b))), *length = DWORD(byteSizeOf(headerOf(b)));
  return true;
}

// 1645: getnameinfo of the receiver's address into the buffers given.
static oop primNameInfo(oop receiver, oop hostBuffer, oop serviceBuffer, oop flags) {
  if (sa_classX < 0 || isImmediate(receiver) || !isKindOf(receiver, sysOop(uint32_t(sa_classX))))
    return fail(primErrBadReceiver, 3);
  char *host, *service;
  DWORD hostLength, serviceLength;
  int f = 0;
  if (!nameBuffer(hostBuffer, &host, &hostLength)) return ntFailCarrying(primErrBadArgument, 1, 3);
  if (!nameBuffer(serviceBuffer, &service, &serviceLength)) return ntFailCarrying(primErrBadArgument, 2, 3);
  if (flags != nilOop() && !intArgument(flags, &f)) return ntFailCarrying(primErrBadArgument, 3, 3);
  int length;
  sockaddr* a = addressArgument(receiver, &length);
  if (a == nullptr) return fail(primErrBadReceiver, 3);
  int r = getnameinfo(a, length, host, hostLength, service, serviceLength, f);
  if (r != 0) return failResolver(r, 3);
  return receiver;
}

// ---- Registration --------------------------------------------------------------------------

void initSockPrims() {
  traceSockets = tracing(traceEventsBit) ? 1 : 0;
  const struct { uint32_t number; const void* function; uint8_t numArgs; } prims[] = {
      {630, (const void*)primSetOption, 3},     {631, (const void*)primGetOption, 2},
      {632, (const void*)primSocketName, 0},    {633, (const void*)primPeerName, 0},
      {634, (const void*)primAtMark, 0},        {640, (const void*)primHostAddress, 1},
      {642, (const void*)primProtocolNumber, 1}, {643, (const void*)primServicePort, 1},
      {1644, (const void*)primAddressInfo, 3},  {1645, (const void*)primNameInfo, 3},
      {645, (const void*)primHostName, 1},      {647, (const void*)primProtocolName, 1},
      {648, (const void*)primServiceName, 1},   {649, (const void*)primLocalHostName, 0},
      {668, (const void*)primReadiness, 2},     {671, (const void*)primAccept, 0},
      {672, (const void*)primBind, 1},          {673, (const void*)primListen, 1},
      {674, (const void*)primConnect, 1},       {675, (const void*)primReceiveFrom, 5},
      {676, (const void*)primSendTo, 5},        {677, (const void*)primShutdown, 1},
      {678, (const void*)primClose, 0},         {685, (const void*)primReadiness, 2},
      {686, (const void*)primSocket, 3},        {698, (const void*)primStartSockets, 1},
  };
  for (auto p : prims) addCPrimitive(p.number, p.function, p.numArgs);
}
