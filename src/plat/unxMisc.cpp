// Unix layer: miscellaneous primitives (I/O start-up, process id, program arguments,
// environment, record locks, descriptor queries, locale) and the serial-line primitives.
// Owns ioa_classX and the locale buffer. Prefix: none (initMiscPrims, initSerialPrims).
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termio.h>
#include <unistd.h>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "plat/unxFile.h"
#include "plat/unxMain.h"

extern char** environ;

int64_t ioa_classX = -1;  // registry slot of the I/O-accessor class, -1 until 699 runs
static const char platformName[] = "unix sysV x86_64 linux";

// 699: I/O start-up.
static oop primStartIO(oop, oop request) {
  if (!hasArrayFormat(request) || bodyWordsOf(headerOf(request)) != 3)
    return failCode(primErrBadArgument, 1);
  if (ioSemTableX == 0) {
    oop error = initIOSemMachinery();
    if (error != 0) return failPrimitive(error, 1);
  }
  oop name = STStringWithSize(platformName, strlen(platformName));
  int64_t slot = name != 0 ? allocSysOopSlot() : -1;
  if (slot < 0) return failCode(primErrNoSpace, 1);
  ioa_classX = slot;
  registerSysOop(slotOf(request, 2), (uint32_t)slot);
  return name;
}

// 692: process id.
static oop primProcessId(oop) {
  oop pid = cSignedToOop(getpid());
  return pid != 0 ? pid : failCode(primErrNoSpace, 0);
}

// An Array of Strings of n C strings; 0 when no space.
static oop stringArray(char* const* strings, int64_t n) {
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), (uint64_t)n);
  if (a == nullptr) return 0;
  for (int64_t i = 0; i < n; i++) bodyOf(a)[i] = nilOop();
  for (int64_t i = 0; i < n; i++) {
    oop s = STStringWithSize(strings[i], strlen(strings[i]));
    if (s == 0) return 0;
    storeSlot(oopOf(a), (uint64_t)i, s, __FILE__, __LINE__);
  }
  return oopOf(a);
}

// 691: the whole command line, the program's own name included.
static oop primCommandLine(oop) {
  oop a = stringArray(program_argv, program_argc);
  return a != 0 ? a : failCode(primErrNoSpace, 0);
}

// 690: the environment, NAME=value each.
static oop primEnvironment(oop) {
  int64_t n = 0;
  while (environ != nullptr && environ[n] != nullptr) n++;
  oop a = n > 0 ? stringArray(environ, n) : 0;
  return a != 0 ? a : failCode(primErrNoSpace, 0);
}

// 612: the receiver's descriptor, validated.
static oop primDescriptor(oop receiver) {
  int fd = descriptorOf(receiver);
  return fd < 0 ? failCode(primErrBadReceiver, 0) : smallIntegerFor(fd);
}

// 611: the preferred I/O block size.
static oop primBlockSize(oop receiver) {
  int fd = smallDescriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadArgument, 0);
  struct stat st;
  int r;
  while ((r = fstat(fd, &st)) != 0 && errno == EINTR) {}
  return r != 0 ? failErrno(errno, 0) : smallIntegerFor(st.st_blksize);
}

// 669: bytes readable without blocking.
static oop primBytesReadable(oop receiver) {
  int fd = descriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadArgument, 0);
  int64_t n = bytesReadable(fd);
  return n < 0 ? failErrno(errno, 0) : smallIntegerFor(n);
}

// 667: lock (true) or unlock from the current position; EBADF (a descriptor not open for
// writing) reaches the image as EACCES.
static oop primLock(oop receiver, oop lock, oop length) {
  int fd = descriptorOf(receiver);
  int64_t n;
  if (fd < 0 || (lock != trueOop() && lock != falseOop()) || !stOopToCValue(&n, length, 8))
    return failCode(primErrBadArgument, 2);
  pdBeginCritical();
  int r = lockf(fd, lock == trueOop() ? F_TLOCK : F_ULOCK, (off_t)n);
  int error = errno;
  pdEndCritical();
  if (r != 0) return failErrno(error == EBADF ? EACCES : error, 2);
  return receiver;
}

// The locale: LC_ALL, LANG, LC_CTYPE (the first set and not empty), else the C library's.
static char localeBuffer[1025];

static const char* baseGetLocale() {
  localeBuffer[1024] = 0;
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LANG", "LC_CTYPE"}) {
    const char* v = getenv(variable);
    if (v != nullptr && *v != 0) {
      name = v;
      break;
    }
  }
  if (name == nullptr) name = setlocale(LC_ALL, nullptr);
  if (name == nullptr) return nullptr;
  strncpy(localeBuffer, name, 1024);
  return localeBuffer;
}

// 471: the locale name.
static oop primLocaleName(oop) {
  const char* name = baseGetLocale();
  oop s = name != nullptr ? STStringWithSize(name, strlen(name)) : 0;
  return s != 0 ? s : failCode(primErrNoSpace, 0);
}

// 346: the locale cut at its first '@', '.', blank or tab, and the character set.
static oop primLocaleAndCodeset(oop) {
  const char* name = baseGetLocale();
  if (name == nullptr) return failCode(primErrHostLookup, 0);
  size_t n = strcspn(name, "@. \t");
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || *codeset == 0) codeset = "<invalid>";
  ObjectHeader* pair = allocVSObj(sysOop(sysArrayClass), 2);
  oop locale = pair != nullptr ? STStringWithSize(name, n) : 0;
  oop set = locale != 0 ? STStringWithSize(codeset, strlen(codeset)) : 0;
  if (set == 0) return failCode(primErrNoSpace, 0);
  storeSlot(oopOf(pair), 0, locale, __FILE__, __LINE__);
  storeSlot(oopOf(pair), 1, set, __FILE__, __LINE__);
  return oopOf(pair);
}

void initMiscPrims() {
  addCPrimitive(346, (const void*)primLocaleAndCodeset, 0);
  addCPrimitive(471, (const void*)primLocaleName, 0);
  addCPrimitive(611, (const void*)primBlockSize, 0);
  addCPrimitive(612, (const void*)primDescriptor, 0);
  addCPrimitive(667, (const void*)primLock, 2);
  addCPrimitive(669, (const void*)primBytesReadable, 0);
  addCPrimitive(690, (const void*)primEnvironment, 0);
  addCPrimitive(691, (const void*)primCommandLine, 0);
  addCPrimitive(692, (const void*)primProcessId, 0);
  addCPrimitive(699, (const void*)primStartIO, 1);
}

// ---- Serial lines ----------------------------------------------------------------------

enum : uint64_t { termioBytes = sizeof(struct termio) };
static_assert(sizeof(struct termio) == 18, "the termio record is 18 bytes");

// 655: open a terminal device, non-blocking; anything else is closed again (ENOTTY).
static oop primOpenTerminal(oop, oop device) {
  char path[pathCapacity + 2];
  if (!copyPath(device, path, pathCapacity)) return failCode(primErrBadArgument, 1);
  if (used_ufds + 1 > max_ufds) return failErrno(EMFILE, 1);
  int fd;
  while ((fd = open(path, O_RDWR | O_NONBLOCK)) < 0 && errno == EINTR) {}
  if (fd < 0) return failErrno(errno, 1);
  if (!prepareUfd(fd) || !isatty(fd)) {
    closeUfd(fd);
    return failErrno(ENOTTY, 1);
  }
  return smallIntegerFor(fd);
}

// 637: the line settings as an 18-byte ByteArray.
static oop primGetLine(oop receiver) {
  int fd = descriptorOf(receiver);
  if (fd < 0) return failCode(primErrBadArgument, 0);
  struct termio t;
  if (ioctl(fd, TCGETA, &t) != 0) return failErrno(errno, 0);
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), termioBytes);
  if (h == nullptr) return failCode(primErrNoSpace, 0);
  memcpy(bodyOf(h), &t, termioBytes);
  return oopOf(h);
}

// 638: set the line settings from a byte object of at least 18 bytes.
static oop primSetLine(oop receiver, oop settings) {
  int fd = descriptorOf(receiver);
  if (fd < 0 || isImmediate(settings) || hasPtrs(headerOf(settings)) ||
      byteSizeOf(headerOf(settings)) < termioBytes)
    return failCode(primErrBadArgument, 1);
  struct termio t;
  memcpy(&t, bodyOf(headerOf(settings)), termioBytes);
  if (ioctl(fd, TCSETA, &t) != 0) return failErrno(errno, 1);
  return receiver;
}

// 639: change control modes under a mask, optionally send a break; answers the modes.
static oop primLineControl(oop receiver, oop bits, oop mask, oop sendBreak) {
  int fd = descriptorOf(receiver);
  if (fd < 0 || !isSmallInteger(bits) || !isSmallInteger(mask) ||
      (sendBreak != trueOop() && sendBreak != falseOop()))
    return failCode(primErrBadArgument, 3);
  if (!isatty(fd)) return failErrno(ENOTTY, 3);
  struct termio t;
  if (smallIntegerValue(mask) != 0) {
    if (ioctl(fd, TCGETA, &t) != 0) return failErrno(errno, 3);
    t.c_cflag = (unsigned short)((t.c_cflag & ~smallIntegerValue(mask)) | smallIntegerValue(bits));
    if (ioctl(fd, TCSETA, &t) != 0) return failErrno(errno, 3);
  }
  if (sendBreak == trueOop() && ioctl(fd, TCSBRK, 0) != 0) return failErrno(errno, 3);
  if (ioctl(fd, TCGETA, &t) != 0) return failErrno(errno, 3);
  return smallIntegerFor(t.c_cflag);
}

void initSerialPrims() {
  addCPrimitive(637, (const void*)primGetLine, 0);
  addCPrimitive(638, (const void*)primSetLine, 1);
  addCPrimitive(639, (const void*)primLineControl, 3);
  addCPrimitive(655, (const void*)primOpenTerminal, 1);
}
