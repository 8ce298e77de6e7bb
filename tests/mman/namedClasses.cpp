// Test support: names for the test heap's classes (see namedClasses.h).
#include "mman/namedClasses.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {
const uint32_t byteSymbolIndex = 21;

oop pointerObject(uint64_t slots) { return newOldObject(testClasses.pointers, slots); }

uint32_t enter(oop cls) {
  EXPECT_EQ(enterIntoClassTable(cls), oop(0));
  return hashOf(headerOf(cls));
}

void setSlots(oop o, uint64_t format, oop last) {
  bodyOf(headerOf(o))[classFormatSlot] = smallIntegerFor(int64_t(format));
  bodyOf(headerOf(o))[3] = last;
}
}  // namespace

oop symbolFor(const char* s) {
  oop o = newOldObject(byteSymbolIndex, strlen(s));
  memcpy(bodyOf(headerOf(o)), s, strlen(s));
  return o;
}

void NamedClasses::build() {
  oop metaclass = pointerObject(5), metaMeta = pointerObject(4);
  setSlots(metaclass, formatPointers | 4, symbolFor("Metaclass"));
  setSlots(metaMeta, formatPointers | 5, metaclass);
  metaclassIndex = enter(metaclass);
  setClassTag(headerOf(metaMeta), metaclassIndex);
  setClassTag(headerOf(metaclass), enter(metaMeta));
  struct { uint32_t index; const char* name; } kernel[] = {
      {classIndexArray, "Array"},     {byteSymbolIndex, "ByteSymbol"}, {classIndexByteString, "ByteString"},
      {classIndexDouble, "Double"},   {classIndexFloat, "Float"},     {testClasses.object, "Object"},
      {testClasses.threeSlots, "Triple"}, {testClasses.bytes, "Bytes"}};
  for (auto& k : kernel) rename(k.index, k.name);
  sysOopRegistry[sysDnuSelector] = symbolFor("doesNotUnderstand:");
}

void NamedClasses::rename(uint32_t index, const char* name) {
  oop old = classAt(index);
  oop meta = pointerObject(4), cls = pointerObject(5);
  setSlots(meta, formatPointers | 5, cls);
  setClassTag(headerOf(meta), metaclassIndex);
  setClassTag(headerOf(cls), enter(meta));
  bodyOf(headerOf(cls))[0] = slotOf(old, 0);
  setSlots(cls, classFormatOf(old), symbolFor(name));
  classTable[index >> 10][index & 1023] = cls;
  setHash(headerOf(cls), index);
  if (index < 64 && sysOopRegistry[index] == old) sysOopRegistry[index] = cls;
}
