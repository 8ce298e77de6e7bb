// Windows layer: I/O channels, the semaphore table and the handle registry, all touched on
// the Smalltalk thread only. Owns semaphoreTableX, the free head, handleRegistryX and the
// serial statics. Prefix: none (newIOChannel, allocSemaphoreSlot, registerHandle, ...).
#include <winsock2.h>

#include "platpc/ntChannel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "mman/mmAllocate.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "stack/scheduler.h"

// ---- Channels ------------------------------------------------------------------------------

int traceSockets;

static int fileRead(IOChannel* c, void* buffer, uint32_t count, uint32_t* done, DWORD* error) {
  DWORD n = 0;
  BOOL ok = ReadFile(HANDLE(c->handle), buffer, count, &n, nullptr);
  *done = n;
  *error = ok ? 0 : GetLastError();
  return ok ? 1 : 0;
}

static int fileWrite(IOChannel* c, void* buffer, uint32_t count, uint32_t* done, DWORD* error) {
  *done = 0;
  LARGE_INTEGER zero = {};
  if (c->append && !SetFilePointerEx(HANDLE(c->handle), zero, nullptr, FILE_END)) {
    *error = GetLastError();
    return 0;
  }
  DWORD n = 0;
  BOOL ok = WriteFile(HANDLE(c->handle), buffer, count, &n, nullptr);
  *done = n;
  *error = ok ? 0 : GetLastError();
  return ok ? 1 : 0;
}

static int fileAvailable(IOChannel*, uint32_t* available, DWORD* error) {
  *available = 0;
  *error = 0;
  return 0;
}

static int socketRead(IOChannel* c, void* buffer, uint32_t count, uint32_t* done, DWORD* error) {
  c->readable = 0;
  int n = recv(SOCKET(c->handle), static_cast<char*>(buffer), int(count), 0);
  *error = n == SOCKET_ERROR ? DWORD(WSAGetLastError()) : 0;
  *done = n == SOCKET_ERROR ? 0 : uint32_t(n);
  if (traceSockets) printf(n == SOCKET_ERROR ? "\nrecv err: %d.\n" : "\nreceived\n", int(*error));
  return n == SOCKET_ERROR ? 0 : 1;
}

static int socketWrite(IOChannel* c, void* buffer, uint32_t count, uint32_t* done, DWORD* error) {
  int n = send(SOCKET(c->handle), static_cast<const char*>(buffer), int(count), 0);
  *error = n == SOCKET_ERROR ? DWORD(WSAGetLastError()) : 0;
  *done = n == SOCKET_ERROR ? 0 : uint32_t(n);
  if (*error == WSAEWOULDBLOCK) c->writable = 0;
  if (traceSockets) printf(n == SOCKET_ERROR ? "\nsend err: %d.\n" : "\nsent\n", int(*error));
  return n == SOCKET_ERROR ? 0 : 1;
}

static int socketAvailable(IOChannel* c, uint32_t* available, DWORD* error) {
  u_long n = 0;
  int r = ioctlsocket(SOCKET(c->handle), FIONREAD, &n);
  *available = uint32_t(n);
  *error = r == SOCKET_ERROR ? DWORD(WSAGetLastError()) : 0;
  return r == SOCKET_ERROR ? 0 : 1;
}

IOChannel* newIOChannel(int kind) {
  if (kind != channelFile && kind != channelSocket) return nullptr;
  IOChannel* c = static_cast<IOChannel*>(calloc(1, sizeof(IOChannel)));
  if (c == nullptr) return nullptr;
  c->kind = uint8_t(kind);
  c->readSemaphore = c->writeSemaphore = -1;
  if (kind == channelFile) {
    c->read = fileRead, c->write = fileWrite, c->available = fileAvailable;
    return c;
  }
  c->read = socketRead, c->write = socketWrite, c->available = socketAvailable;
  c->readSemaphore = allocSemaphoreSlot();
  c->writeSemaphore = c->readSemaphore < 0 ? -1 : allocSemaphoreSlot();
  if (c->writeSemaphore < 0) {
    freeIOChannel(c);
    return nullptr;
  }
  return c;
}

void freeIOChannel(IOChannel* c) {
  if (c->readSemaphore >= 0) freeSemaphoreSlot(c->readSemaphore);
  if (c->writeSemaphore >= 0) freeSemaphoreSlot(c->writeSemaphore);
  free(c);
}

// ---- The semaphore table -------------------------------------------------------------------

int64_t semaphoreTableX = -1;
static int64_t freeSemaphoreHead = -1;

static oop semaphoreTable() { return sysOop(uint32_t(semaphoreTableX)); }
static uint64_t semaphoreCapacity() { return bodyWordsOf(headerOf(semaphoreTable())); }

// Slots from..to-1 of a table threaded into a free list ending at -1: slot k holds k - 1.
static void threadFreeSlots(oop table, int64_t from, int64_t to) {
  oop* body = bodyOf(headerOf(table));
  for (int64_t k = from; k < to; k++) body[k] = smallIntegerFor(k == from ? -1 : k - 1);
  freeSemaphoreHead = to - 1;
}

int createSemaphoreTable() {
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), 64);
  if (h == nullptr) return 0;
  if (semaphoreTableX < 0) semaphoreTableX = allocSysOopSlot();
  if (semaphoreTableX < 0) return 0;
  registerSysOop(oopOf(h), uint32_t(semaphoreTableX));
  threadFreeSlots(oopOf(h), 0, 64);
  return 1;
}

// A full table doubles: the old slots are copied through the barrier, the new half threaded.
static bool growSemaphoreTable() {
  uint64_t capacity = semaphoreCapacity();
  ObjectHeader* h = allocVSObj(sysOop(sysArrayClass), 2 * capacity);
  if (h == nullptr) return false;
  oop old = semaphoreTable();
  for (uint64_t k = 0; k < capacity; k++) storeSlot(oopOf(h), k, slotOf(old, k), __FILE__, __LINE__);
  registerSysOop(oopOf(h), uint32_t(semaphoreTableX));
  threadFreeSlots(oopOf(h), int64_t(capacity), int64_t(2 * capacity));
  return true;
}

int64_t allocSemaphoreSlot() {
  if (semaphoreTableX < 0) return -1;
  if (freeSemaphoreHead < 0 && !growSemaphoreTable()) return -1;
  int64_t index = freeSemaphoreHead;
  oop* body = bodyOf(headerOf(semaphoreTable()));
  freeSemaphoreHead = smallIntegerValue(body[index]);
  body[index] = nilOop();
  return index;
}

void freeSemaphoreSlot(int64_t index) {
  if (semaphoreTableX < 0) return;
  bodyOf(headerOf(semaphoreTable()))[index] = smallIntegerFor(freeSemaphoreHead);
  freeSemaphoreHead = index;
}

void storeSemaphore(oop semaphore, int64_t index) {
  storeSlot(semaphoreTable(), uint64_t(index), semaphore, __FILE__, __LINE__);
}

void signalSemaphoreSlot(int64_t index) {
  if (semaphoreTableX < 0) return;
  oop s = slotOf(semaphoreTable(), uint64_t(index));
  if (s == nilOop() || isSmallInteger(s)) return;
  bodyOf(headerOf(semaphoreTable()))[index] = nilOop();
  asynchSignal(s);
}

void clearSemaphoreSlot(int64_t index) { bodyOf(headerOf(semaphoreTable()))[index] = nilOop(); }

// ---- The handle registry -------------------------------------------------------------------

struct HandleEntry {
  uint64_t handle;  // 0: free
  uint32_t kind;
  uint32_t serial;
};
static_assert(sizeof(HandleEntry) == 16, "16-byte registry entries");

int64_t handleRegistryX;
static uint32_t lastSerial;
static uint32_t serialBound = 0x1FFFFFFF;  // lowest serial in use above lastSerial
enum : uint32_t { highestSerial = 0x1FFFFFFF };

static HandleEntry* registryEntries(uint64_t* count) {
  ObjectHeader* h = headerOf(sysOop(uint32_t(handleRegistryX)));
  *count = byteSizeOf(h) / sizeof(HandleEntry);
  return reinterpret_cast<HandleEntry*>(bodyOf(h));
}

static ObjectHeader* newRegistryTable(uint64_t entries) {
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), entries * sizeof(HandleEntry));
  if (h != nullptr) memset(bodyOf(h), 0, entries * sizeof(HandleEntry));
  return h;
}

void initHandleRegistry() {
  ObjectHeader* h = newRegistryTable(128);
  int64_t slot = h != nullptr ? allocSysOopSlot() : -1;
  if (slot < 0) doReportError("Could not init handle registry", errPlatformLayer | errFatal | errSpaceUnavailable, __FILE__, __LINE__);
  handleRegistryX = slot;
  registerSysOop(oopOf(h), uint32_t(slot));
}

// Scans for serial: whether an entry holds it, and the lowest serial in use above it.
static bool serialInUse(uint32_t serial, uint32_t* boundOut) {
  uint64_t n;
  HandleEntry* e = registryEntries(&n);
  bool used = false;
  uint32_t bound = highestSerial;
  for (uint64_t i = 0; i < n; i++) {
    if (e[i].handle == 0) continue;
    if (e[i].serial == serial) used = true;
    if (e[i].serial > serial && e[i].serial < bound) bound = e[i].serial;
  }
  *boundOut = bound;
  return used;
}

static uint32_t nextHandleSerial() {
  for (;;) {
    if (lastSerial == highestSerial) lastSerial = 0, serialBound = 0;
    uint32_t serial = ++lastSerial;
    if (serial < serialBound) return serial;
    if (!serialInUse(serial, &serialBound)) return serial;
  }
}

int isHandleSerialInUse(uint32_t serial) {
  uint32_t bound;
  bool used = serialInUse(serial, &bound);
  if (serial == lastSerial) serialBound = bound;
  return used ? 1 : 0;
}

uint32_t registerHandle(uint64_t handle, uint32_t kind) {
  if (handleRegistryX == 0) return 0;
  uint64_t n;
  HandleEntry* e = registryEntries(&n);
  uint64_t free = n;
  for (uint64_t i = 0; i < n && free == n; i++)
    if (e[i].handle == 0) free = i;
  if (free == n) {
    ObjectHeader* h = newRegistryTable(2 * n);
    if (h == nullptr) return 0;
    memcpy(bodyOf(h), registryEntries(&n), n * sizeof(HandleEntry));
    registerSysOop(oopOf(h), uint32_t(handleRegistryX));
    e = registryEntries(&n);
  }
  uint32_t serial = nextHandleSerial();
  e[free] = {handle, kind, serial};
  return serial;
}

static HandleEntry* findHandle(uint64_t handle, uint32_t kind) {
  if (handleRegistryX == 0) return nullptr;
  uint64_t n;
  HandleEntry* e = registryEntries(&n);
  for (uint64_t i = 0; i < n; i++)
    if (e[i].handle == handle && e[i].kind == kind && handle != 0) return &e[i];
  return nullptr;
}

uint32_t handleSerial(uint64_t handle, uint32_t kind) {
  HandleEntry* e = findHandle(handle, kind);
  return e != nullptr ? e->serial : 0;
}

uint64_t handleForSerial(uint32_t serial, uint32_t kind) {
  if (handleRegistryX == 0 || serial == 0) return 0;
  uint64_t n;
  HandleEntry* e = registryEntries(&n);
  for (uint64_t i = 0; i < n; i++)
    if (e[i].handle != 0 && e[i].serial == serial && e[i].kind == kind) return e[i].handle;
  return 0;
}

void unregisterHandle(uint64_t handle, uint32_t kind) {
  HandleEntry* e = findHandle(handle, kind);
  if (e != nullptr) *e = {};
}

static void destroyWindow(HWND window) { DestroyWindow(window); }
void (*destroyRegisteredWindow)(HWND) = destroyWindow;

static void destroyHandle(const HandleEntry& e) {
  switch (e.kind) {
    case handleGdiObject: case handleGdiObject2: case handleGdiObject3: case handleWindowGdiObject:
      DeleteObject(HGDIOBJ(e.handle));
      break;
    case handleCursor:
      if (GetCursor() == HCURSOR(e.handle)) SetCursor(nullptr);
      DestroyCursor(HCURSOR(e.handle));
      break;
    case handleIcon: DestroyIcon(HICON(e.handle)); break;
    case handleLibrary: FreeLibrary(HMODULE(e.handle)); break;
    case handleMemoryDC: DeleteDC(HDC(e.handle)); break;
    case handleGlobalMemory: GlobalFree(HGLOBAL(e.handle)); break;
    default: break;
  }
}

// Windows go first, since the GDI objects they use may be among the rest.
int freeHandleRegistry() {
  if (handleRegistryX == 0) return 1;
  uint64_t n;
  HandleEntry* e = registryEntries(&n);
  for (uint64_t i = 0; i < n; i++)
    if (e[i].handle != 0 && e[i].kind == handleWindow) destroyRegisteredWindow(HWND(e[i].handle)), e[i] = {};
  for (uint64_t i = 0; i < n; i++)
    if (e[i].handle != 0) destroyHandle(e[i]), e[i] = {};
  return 1;
}
