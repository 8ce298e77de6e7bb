// Unix layer: dynamic loading: libraries opened and closed and symbols looked up for the
// image (primitives 330-332), and private file mappings. Owns no global record.
// Prefix: pd (pdMapFile), none (initDynamicLoadPrimitives).
#include <cstring>
#include <dlfcn.h>
#include <sys/mman.h>

#include "ext/exError.h"
#include "ext/platform.h"
#include "plat/unxMain.h"
#include "mman/mmSysOop.h"
#include "mman/mmCValue.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "stack/nsupport.h"
#include "ext/exPrimTable.h"

enum : uint64_t { dlNameBytes = 1024 };  // names of at most 1023 bytes and their end

static oop failBadArgument(uint64_t index, uint64_t numArgs) {
  return failPrimitive(cloneErrorWith(primErrorAt(primErrBadArgument), smallIntegerFor(int64_t(index))), numArgs);
}

// The linker's complaint, when it has one: entry 0 carrying its text (entry 1 without room).
static oop linkerFailure(const char* text, uint64_t numArgs) {
  oop s = STStringWithSize(text, strlen(text));
  return failPrimitive(s == 0 ? primErrorAt(primErrNoSpace) : cloneErrorWith(primErrorAt(primErrGeneral), s), numArgs);
}

static oop handleAnswer(void* handle, uint64_t numArgs) {
  oop answer = cUnsignedToOop(uint64_t(uintptr_t(handle)));
  return answer != 0 ? answer : failPrimitive(primErrorAt(primErrNoSpace), numArgs);
}

// 330: a library path, or nil for the program itself.
static oop primOpenLibrary(oop, oop path) {
  char name[dlNameBytes];
  bool program = path == nilOop();
  if (!program && copyToCString(path, name, sizeof name - 1) == nullptr) return failBadArgument(1, 1);
  dlerror();
  void* handle = dlopen(program ? nullptr : name, RTLD_LAZY | RTLD_GLOBAL);
  const char* error = dlerror();
  if (error != nullptr || handle == nullptr) return linkerFailure(error != nullptr ? error : "dlopen failed", 1);
  return handleAnswer(handle, 1);
}

// 331: closes a handle.
static oop primCloseLibrary(oop receiver, oop handle) {
  uint64_t h;
  if (!oopToQ64(handle, &h) || h == 0) return failBadArgument(1, 1);
  dlerror();
  dlclose(reinterpret_cast<void*>(h));
  const char* error = dlerror();
  return error != nullptr ? linkerFailure(error, 1) : receiver;
}

// 332: a symbol's address in the library of a handle.
static oop primLookupSymbol(oop, oop symbol, oop handle) {
  char name[dlNameBytes];
  uint64_t h;
  if (copyToCString(symbol, name, sizeof name - 1) == nullptr) return failBadArgument(1, 2);
  if (handle == nilOop() || !oopToQ64(handle, &h) || h == 0) return failBadArgument(2, 2);
  dlerror();
  void* address = dlsym(reinterpret_cast<void*>(h), name);
  const char* error = dlerror();
  if (error != nullptr) return linkerFailure(error, 2);
  return handleAnswer(address, 2);
}

void initDynamicLoadPrimitives() {
  addCPrimitive(330, reinterpret_cast<const void*>(primOpenLibrary), 1);
  addCPrimitive(331, reinterpret_cast<const void*>(primCloseLibrary), 1);
  addCPrimitive(332, reinterpret_cast<const void*>(primLookupSymbol), 2);
}

// A private read-write mapping of the file, at the address wanted when the system allows.
void* pdMapFile(int fd, uint64_t offset, uint64_t length, void* address) {
  void* p = mmap(address, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, off_t(offset));
  if (p == MAP_FAILED) p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, off_t(offset));
  return p == MAP_FAILED ? nullptr : p;
}
