// Test support: a small heap built from scratch: the spaces of spaceArena (new, perm,
// large, fixed), old space, registry, class table, kernel classes and remembered table.
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "mman/spaceArena.h"

// Classes the test heap makes (class indices).
struct TestClasses {
  uint32_t object;       // Object: fixed pointer class, 0 named slots
  uint32_t pointers;     // a variable pointer class
  uint32_t bytes;        // a variable byte class
  uint32_t weak;         // a weak variable pointer class
  uint32_t threeSlots;   // a fixed pointer class with 3 named slots
};
extern TestClasses testClasses;

// Builds a fresh heap: the arena's spaces (eden of 1 MB and survivor spaces of 64 KB unless
// sizes say otherwise), one old segment of oldSlots slots and an RT of rtSlots slots.
void newTestHeap(uint64_t oldSlots = 1 << 17, uint64_t rtSlots = 100);
void newTestHeap(uint64_t oldSlots, uint64_t rtSlots, const ArenaSizes& sizes);
ArenaSizes testHeapSizes();
// Ends a hand-made incremental mark: clears the marks of old, non-perm entries.
void clearOldMarks();
// Gives every segment back and clears the globals.
void freeTestHeap();

// An old object of the class (pointer classes get slots slots filled with nil, byte classes
// bytes bytes of 0).
oop newOldObject(uint32_t classIndex, uint64_t slotsOrBytes);
// A new-space object (header and body side by side), allocated in eden.
oop newNewObject(uint32_t classIndex, uint64_t slotsOrBytes);
// Makes an old object count as perm (perm space itself is another component's).
void makePerm(oop o);
// One row of the store check's truth table: bit 0 the collector marking (else resting), bit
// 1 the holder marked, bit 2 the value marked, bit 3 the holder in the RT, bit 4 in the old RT.
void setStoreCheckCase(ObjectHeader* holder, oop value, int bits);
// A class with the given format value, superclass Object, entered into the class table.
uint32_t newTestClass(uint64_t format);
// A class with the given format value entered at a chosen class index (reserved indices
// such as the hybrid contexts' have no class in the test heap).
void putTestClassAt(uint32_t index, uint64_t format);
// The same class object without a class index (hash 0).
oop newUnenteredTestClass(uint64_t format);
