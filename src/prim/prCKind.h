// C interface: the CKind codes of values crossing between Smalltalk and C, their byte sizes,
// the C classes the image registers, and the basic conversions of objects to C values.
// Owns cKindSizes and the C classes' registry indices. Prefix: none (coerceToCString,
// cAddressOf, initCKindSizes, isCPointerFamily, ...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "mman/mmCValue.h"  // stOopToCValue

// The CKind codes, one list: name, portable byte size (the size table before the platform
// adjusts it: long double, strict and reserved pointers and the platform kinds are the
// platform's; Unix: 10 -> 16, 11, 19, 23 -> 8).
#define CKIND_LIST(X)                                                                          \
  X(ckSignedChar, 1) X(ckUnsignedChar, 1) X(ckSignedShort, 2) X(ckUnsignedShort, 2)           \
  X(ckSignedInt, 4) X(ckUnsignedInt, 4) X(ckSignedLong, 8) X(ckUnsignedLong, 8)               \
  X(ckFloat, 4) X(ckDouble, 8) X(ckLongDouble, 0)                                             \
  X(ckPointer11, 0) X(ckPointer12, 8) X(ckPointer13, 8) X(ckReservedPointer, 0)               \
  X(ckObject, 8) X(ckPointer16, 0) X(ckStruct, 0) X(ckVoid, 0) X(ckStrictPointer, 0)          \
  X(ckPointer20, 8) X(ckPointer21, 8) X(ckPointer22, 8) X(ckPointer23, 0)                     \
  X(ckLongLong, 8) X(ckUnsignedLongLong, 8)                                                   \
  X(ckBool1, 1) X(ckBool2, 2) X(ckBool4, 4) X(ckBoolLong, 8) X(ckBool8, 8)                    \
  X(ckPlatform31, 0) X(ckErrnoResult, 8) X(ckPlatform33, 0) X(ckNone, 0)

#define CKIND_ENUM(name, size) name,
enum CKind : uint8_t {
  CKIND_LIST(CKIND_ENUM)
  cKindCount,                 // 35: codes 0..34
  ckStructInRegisters = 40,   // a thunk's struct of at most 16 bytes travelling in registers
};
#undef CKIND_ENUM
static_assert(cKindCount == 35, "35 CKind codes");

// Byte size of each kind on this platform (0: no fixed size); filled by initCKindSizes.
extern uint8_t cKindSizes[cKindCount];
// Zeroes the table, fills the portable sizes and lets the platform adjust them.
void initCKindSizes();

// Kinds by role. Integer kinds take SmallIntegers, Characters and 8-byte LargeIntegers;
// pointer kinds take the C address of a pointer-like object.
inline bool isCIntegerKind(uint32_t k) { return k <= ckUnsignedLong || k == ckLongLong || k == ckUnsignedLongLong; }
inline bool isCBooleanKind(uint32_t k) { return k >= ckBool1 && k <= ckBool8; }
inline bool isCPointerKind(uint32_t k) {
  return (k >= ckPointer11 && k <= ckPointer13) || k == ckPointer16 || (k >= ckStrictPointer && k <= ckPointer23);
}
inline bool isCSignedKind(uint32_t k) {
  return k == ckSignedChar || k == ckSignedShort || k == ckSignedInt || k == ckSignedLong || k == ckLongLong;
}

// The C classes, as sysOopRegistry indices (-1 until primitive 336 registers them).
enum CClassRole : uint32_t {
  cCompositeRole, cCompositePointerRole, cPointerRole, cProcedurePointerRole, cCallbackRole, cDatumRole,
  cClassRoleCount,
};
extern int64_t cClassX[cClassRoleCount];
// The class of a role, or 0 while the role has no class.
oop cClassFor(uint32_t role);
// Instances of the C pointer, composite-pointer, procedure-pointer and callback classes (or
// their subclasses): their slot 0 holds an address.
bool isCPointerFamily(oop object);
// Instances of the C datum class (or a subclass): slot 0 holds a data holder.
bool isCDatum(oop object);
bool isCComposite(oop object);
// A byte object of the C-data holder class (sysOopRegistry 20) or a subclass.
bool isCDataHolder(oop object);
// An entered class whose instances are fixed pointer objects of at least named slots.
bool isFixedPointerClass(oop cls, uint64_t named);
// A ByteString, TwoByteString or platform string, or an instance of a subclass.
bool isCStringObject(oop object);

// The address of NUL-terminated bytes holding the string: its own bytes when they may be
// used so, else a fresh terminated copy (a ByteArray for the byte and two-byte strings
// translated through the platform encoding); 0 for other objects, an untranslatable
// character or no space. The address is good until the next scavenge.
char* coerceToCString(oop string);
// The C address a pointer kind passes for an object: the slot of a C-pointer family object,
// a datum's holder bytes, 0 for nil, a string's C string, an immediate's value, an 8-byte
// LargeInteger's value, another byte object's bytes. strict (kind 19) refuses immediates,
// passes any byte object's own bytes and 0 for a datum without a holder. 1 and *out, or 0
// when refused.
int cAddressOf(oop object, int strict, uint64_t* out);
// Whether address is the body of an immutable byte object that C would be handed: the
// object's own bytes, or those of a datum's holder.
bool passesImmutableBytes(oop object, uint64_t address);
