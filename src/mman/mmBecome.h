// Object memory: become. Two-way exchange of two headers' contents and one-way replacement
// of every reference to an object, primitives 72, 108, 172, and moving a byte body to fixed
// space. Owns no global record. Prefix: none (tryBecome, exchangeObjects, ...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// The fields an exchange moves between two headers; every other bit (identity hash,
// isImmutable, isMarked, perm, isInOldRt, inRt) stays with its header.
enum : uint64_t {
  becomeMovedFlags = classTagMask | sizeFieldMask | indexabilityMask | hasPtrsBit | isGCSpecialBit |
                     ephemeronNotWeakBit,
};

// 1 after a and b traded contents; 0 when either is immediate or of a class index up to 9,
// or for want of room (nothing changed then).
int tryBecome(oop a, oop b);
// Classifies both bodies, makes every fresh body and registration first, then exchanges.
// 0 (nothing exchanged) when an allocation or a registration fails.
int exchangeObjects(oop a, oop b);
// The field exchange; dataPtr too when withBodies is set.
void swapHeaderContents(ObjectHeader* a, ObjectHeader* b, int withBodies);

// 1 when the object's body lies in fixed space (already, or moved there by a become with a
// fresh fixed-space copy); 0 for immediates, pointer objects, or no room.
int promoteToFixedSpace(oop object);

// Every reference to r in the stacks and the heap becomes x, with the store check of each
// holder (the one-way half of primitive 108; its caller has suspended the running context).
void replaceEveryReference(oop r, oop x);

// Test hook: when >= 0, the exchange's allocations count it down and the one that finds it
// at 0 fails (-1, the default: none fails).
extern int64_t becomeFailAllocationAt;

// Before a one-way replacement of r: native methods holding r (as method, selector or
// literal) are discarded, so that later sends translate their methods again; every frame
// is stabilized first. 0 when the stacks could not be stabilized (nothing discarded).
int discardNMethodsReferringTo(oop r);
void initBecomePrims();
