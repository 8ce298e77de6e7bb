// Link registry: C names of routines inside the engine, for the image's C calls.
// Owns the registry: a malloc'd array in registration order, no removal, no dedup.
// Prefix: UP, oe.
#include "prim/prLinkRegistry.h"

#include <cstdlib>
#include <cstring>
#include <zlib.h>

#include "ext/exError.h"
#include "ext/exInflate.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"

static LinkRegistryEntry* registry;  // entries 0 .. count-1
static uint32_t registryCount;       // entries in use
static uint32_t registryCapacity;    // entries allocated

// Grows to 8 entries, then doubles.
static void growRegistry() {
  uint32_t capacity = registryCount == 0 ? 8 : registryCount * 2;
  LinkRegistryEntry* bigger = (LinkRegistryEntry*)malloc(capacity * sizeof(LinkRegistryEntry));
  if (bigger == nullptr) REPORT_ERROR("Can't allocate enough memory", errFatal | errNoHeap);
  if (registryCount != 0) memcpy(bigger, registry, registryCount * sizeof(LinkRegistryEntry));
  free(registry);
  registry = bigger;
  registryCapacity = capacity;
}

uint64_t UPRegisterSymbolAndHandle(const char* name, void* handle) {
  if (registryCount == registryCapacity) growRegistry();
  registry[registryCount++] = {name, handle};
  return registryCount;
}

uint64_t oeRegisterSymbolAndHandle(const char* name, void* handle) {
  return UPRegisterSymbolAndHandle(name, handle);
}

// The first registration of a name wins.
void* UPHandleForSymbol(const char* name) {
  for (uint32_t i = 0; i < registryCount; i++)
    if (strcmp(registry[i].name, name) == 0) return registry[i].handle;
  return nullptr;
}

void UPInitLinkRegistry() {}

uint32_t linkRegistryCount() { return registryCount; }
uint32_t linkRegistryCapacity() { return registryCapacity; }
const LinkRegistryEntry* linkRegistryEntry(uint32_t index) {
  return index < registryCount ? &registry[index] : nullptr;
}

// ---- Primitive 333 ---------------------------------------------------------------------

// The handle registered under a name, as an unsigned integer; a name that is no string of
// at most 1023 characters, or is not registered (or registered with 0), fails with 3.
static oop primHandleForSymbol(oop, oop name) {
  char buffer[1024];
  if (copyToCString(name, buffer, sizeof buffer - 1) == nullptr)
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  void* handle = UPHandleForSymbol(buffer);
  if (handle == nullptr) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  oop answer = cUnsignedToOop((uint64_t)handle);
  return answer != 0 ? answer : failPrimitive(primErrorAt(primErrNoSpace), 1);
}

// ---- zlib ------------------------------------------------------------------------------------

void* oeConflateInitHeapObj(uint64_t object) {
  if (isImmediate(object)) return nullptr;
  ObjectHeader* h = headerOf(object);
  if (sizeFieldOf(h) != sizeFieldFixed || hasPtrs(h) || h->dataPtr == 0) return nullptr;
  return oeConflateInitAlloc(bodyOf(h), byteSizeOf(h));
}

// The zlib entry points offered to image-side C calls by name.
void oeInitZlibLinkRegistry() {
  struct Entry {
    const char* name;
    void* handle;
  } static const entries[] = {
      {"adler32", (void*)adler32},       {"crc32", (void*)crc32},
      {"get_crc_table", (void*)get_crc_table}, {"compress", (void*)compress},
      {"compress2", (void*)compress2},   {"deflate", (void*)deflate},
      {"deflateCopy", (void*)deflateCopy}, {"deflateEnd", (void*)deflateEnd},
      {"deflateInit_", (void*)deflateInit_}, {"deflateInit2_", (void*)deflateInit2_},
      {"deflateParams", (void*)deflateParams}, {"deflateReset", (void*)deflateReset},
      {"deflateSetDictionary", (void*)deflateSetDictionary}, {"inflate", (void*)inflate},
      {"inflateEnd", (void*)inflateEnd}, {"inflateInit_", (void*)inflateInit_},
      {"inflateInit2_", (void*)inflateInit2_}, {"inflateReset", (void*)inflateReset},
      {"inflateSetDictionary", (void*)inflateSetDictionary}, {"inflateSync", (void*)inflateSync},
      {"inflateSyncPoint", (void*)inflateSyncPoint}, {"gzopen", (void*)gzopen},
      {"gzdopen", (void*)gzdopen},       {"gzsetparams", (void*)gzsetparams},
      {"gzread", (void*)gzread},         {"gzwrite", (void*)gzwrite},
      {"gzprintf", (void*)gzprintf},     {"gzputs", (void*)gzputs},
      {"gzgets", (void*)gzgets},         {"gzputc", (void*)gzputc},
      {"gzgetc", (void*)gzgetc},         {"gzflush", (void*)gzflush},
      {"gzseek", (void*)gzseek},         {"gztell", (void*)gztell},
      {"gzrewind", (void*)gzrewind},     {"gzeof", (void*)gzeof},
      {"gzclose", (void*)gzclose},       {"gzerror", (void*)gzerror},
      {"uncompress", (void*)uncompress}, {"zError", (void*)zError},
      {"zlibVersion", (void*)zlibVersion},
      {"oeConflateInitHeapObj", (void*)oeConflateInitHeapObj},
      {"oeConflateInitAlloc", (void*)oeConflateInitAlloc},
  };
  for (const Entry& e : entries) UPRegisterSymbolAndHandle(e.name, e.handle);
}

void initLinkRegistryPrimitives() {
  oeInitZlibLinkRegistry();
  UPInitInternalLinkRegistry();
  UPInitLinkRegistry();
  addCPrimitive(333, reinterpret_cast<const void*>(primHandleForSymbol), 1);
}
