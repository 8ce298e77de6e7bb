// Windows layer: the path, directory and volume primitives (1600-1609, 1620-1622, 1690)
// and the platform primitives (346, 471, 472, 690-692, 699). Owns no global record.
// Prefix: none (initPathPrims, initPlatformInfoPrims).
#include <windows.h>
#include <winnetwk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "ext/exError.h"
#include "mman/mmAllocate.h"
#include "mman/mmOopStack.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "platpc/ntFile.h"
#include "platpc/ntImage.h"
#include "platpc/ntMain.h"
#include "mman/mmCValue.h"
#include "mman/mmCString.h"
#include "stack/nsupport.h"
#include "ext/exPrimTable.h"

#define PATH_OR_FAIL(path, n)   \
  wchar_t path[ntPathUnits];    \
  if (!receiverWidePath(receiver, path)) return ntFail(primErrBadReceiver, n)

static bool isBoolean(oop o) { return o == trueOop() || o == falseOop(); }

static oop stringFromWide(const wchar_t* text) { return platformStringFromWide(text, int64_t(wcslen(text))); }

// An Array of count slots, filled by fill(i) (0 ends it: no space).
template <typename Fill>
static oop arrayOf(uint64_t count, Fill fill) {
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), count);
  if (a == nullptr) return 0;
  for (uint64_t i = 0; i < count; i++) {
    oop item = fill(i);
    if (item == 0) return 0;
    storeSlot(oopOf(a), i, item, __FILE__, __LINE__);
  }
  return oopOf(a);
}

// ---- Files and directories -----------------------------------------------------------------

// 1600: access, write and creation times, four 32-bit seconds since 1901 (the third is 0);
// all 0 for a path that exists but cannot be searched for (a drive root).
static oop primFileTimes(oop receiver) {
  PATH_OR_FAIL(path, 0);
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return ntFailLastError(0);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  FILETIME times[4] = {found.ftLastAccessTime, found.ftLastWriteTime, {}, found.ftCreationTime};
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), 16);
  if (h == nullptr) return ntFail(primErrNoSpace, 0);
  fileTimesToSeconds(4, times, reinterpret_cast<uint32_t*>(bodyOf(h)));
  return oopOf(h);
}

// 1601: remove a directory or a file.
static oop primRemove(oop receiver) {
  PATH_OR_FAIL(path, 0);
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ntFailLastError(0);
  BOOL ok = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path) : DeleteFileW(path);
  return ok ? receiver : ntFailLastError(0);
}

// 1602: a directory?
static oop primIsDirectory(oop receiver) {
  PATH_OR_FAIL(path, 0);
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ntFailLastError(0);
  return booleanOop(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// 1603: rename to the path of an argument of the receiver's class.
static oop primRename(oop receiver, oop to) {
  PATH_OR_FAIL(path, 1);
  wchar_t target[ntPathUnits];
  if (isImmediate(to) || classOf(to) != classOf(receiver) || !receiverWidePath(to, target))
    return ntFail(primErrBadArgument, 1);
  return MoveFileW(path, target) ? receiver : ntFailLastError(1);
}

// 1604: make a directory.
static oop primMakeDirectory(oop receiver) {
  PATH_OR_FAIL(path, 0);
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateDirectoryW(path, &inherit) ? receiver : ntFailLastError(0);
}

// 1605: the current directory.
static oop primCurrentDirectory(oop) {
  wchar_t path[ntPathUnits];
  DWORD n = GetCurrentDirectoryW(ntPathUnits, path);
  if (n == 0 || n >= ntPathUnits) return ntFailLastError(0);
  return ntAnswerOrNoSpace(stringFromWide(path), 0);
}

// 1606: the 64-bit size; 0 for a path that exists but cannot be searched for.
static oop primFileSize(oop receiver) {
  PATH_OR_FAIL(path, 0);
  uint64_t size = 0;
  DWORD error = 0;
  if (!imageFileSize(path, &size, &error) && error != 0) return ntFailCarrying(primErrPlatform, int64_t(error), 0);
  return ntAnswerOrNoSpace(cUnsignedToOop(size), 0);
}

// The root of the drive a path begins with ("X:\"), or false.
static bool driveRootOf(const wchar_t* path, wchar_t root[4]) {
  wchar_t letter = path[0] | 0x20;
  if (letter < L'a' || letter > L'z' || path[1] != L':') return false;
  root[0] = path[0], root[1] = L':', root[2] = L'\\', root[3] = 0;
  return true;
}

// 1607: writable? Not a read-only file, nor a directory of a CD-ROM drive.
static oop primIsWritable(oop receiver) {
  PATH_OR_FAIL(path, 0);
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ntFailLastError(0);
  if (attributes & FILE_ATTRIBUTE_READONLY) return falseOop();
  wchar_t full[ntPathUnits], root[4];
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && GetFullPathNameW(path, ntPathUnits, full, nullptr) != 0 &&
      driveRootOf(full, root) && GetDriveTypeW(root) == DRIVE_CDROM)
    return falseOop();
  return trueOop();
}

// 1608: true clears the read-only attribute, false sets it.
static oop primSetWritable(oop receiver, oop writable) {
  PATH_OR_FAIL(path, 1);
  if (!isBoolean(writable)) return ntFail(primErrBadArgument, 1);
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ntFailLastError(1);
  attributes = writable == trueOop() ? attributes & ~DWORD(FILE_ATTRIBUTE_READONLY) : attributes | FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesW(path, attributes) ? receiver : ntFailLastError(1);
}

// 1609: exists?
static oop primExists(oop receiver) {
  PATH_OR_FAIL(path, 0);
  return booleanOop(GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES);
}

// ---- Directory listing ---------------------------------------------------------------------

// The search pattern of a directory path: "<path>\*", the path checked to be a directory
// unless it ends in a separator, "." or ":". 0, or the error to fail with.
static DWORD listingPattern(const wchar_t* path, wchar_t* pattern) {
  if (volumeIsMissing(path)) return ERROR_WRITE_PROTECT;
  size_t n = wcslen(path);
  if (n + 3 > ntPathUnits) return ERROR_FILENAME_EXCED_RANGE;
  wcscpy(pattern, path);
  if (n >= 2 && path[0] == L'\\' && path[1] == L'\\' && path[n - 1] != L'\\') pattern[n++] = L'\\', pattern[n] = 0;
  wchar_t last = n > 0 ? pattern[n - 1] : 0;
  bool bare = wcscmp(pattern, L"\\") == 0 || last == L'.' || last == L':' || last == L'\\' || last == L'/';
  if (!bare) {
    DWORD attributes = GetFileAttributesW(pattern);
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_BAD_UNIT;
  }
  if (last != L'\\' && last != L'/' && last != L':') pattern[n++] = L'\\';
  pattern[n++] = L'*';
  pattern[n] = 0;
  return 0;
}

// The names gathered on the oop stack, in the order found, as an Array; 0 when no space.
static oop arrayFromStack(oop* stack) {
  uint64_t n = liveEntriesInOopStack(stack);
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), n);
  if (a == nullptr) return 0;
  for (uint64_t i = n; i > 0; i--) storeSlot(oopOf(a), i - 1, popOopStack(stack), __FILE__, __LINE__);
  return oopOf(a);
}

// Every name but "." and ".." onto the stack; 0, or the error that ended the search early
// (-1: no space).
static int64_t gatherNames(HANDLE search, WIN32_FIND_DATAW* found, oop* stack) {
  do {
    if (wcscmp(found->cFileName, L".") == 0 || wcscmp(found->cFileName, L"..") == 0) continue;
    oop name = stringFromWide(found->cFileName);
    if (name == 0 || !pushOopStack(stack, name)) return -1;
  } while (FindNextFileW(search, found));
  DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : int64_t(error);
}

// 1690: the names in a directory, in the order the system lists them.
static oop primListDirectory(oop receiver) {
  PATH_OR_FAIL(path, 0);
  wchar_t pattern[ntPathUnits + 4];
  DWORD error = listingPattern(path, pattern);
  if (error != 0) return ntFailCarrying(primErrPlatform, int64_t(error), 0);
  oop stack = createOopStack();
  if (stack == 0) return ntFail(primErrNoSpace, 0);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  int64_t status = 0;
  if (search == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    status = error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES ? 0 : int64_t(error);
  } else {
    status = gatherNames(search, &found, &stack);
    FindClose(search);
  }
  oop names = status == 0 ? arrayFromStack(&stack) : 0;
  recycleOopStack(stack);
  if (status > 0) return ntFailCarrying(primErrPlatform, status, 0);
  if (names == 0) return ntFail(primErrNoSpace, 0);
  return ntAnswerServing(names);
}

// ---- Volumes -------------------------------------------------------------------------------

// The root of the volume holding path: "X:\" or "\\server\share\"; false for anything else.
static bool volumeRootOf(oop pathString, wchar_t* root) {
  wchar_t path[ntPathUnits], full[ntPathUnits];
  if (!widePathOf(pathString, path)) return false;
  DWORD n = GetFullPathNameW(path, ntPathUnits, full, nullptr);
  if (n == 0 || n >= ntPathUnits) return false;
  if (driveRootOf(full, root)) return true;
  if (full[0] != L'\\' || full[1] != L'\\') return false;
  const wchar_t* server = wcschr(full + 2, L'\\');
  const wchar_t* share = server != nullptr ? wcschr(server + 1, L'\\') : nullptr;
  if (server == nullptr || server == full + 2 || server[1] == 0 || share == server + 1) return false;
  size_t length = share != nullptr ? size_t(share - full) : wcslen(full);
  wcsncpy(root, full, length);
  root[length] = L'\\', root[length + 1] = 0;
  return true;
}

// 1620: the file-system name of the volume holding the argument path ("FAT" when the system
// cannot tell and the drive exists).
static oop primVolumeName(oop, oop pathString) {
  wchar_t root[ntPathUnits], name[ntPathUnits];
  if (!volumeRootOf(pathString, root)) return ntFail(primErrBadArgument, 1);
  if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, ntPathUnits)) {
    if (volumeIsMissing(root)) return ntFail(primErrBadArgument, 1);
    wcscpy(name, L"FAT");
  }
  return ntAnswerOrNoSpace(stringFromWide(name), 1);
}

// 1622: {file-system name, longest component, 260, case preserved, case sensitive, Unicode
// on disk, persistent ACLs, volume compressed, file compression}.
static oop primVolumeInfo(oop, oop pathString) {
  wchar_t root[ntPathUnits], name[ntPathUnits];
  DWORD longest = 0, flags = 0;
  if (!volumeRootOf(pathString, root)) return ntFail(primErrBadArgument, 1);
  if (!GetVolumeInformationW(root, nullptr, 0, nullptr, &longest, &flags, name, ntPathUnits)) return ntFailLastError(1);
  static const DWORD flagBits[6] = {FILE_CASE_PRESERVED_NAMES, FILE_CASE_SENSITIVE_SEARCH, FILE_UNICODE_ON_DISK,
                                    FILE_PERSISTENT_ACLS, FILE_VOLUME_IS_COMPRESSED, FILE_FILE_COMPRESSION};
  return ntAnswerOrNoSpace(arrayOf(9, [&](uint64_t i) -> oop {
                             if (i == 0) return stringFromWide(name);
                             if (i == 1) return smallIntegerFor(longest);
                             if (i == 2) return smallIntegerFor(ntPathUnits);
                             return booleanOop(flags & flagBits[i - 3]);
                           }), 1);
}

// The text of drive letter i: its root, or for a connected network drive the connection's
// name and a backslash.
static oop driveName(int letter) {
  wchar_t root[4] = {wchar_t(L'A' + letter), L':', L'\\', 0}, device[3] = {root[0], L':', 0};
  wchar_t remote[ntPathUnits];
  DWORD size = ntPathUnits - 1;
  if (GetDriveTypeW(root) == DRIVE_REMOTE && WNetGetConnectionW(device, remote, &size) == NO_ERROR) {
    wcscat(remote, L"\\");
    return stringFromWide(remote);
  }
  return stringFromWide(root);
}

// 1621: the drives, from A upward.
static oop primDrives(oop) {
  DWORD drives = GetLogicalDrives();
  int letters[26], n = 0;
  for (int i = 0; i < 26; i++)
    if (drives & (1u << i)) letters[n++] = i;
  return ntAnswerOrNoSpace(arrayOf(uint64_t(n), [&](uint64_t i) { return driveName(letters[i]); }), 0);
}

void initPathPrims() {
  const struct { uint32_t number; const void* function; uint8_t numArgs; } prims[] = {
      {1600, (const void*)primFileTimes, 0},    {1601, (const void*)primRemove, 0},
      {1602, (const void*)primIsDirectory, 0},  {1603, (const void*)primRename, 1},
      {1604, (const void*)primMakeDirectory, 0}, {1605, (const void*)primCurrentDirectory, 0},
      {1606, (const void*)primFileSize, 0},     {1607, (const void*)primIsWritable, 0},
      {1608, (const void*)primSetWritable, 1},  {1609, (const void*)primExists, 0},
      {1620, (const void*)primVolumeName, 1},   {1621, (const void*)primDrives, 0},
      {1622, (const void*)primVolumeInfo, 1},   {1690, (const void*)primListDirectory, 0},
  };
  for (auto p : prims) addCPrimitive(p.number, p.function, p.numArgs);
}

// ---- Platform primitives -------------------------------------------------------------------

// 699: the platform's name, "win32 V<major>.<minor> nt x64 ucs2"; the argument is an Array
// of three slots.
static oop primPlatformName(oop, oop request) {
  if (isImmediate(request) || !hasPtrs(headerOf(request)) ||
      classFormatOf(classOf(request)) != classFormatOf(sysOop(sysArrayClass)) || bodyWordsOf(headerOf(request)) != 3)
    return ntFail(primErrGeneral, 1);
  char text[64];
  int n = snprintf(text, sizeof text, "win32 V%d.%d %s x64 ucs2", osMajorVersion, osMinorVersion, "nt");
  return ntAnswerOrNoSpace(STStringWithSize(text, uint64_t(n)), 1);
}

// 692: the process id.
static oop primProcessId(oop) { return smallIntegerFor(GetCurrentProcessId()); }

// 691: the command line as the shell split it.
static oop primCommandLine(oop) {
  return ntAnswerOrNoSpace(arrayOf(uint64_t(wideArgc), [](uint64_t i) { return stringFromWide(wideArgv[i]); }), 0);
}

// 690: the C runtime's environment, one "NAME=value" String per entry.
static oop primEnvironment(oop) {
  if (_wenviron == nullptr) _wgetenv(L"PATH");  // makes the wide environment
  uint64_t n = 0;
  while (_wenviron != nullptr && _wenviron[n] != nullptr) n++;
  return ntAnswerOrNoSpace(arrayOf(n, [](uint64_t i) { return stringFromWide(_wenviron[i]); }), 0);
}

// 471: the user's abbreviated language name.
static oop primLanguage(oop) {
  wchar_t name[16];
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, name, 16) == 0) name[0] = 0;
  return ntAnswerOrNoSpace(stringFromWide(name), 0);
}

// A ByteString (class index 17) of the text.
static oop byteString(const char* text) {
  ObjectHeader* h = allocVSObj(classAt(classIndexByteString), strlen(text));
  if (h != nullptr) memcpy(bodyOf(h), text, strlen(text));
  return h != nullptr ? oopOf(h) : 0;
}

// 346: {"<ISO 639 language>_<ISO 3166 country>", "windows-<ANSI code page>"}.
static oop primLocale(oop) {
  char language[16], country[16], locale[40], codePage[24];
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, sizeof language) == 0 ||
      GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME, country, sizeof country) == 0)
    return ntFail(primErrHostLookup, 0);
  snprintf(locale, sizeof locale, "%s_%s", language, country);
  snprintf(codePage, sizeof codePage, "windows-%u", GetACP());
  return ntAnswerOrNoSpace(arrayOf(2, [&](uint64_t i) { return byteString(i == 0 ? locale : codePage); }), 0);
}

// 472: platform strings are their UTF-16 bytes from now on.
static oop primByteStrings(oop) {
  byteStringMode = 1;
  return trueOop();
}

void initPlatformInfoPrims() {
  const struct { uint32_t number; const void* function; uint8_t numArgs; } prims[] = {
      {346, (const void*)primLocale, 0},      {471, (const void*)primLanguage, 0},
      {472, (const void*)primByteStrings, 0}, {690, (const void*)primEnvironment, 0},
      {691, (const void*)primCommandLine, 0}, {692, (const void*)primProcessId, 0},
      {699, (const void*)primPlatformName, 1},
  };
  for (auto p : prims) addCPrimitive(p.number, p.function, p.numArgs);
  initAlarmPrims();
}
