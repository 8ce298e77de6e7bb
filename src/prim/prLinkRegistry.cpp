// Link registry: C names of routines inside the engine, for the image's C calls.
// Owns the registry: a malloc'd array in registration order, no removal, no dedup.
// Prefix: UP, oe.
#include "prim/prLinkRegistry.h"

#include <cstdlib>
#include <cstring>

#include "ext/exError.h"

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
