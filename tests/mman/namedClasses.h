// Test support: names for the test heap's classes, laid out as an image lays them out, so
// that the printers can find them: a class of five slots (superclass, method dictionary,
// format, name, one more), a metaclass of four (the fourth: its class), every metaclass an
// instance of Metaclass. Array, ByteSymbol, ByteString, Double, Float, Object, Triple (the
// three-slot class), Bytes (the byte class) and any class added by name.
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

oop symbolFor(const char* s);
class NamedClasses {
 public:
  void build();
  // Replaces the class at index by a named one of the same format and superclass.
  void rename(uint32_t index, const char* name);
  uint32_t metaclassIndex = 0;
};
