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
  oop constants[2];     // a SmallDouble constant receiver, a SmallDouble or SmallInteger
                        // constant argument, else 0
  // Chaining: an arithmetic site whose result the next Double site takes straight as an
  // operand, with only that site's operand loads between them, goes from its stub into the
  // next site's stub with the result still in xmm1, running a copy of the loads on the way.
  int chainTo;                   // on the earlier site: the later site's stub index + 1, else 0
  const uint8_t* chainLoads[2];  // on the earlier site: the main line's loads [start, end)
  int chainedAs;                 // on the later site: 1 the result is its receiver, 2 its argument
  uint8_t* chainJump;            // on the later site: the earlier stub's jump to it (rel32 end)
};
enum : int { sdStubMax = 1024, sdStubRoom = 640 };  // a stub takes under 600 bytes

inline bool sdIsComparison(int index) { return index >= 2 && index <= 7; }

// Places stub i of stubs at `at` and links the site's jumps to it (and the jump of a stub
// chained to it); answers the end. Stubs are placed in order.
uint8_t* sdStubCode(SdStub* stubs, int i, uint8_t* at);
