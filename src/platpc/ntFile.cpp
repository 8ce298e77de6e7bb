// Windows layer: start-up of the I/O primitive groups (initNewIO) and the channel, path and
// platform primitives over Win32 handles and UTF-16 paths. Owns the list of live channels.
// Prefix: none (initNewIO).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "mman/mmAllocate.h"
#include "mman/mmOopStack.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntImage.h"
#include "platpc/ntMain.h"
#include "platpc/ntSock.h"
#include "mman/mmCValue.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "stack/nsupport.h"
#include "ext/exRequest.h"
#include "ext/exPrimTable.h"

// ---- Shared by the primitives --------------------------------------------------------------

oop ntFail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

oop ntFailCarrying(uint32_t code, int64_t value, uint64_t numArgs) {
  return failPrimitive(cloneErrorWith(primErrorAt(code), smallIntegerFor(value)), numArgs);
}

oop ntFailLastError(uint64_t numArgs) { return ntFailCarrying(primErrPlatform, int64_t(GetLastError()), numArgs); }

// A request that arrived during the call is served before the primitive answers.
oop ntAnswerServing(oop result) {
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(result) : result;
}

oop ntAnswerOrNoSpace(oop answer, uint64_t numArgs) { return answer != 0 ? answer : ntFail(primErrNoSpace, numArgs); }

// Channels handed to the image. A handle object is only trusted when its address is among
// them, so a closed one, or a ByteArray the image made itself, is refused rather than followed.
static IOChannel** liveChannels;
static uint32_t liveCount, liveCapacity;

static bool noteChannel(IOChannel* c) {
  if (liveCount == liveCapacity) {
    uint32_t capacity = liveCapacity == 0 ? 16 : 2 * liveCapacity;
    IOChannel** grown = static_cast<IOChannel**>(realloc(liveChannels, capacity * sizeof(IOChannel*)));
    if (grown == nullptr) return false;
    liveChannels = grown, liveCapacity = capacity;
  }
  liveChannels[liveCount++] = c;
  return true;
}

static void forgetChannel(IOChannel* c) {
  for (uint32_t i = 0; i < liveCount; i++)
    if (liveChannels[i] == c) liveChannels[i] = liveChannels[--liveCount];
}

IOChannel* channelOf(oop receiver) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 2) return nullptr;
  oop h = slotOf(receiver, 1);
  if (isImmediate(h) || hasPtrs(headerOf(h)) || classTagOf(headerOf(h)) != classIndexByteArray ||
      byteSizeOf(headerOf(h)) != 8)
    return nullptr;
  IOChannel* c;
  memcpy(&c, bodyOf(headerOf(h)), 8);
  for (uint32_t i = 0; i < liveCount; i++)
    if (liveChannels[i] == c && c != nullptr) return c;
  return nullptr;
}

// A new handle object for the channel; 0 (the channel freed) when none can be made.
oop newHandleObject(IOChannel* c) {
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), 8);
  if (h == nullptr || !noteChannel(c)) {
    freeIOChannel(c);
    return 0;
  }
  memcpy(bodyOf(h), &c, 8);
  return oopOf(h);
}

// Closing: the handle object refers to nothing from now on.
void closeHandleObject(oop receiver, IOChannel* c) {
  memset(bodyOf(headerOf(slotOf(receiver, 1))), 0, 8);
  forgetChannel(c);
  freeIOChannel(c);
}

// A platform string as a UTF-16 path of at most ntPathUnits - 1 units; false for another
// object, one that does not fit, or one holding a zero, which the system would take as the
// end of a shorter path.
bool widePathOf(oop s, wchar_t* buffer) {
  if (platformStringToWide(s, buffer, ntPathUnits) == nullptr) return false;
  uint64_t bytes = byteSizeOf(headerOf(s));
  const uint8_t* body = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(s)));
  if (!byteStringMode) return memchr(body, 0, bytes) == nullptr;
  for (uint64_t i = 0; i + 1 < bytes; i += 2)
    if (body[i] == 0 && body[i + 1] == 0) return false;
  return true;
}

// The path in slot 0 of a file name holder.
bool receiverWidePath(oop holder, wchar_t* buffer) {
  if (isImmediate(holder) || !hasPtrs(headerOf(holder)) || bodyWordsOf(headerOf(holder)) < 1) return false;
  return widePathOf(slotOf(holder, 0), buffer);
}

static bool isBoolean(oop o) { return o == trueOop() || o == falseOop(); }

// ---- Channel primitives --------------------------------------------------------------------

#define CHANNEL_OR_FAIL(c, code, n)   \
  IOChannel* c = channelOf(receiver); \
  if (c == nullptr) return ntFail(code, n)

static const DWORD openAccess[5] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE, GENERIC_WRITE,
                                    GENERIC_READ | GENERIC_WRITE};
static const DWORD openCreation[5] = {OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING, CREATE_ALWAYS, CREATE_NEW};

// A new file channel on handle, or 0 (the handle closed) when no channel or object can be had.
static oop fileHandleObject(HANDLE h, bool append, bool readOnly) {
  IOChannel* c = newIOChannel(channelFile);
  if (c == nullptr) return 0;
  c->handle = uint64_t(h);
  c->append = append;
  c->readOnly = readOnly;
  return newHandleObject(c);
}

// 1610: open the receiver's path with an access and a creation index.
static oop primOpen(oop receiver, oop accessIndex, oop creationIndex) {
  wchar_t path[ntPathUnits];
  if (!receiverWidePath(receiver, path)) return ntFail(primErrBadReceiver, 2);
  if (!isSmallInteger(accessIndex) || uint64_t(smallIntegerValue(accessIndex)) > 4 ||
      !isSmallInteger(creationIndex) || uint64_t(smallIntegerValue(creationIndex)) > 4)
    return ntFail(primErrBadArgument, 2);
  int access = int(smallIntegerValue(accessIndex));
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE h = CreateFileW(path, openAccess[access], FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         openCreation[smallIntegerValue(creationIndex)], FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return ntFailLastError(2);
  LARGE_INTEGER zero = {};
  if (access >= 3 && !SetFilePointerEx(h, zero, nullptr, FILE_END)) {
    oop failure = ntFailLastError(2);
    CloseHandle(h);
    return failure;
  }
  if (GetFileType(h) == FILE_TYPE_PIPE) {
    CloseHandle(h);
    return ntFail(primErrNoSpace, 2);
  }
  oop handle = fileHandleObject(h, access >= 3, access == 0);
  if (handle == 0) {
    CloseHandle(h);
    return ntFail(primErrNoSpace, 2);
  }
  return ntAnswerServing(handle);
}

// 740: a channel on standard input (0, read-only), output (1) or error (2).
static oop primStandardHandle(oop, oop index) {
  static const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  if (!isSmallInteger(index) || uint64_t(smallIntegerValue(index)) > 2) return ntFail(primErrBadArgument, 1);
  HANDLE h = GetStdHandle(which[smallIntegerValue(index)]);
  if (h == INVALID_HANDLE_VALUE) return ntFailLastError(1);
  if (h == nullptr) return ntFail(5, 1);
  oop handle = fileHandleObject(h, false, smallIntegerValue(index) == 0);
  if (handle == 0) return ntFail(primErrNoSpace, 1);
  return ntAnswerServing(handle);
}

// 651: close.
static oop primClose(oop receiver) {
  CHANNEL_OR_FAIL(c, primErrBadReceiver, 0);
  HANDLE h = HANDLE(c->handle);
  closeHandleObject(receiver, c);
  if (!CloseHandle(h)) return ntFailLastError(0);
  return receiver;
}

// 660, 679: read; 661, 680: write. Start and count are 1-based into a byte buffer, the
// last byte within it.
static oop transfer(oop receiver, oop buffer, oop start, oop count, bool write) {
  CHANNEL_OR_FAIL(c, primErrBadArgument, 3);
  if (isImmediate(buffer) || hasPtrs(headerOf(buffer)) || !isSmallInteger(start) || !isSmallInteger(count))
    return ntFail(primErrBadArgument, 3);
  int64_t first = smallIntegerValue(start), n = smallIntegerValue(count);
  uint64_t size = byteSizeOf(headerOf(buffer));
  if (first < 1 || n < 1 || n > 0x7FFFFFFF || uint64_t(first - 1) >= size || uint64_t(n) > size - uint64_t(first - 1))
    return ntFail(primErrBadArgument, 3);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(bodyOf(headerOf(buffer))) + first - 1;
  uint32_t done = 0;
  DWORD error = 0;
  int ok = write ? c->write(c, bytes, uint32_t(n), &done, &error) : c->read(c, bytes, uint32_t(n), &done, &error);
  if (!ok && !(error == ERROR_BROKEN_PIPE && !write)) return ntFailCarrying(primErrPlatform, int64_t(error), 3);
  return ntAnswerServing(smallIntegerFor(done));
}
static oop primRead(oop r, oop b, oop s, oop n) { return transfer(r, b, s, n, false); }
static oop primWrite(oop r, oop b, oop s, oop n) { return transfer(r, b, s, n, true); }

// 662: move to a 64-bit position from the start, nil to the end.
static oop primSeek(oop receiver, oop offset) {
  CHANNEL_OR_FAIL(c, primErrBadArgument, 1);
  LARGE_INTEGER to = {}, at;
  if (offset != nilOop() && (!oopToSq64(offset, &to.QuadPart) || to.QuadPart < 0)) return ntFail(primErrBadArgument, 1);
  if (!SetFilePointerEx(HANDLE(c->handle), to, &at, offset == nilOop() ? FILE_END : FILE_BEGIN))
    return ntFailLastError(1);
  return ntAnswerOrNoSpace(cSignedToOop(at.QuadPart), 1);
}

// 664: truncate or extend to a 64-bit length.
static oop primTruncate(oop receiver, oop length) {
  CHANNEL_OR_FAIL(c, primErrBadArgument, 1);
  LARGE_INTEGER to;
  if (!oopToSq64(length, &to.QuadPart) || to.QuadPart < 0) return ntFail(primErrBadArgument, 1);
  if (!SetFilePointerEx(HANDLE(c->handle), to, nullptr, FILE_BEGIN) || !SetEndOfFile(HANDLE(c->handle)))
    return ntFailLastError(1);
  return receiver;
}

// 665: flush, unless nothing can have been written.
static oop primFlush(oop receiver) {
  CHANNEL_OR_FAIL(c, primErrBadReceiver, 0);
  if (!c->readOnly && !FlushFileBuffers(HANDLE(c->handle))) return ntFailLastError(0);
  return ntAnswerServing(receiver);
}

// 666: the size; where the system cannot tell it, an append channel's position, else the
// end found by moving there and back.
static oop primChannelSize(oop receiver) {
  CHANNEL_OR_FAIL(c, primErrBadReceiver, 0);
  HANDLE h = HANDLE(c->handle);
  LARGE_INTEGER size = {}, zero = {}, here;
  if (!GetFileSizeEx(h, &size)) {
    if (GetLastError() == 0) size.QuadPart = 0;
    else if (!SetFilePointerEx(h, zero, &here, FILE_CURRENT)) return ntFailLastError(0);
    else if (!c->append && (!SetFilePointerEx(h, zero, &size, FILE_END) || !SetFilePointerEx(h, here, nullptr, FILE_BEGIN)))
      return ntFailLastError(0);
    else if (c->append) size = here;
  }
  return ntAnswerOrNoSpace(cSignedToOop(size.QuadPart), 0);
}

// 667: lock (true) or unlock (false) a 64-bit length from the current position.
static oop primLock(oop receiver, oop lock, oop length) {
  CHANNEL_OR_FAIL(c, primErrBadArgument, 2);
  int64_t n;
  if (!isBoolean(lock) || !oopToSq64(length, &n) || n < 0) return ntFail(primErrBadArgument, 2);
  LARGE_INTEGER zero = {}, at;
  if (!SetFilePointerEx(HANDLE(c->handle), zero, &at, FILE_CURRENT)) return ntFailLastError(2);
  DWORD lowAt = DWORD(at.QuadPart), highAt = DWORD(at.QuadPart >> 32), low = DWORD(n), high = DWORD(n >> 32);
  BOOL ok = lock == trueOop() ? LockFile(HANDLE(c->handle), lowAt, highAt, low, high)
                              : UnlockFile(HANDLE(c->handle), lowAt, highAt, low, high);
  return ok ? receiver : ntFailLastError(2);
}

// 669: bytes that can be read without waiting (files cannot tell: 9 carrying 0).
static oop primAvailable(oop receiver) {
  CHANNEL_OR_FAIL(c, primErrBadReceiver, 0);
  uint32_t n = 0;
  DWORD error = 0;
  if (!c->available(c, &n, &error)) return ntFailCarrying(primErrPlatform, int64_t(error), 0);
  return smallIntegerFor(n);
}

// 611: the preferred block size.
static oop primBlockSize(oop receiver) {
  CHANNEL_OR_FAIL(c, primErrBadReceiver, 0);
  (void)c;
  return smallIntegerFor(4096);
}

// 612: the OS handle as an integer.
static oop primOSHandle(oop receiver) {
  CHANNEL_OR_FAIL(c, primErrBadReceiver, 0);
  if (c->handle == 0) return ntFail(primErrBadReceiver, 0);
  return ntAnswerOrNoSpace(cUnsignedToOop(c->handle), 0);
}

static void initChannelPrims() {
  createSemaphoreTable();
  const struct { uint32_t number; const void* function; uint8_t numArgs; } prims[] = {
      {611, (const void*)primBlockSize, 0}, {612, (const void*)primOSHandle, 0},
      {651, (const void*)primClose, 0},     {660, (const void*)primRead, 3},
      {661, (const void*)primWrite, 3},     {662, (const void*)primSeek, 1},
      {664, (const void*)primTruncate, 1},  {665, (const void*)primFlush, 0},
      {666, (const void*)primChannelSize, 0}, {667, (const void*)primLock, 2},
      {669, (const void*)primAvailable, 0}, {679, (const void*)primRead, 3},
      {680, (const void*)primWrite, 3},     {740, (const void*)primStandardHandle, 1},
      {1610, (const void*)primOpen, 2},
  };
  for (auto p : prims) addCPrimitive(p.number, p.function, p.numArgs);
}

// Start-up of the Windows I/O groups: channels, then the path and platform primitives,
// the error names and the libraries.
void initNewIO() {
  initChannelPrims();
  initPathPrims();
  initPlatformInfoPrims();
  initErrorNamePrims();
  initDynamicLoadPrimitives();
  initSockPrims();
}
