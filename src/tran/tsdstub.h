// Translator: the stubs that run SmallDouble and boxed Double arithmetic and comparisons for
// the special-selector sites, placed after the method's code. Prefix: sd.
#pragma once

#include <cstdint>

#include "mman/mmObject.h"

struct SdStub {
  uint8_t* entries[2];  // the ends of the site's jumps into the stub
  uint8_t* send;        // the site's send path
  uint8_t* yes;         // arithmetic: the exit; comparison: where the condition holds
  uint8_t* no;          // comparison: where it does not
  int index;            // the special selector
  bool inverted;        // comparison: yes and no swapped (the branch jumps when it is false)
  oop constants[2];     // a SmallDouble constant receiver and argument, else 0
};
enum : int { sdStubMax = 1024, sdStubRoom = 512 };  // a stub takes under 500 bytes

inline bool sdIsComparison(int index) { return index >= 2 && index <= 7; }

// Places the stub of s at `at` and links the site's jumps to it; answers the end.
uint8_t* sdStubCode(const SdStub& s, uint8_t* at);
