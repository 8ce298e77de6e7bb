// Link registry: C names of routines inside the engine, for the image's C calls.
// Owns the registry array. Prefix: UP, oe (exported), initLinkRegistryPrimitives.
#pragma once
#include <cstdint>

// One registered routine. The name is the caller's own string, kept, not copied.
struct LinkRegistryEntry {
  const char* name;
  void* handle;
};

extern "C" {
uint64_t UPRegisterSymbolAndHandle(const char* name, void* handle);
uint64_t oeRegisterSymbolAndHandle(const char* name, void* handle);
void* UPHandleForSymbol(const char* name);
void UPInitLinkRegistry();
// The inflater's workspace (oeConflateInitAlloc) in the body of a byte object whose body lies
// in fixed space (it never moves), of its byte size; null for any other object.
void* oeConflateInitHeapObj(uint64_t object);
}
// The zlib entry points offered to image-side C calls by name.
void oeInitZlibLinkRegistry();

// Fills the registry (zlib, the platform's own routines) and registers primitive 333.
void initLinkRegistryPrimitives();

uint32_t linkRegistryCount();
uint32_t linkRegistryCapacity();
const LinkRegistryEntry* linkRegistryEntry(uint32_t index);
