// Windows layer: the socket primitives and the wait groups whose threads watch the sockets'
// network events. Owns sa_classX, socketsInitialised and the list of wait groups.
// Prefix: none (initSockPrims, signalSocketEvents, shutdownSockets).
#pragma once
#include <winsock2.h>

#include <cstdint>

#include "mman/mmObject.h"

struct IOChannel;

// At most 63 sockets and the control event, watched by one thread (1064 bytes). States:
// 0 stop, 1 waiting on the network events, 2 events seen, parked until re-armed.
struct SocketWaitGroup {
  SocketWaitGroup* next;  // newest first
  HANDLE semaphore;       // the waiter parks on it
  HANDLE thread;
  uint32_t threadId;
  volatile LONG state;
  uint32_t count;               // sockets in the group
  WSAEVENT events[64];          // 0: the control event; 1..count: the sockets'
  IOChannel* channels[64];      // 1..count
};
static_assert(sizeof(SocketWaitGroup) == 1064, "a wait group is 1064 bytes");
enum : uint32_t { socketsPerGroup = 63 };
enum : LONG { waiterStop = 0, waiterWaiting = 1, waiterParked = 2 };

extern int64_t sa_classX;       // registry slot of the socket-address class, -1 until 698
extern int socketsInitialised;  // Winsock started by 698
extern SocketWaitGroup* socketWaitGroups;

void initSockPrims();
oop attachSocketChannel(IOChannel* channel);  // 0, or the failure's error object
void detachSocketChannel(IOChannel* channel);
void signalSocketEvents();  // on the input request: readiness flags and Semaphores
void shutdownSockets();     // at exit: every socket closed, every waiter ended
