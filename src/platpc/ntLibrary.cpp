// Windows layer: dynamic libraries for the image's C calls, primitives 330 (load), 331
// (free) and 332 (look up); every library handed out is in the handle registry, so the
// engine frees what is left at exit. Owns no global record. Prefix: none
// (initDynamicLoadPrimitives).
#include <windows.h>

#include <cstring>

#include "platpc/ntChannel.h"
#include "platpc/ntFile.h"
#include "platpc/ntMain.h"
#include "mman/mmCValue.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "ext/exPrimTable.h"

// 330: load a library by name, nil for the program itself.
static oop primLoadLibrary(oop, oop name) {
  wchar_t path[ntPathUnits];
  const wchar_t* file = modulePath;
  if (name != nilOop()) {
    if (!widePathOf(name, path)) return ntFail(primErrBadArgument, 1);
    file = path;
  }
  HMODULE module = LoadLibraryExW(file, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return ntFailLastError(1);
  if (handleRegistryX == 0) initHandleRegistry();  // the console build has no GUI start-up to make it
  oop answer = cUnsignedToOop(uint64_t(module));
  if (answer == 0 || registerHandle(uint64_t(module), handleLibrary) == 0) {
    FreeLibrary(module);
    return ntFail(primErrNoSpace, 1);
  }
  return answer;
}

// A library handle given as an Integer; 0 for anything else.
static uint64_t libraryHandleOf(oop handle) {
  uint64_t h;
  return oopToQ64(handle, &h) ? h : 0;
}

// 331: free a library 330 handed out; it leaves the registry in any case.
static oop primFreeLibrary(oop receiver, oop handle) {
  uint64_t h = libraryHandleOf(handle);
  if (h == 0 || handleSerial(h, handleLibrary) == 0) return ntFail(primErrBadArgument, 1);
  BOOL freed = FreeLibrary(HMODULE(h));
  DWORD error = GetLastError();
  unregisterHandle(h, handleLibrary);
  return freed ? receiver : ntFailCarrying(primErrPlatform, int64_t(error), 1);
}

// 332: the address of a function by name (tried again with a leading underscore) or by
// ordinal (a SmallInteger).
static oop primLookup(oop, oop symbol, oop handle) {
  HMODULE module = HMODULE(libraryHandleOf(handle));
  if (module == nullptr) return ntFail(primErrBadArgument, 2);
  FARPROC f;
  if (isSmallInteger(symbol)) {
    int64_t ordinal = smallIntegerValue(symbol);
    if (ordinal < 1 || ordinal > 0xFFFF) return ntFail(primErrBadArgument, 2);
    f = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  } else {
    char name[ntPathUnits + 2];
    name[0] = '_';
    if (copyToCString(symbol, name + 1, ntPathUnits) == nullptr || strlen(name + 1) == 0)
      return ntFail(primErrBadArgument, 2);
    f = GetProcAddress(module, name + 1);
    if (f == nullptr) f = GetProcAddress(module, name);
  }
  if (f == nullptr) return ntFailLastError(2);
  return ntAnswerOrNoSpace(cUnsignedToOop(uint64_t(f)), 2);
}

void initDynamicLoadPrimitives() {
  addCPrimitive(330, (const void*)primLoadLibrary, 1);
  addCPrimitive(331, (const void*)primFreeLibrary, 1);
  addCPrimitive(332, (const void*)primLookup, 2);
}
