// Link registry: C names of routines inside the engine, for the image's C calls.
// Owns the registry: a malloc'd array in registration order, no removal, no dedup.
// Prefix: UP, oe.
#include "prim/prLinkRegistry.h"

#include <cstdlib>
#include <cstring>

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
  if (bigger == nullptr) REPORT_ERROR("Can't allocate enough memory", 0x404);
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

void initLinkRegistryPrimitives() {
  oeInitZlibLinkRegistry();
  UPInitInternalLinkRegistry();
  UPInitLinkRegistry();
  addCPrimitive(333, reinterpret_cast<const void*>(primHandleForSymbol), 1);
}
