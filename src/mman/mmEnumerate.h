// Object memory: the heap scans (every object, owners of given objects, collecting the
// matches into a new Array), which the enumeration primitives (prim/prEnumerate) are built on.
// Owns no global record. Prefix: none (scanObjectMemory, scanReferentsOf,
// collectAllSpecifiedObjects).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "mman/mmOldSpace.h"

// Predicates (argument, object). The instance predicates take a uint32_t class index; the
// list predicate an Array of class indices as SmallIntegers; the owner predicates the oop
// referred to.
int anyObject(void* arg, ObjectHeader* h);
int instanceOfClassIndex(void* arg, ObjectHeader* h);
int instanceOfContextClassIndex(void* arg, ObjectHeader* h);  // 11, 12 also match 8, 9
int instanceOfClassIndexList(void* arg, ObjectHeader* h);
int oopInObj(void* arg, ObjectHeader* h);
int isStrongOwnerOf(void* arg, ObjectHeader* h);

// Visits new space (eden and past space; not while a scavenge runs), perm space and every old
// segment, and stores each live object the predicate accepts into [bufStart, bufEnd) while
// room remains; answers the number of matches, negated when not all fitted. exclude, when
// given, is never matched (a result being filled).
int64_t scanObjectMemory(void* arg, OtPredicate predicate, oop* bufStart, oop* bufEnd, ObjectHeader* exclude = nullptr);
// The same walk over objects with pointers only, matched by an owner predicate (oopInObj or
// isStrongOwnerOf) against the object arg.
int64_t scanReferentsOf(oop arg, OtPredicate owner, oop* bufStart, oop* bufEnd, ObjectHeader* exclude = nullptr);
// A new Array (weak: a weak Array) of every match, or a SmallInteger holding the bytes the
// result needs when it could not be made. referents selects scanReferentsOf with the owner
// predicate given.
oop collectAllSpecifiedObjects(void* arg, OtPredicate predicate, int weak, int referents);
