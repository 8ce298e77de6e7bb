// Start-up: the environment registry (engine variables the image reads and sets by name)
// and the engine-identity and error-table primitives. Owns regNames, maxRegNameIndex.
// Prefix: none (addRegisteredNamedObject, initEnvironmentPrimitives, reg...).
#include "prim/prEnviron.h"

#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmCValue.h"
#include "mman/mmImageHeader.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "tran/tnmprim.h"

RegisteredNamedObject* regNames[regNamesCapacity];
int32_t maxRegNameIndex = -1;
uint32_t acceptQuitEvents;

extern const uint8_t vm_id0, vm_id1, vm_id2, vm_id3;

static oop failWith(uint32_t code) { return primErrorAt(code); }

// ---- The image name ------------------------------------------------------------------------
// "imageName" (a C string) and "imageFilename" (bytes) share imageFilename and one length,
// the stated length of the "imageFilename" record: negative for the start-up name (never
// freed), positive for a buffer the registry made (freed once, when replaced), 0 for none.

static oop regImageName(oop value, RegisteredNamedObject* record);
static oop regImageFilename(oop value, RegisteredNamedObject* record);

static RegisteredNamedObject fixedEntries[] = {
    {"ISA", (uint64_t) "x86-64", regNop, 0, namedConstString, 0},
    {"moniker", (uint64_t) "linuxx86_64", regNop, 0, namedConstString, 0},
    {"ScavengeSemaphore", (uint64_t)&scavengeSemaphoreX, regSemaphoreOrNil, 0, namedRegistryVar, 0},
    {"imageName", (uint64_t)&imageFilename, regImageName, 0, namedCString, 0},
    {"imageFilename", (uint64_t)&imageFilename, regImageFilename, 0, namedBytes, 0},
    {"sysOopRegistry", (uint64_t)&sysOopRegistryOop, nullptr, 0, namedOopVar, 0},
    {"acceptQuitEvents", (uint64_t)&acceptQuitEvents, regBoolean, 0, namedFlag, 0},
};
static RegisteredNamedObject& imageFilenameRecord = fixedEntries[4];

static oop regIEEEInfNaN(oop value, RegisteredNamedObject* record);

static RegisteredNamedObject startupEntries[] = {
    {"showHerald", (uint64_t)&persistShowHerald, regBoolean, 0, namedFlag, 0},
    {"IEEEFloatingPointPrimitives", (uint64_t)&IEEEInfNaN, regIEEEInfNaN, 0, namedFlag, 0},
    {"heraldString", (uint64_t)viHeraldString, regStringOrNil, 0, namedCString,
     heraldStringBytes},
};

static void replaceImageFilename(char* buffer, int64_t lengthWithEnd) {
  if (imageFilenameRecord.statedLength > 0) free(imageFilename);
  imageFilename = buffer;
  imageFilenameRecord.statedLength = (int16_t)lengthWithEnd;
}

static oop regImageName(oop value, RegisteredNamedObject*) {
  if (value == nilOop()) {
    replaceImageFilename(nullptr, 0);
    return 0;
  }
  if (isImmediate(value) || !inheritsFrom2(classOf(value), sysOop(sysByteStringClass),
                                           sysOop(sysTwoByteStringClass)))
    return failWith(primErrWrongClass);
  uint64_t capacity = byteSizeOf(headerOf(value));
  if (capacity > 0x7FFE) return failWith(primErrBadArgument);  // beyond the stated length
  char* copy = (char*)malloc(capacity + 1);
  if (copy == nullptr) return failWith(primErrMalloc);
  if (copyToCString(value, copy, capacity) == nullptr) {
    free(copy);
    return failWith(primErrBadArgument);
  }
  replaceImageFilename(copy, (int64_t)strlen(copy) + 1);
  return 0;
}

static oop regImageFilename(oop value, RegisteredNamedObject* record) {
  return regBytesOrNil(value, record);
}

// ---- Register functions --------------------------------------------------------------------

oop regBoolean(oop value, RegisteredNamedObject* record) {
  if (value != trueOop() && value != falseOop()) return failWith(primErrWrongClass);
  *(uint32_t*)record->value = value == trueOop();
  return 0;
}

oop regOopIntVar(oop value, RegisteredNamedObject* record) {
  if (!isSmallInteger(value)) return failWith(primErrBadArgument);
  *(int64_t*)record->value = smallIntegerValue(value);
  return 0;
}

oop regSemaphoreOrNil(oop value, RegisteredNamedObject*) {
  if (value == nilOop() || (!isImmediate(value) && isKindOf(value, sysOop(sysSemaphoreClass))))
    return 0;
  return failWith(primErrWrongClass);
}

oop regNop(oop, RegisteredNamedObject*) { return 0; }

// A ByteArray's bytes go into a new buffer ended with a 0 (so that the variable is also a
// C string); the stated length is the byte count. Only imageFilename is set this way.
oop regBytesOrNil(oop value, RegisteredNamedObject* record) {
  if (record != &imageFilenameRecord) return failWith(primErrNotHere);
  if (value == nilOop()) {
    replaceImageFilename(nullptr, 0);
    return 0;
  }
  if (isImmediate(value) || classTagOf(headerOf(value)) != classIndexByteArray)
    return failWith(primErrWrongClass);
  uint64_t n = byteSizeOf(headerOf(value));
  if (n > 0x7FFF) return failWith(primErrBadArgument);
  char* copy = (char*)malloc(n + 1);
  if (copy == nullptr) return failWith(primErrMalloc);
  memcpy(copy, bodyOf(headerOf(value)), n);
  copy[n] = 0;
  replaceImageFilename(copy, (int64_t)n);
  return 0;
}

// Inline arrays (stated length n) take strings of fewer than n characters; a char*
// variable gets a malloc'd copy. Only the image name owns a malloc'd copy here.
oop regStringOrNil(oop value, RegisteredNamedObject* record) {
  if (record->statedLength == 0) return regImageName(value, record);
  char* array = (char*)record->value;
  if (value == nilOop()) {
    array[0] = 0;
    return 0;
  }
  if (isImmediate(value) || !inheritsFrom2(classOf(value), sysOop(sysByteStringClass),
                                           sysOop(sysTwoByteStringClass)))
    return failWith(primErrWrongClass);
  char buffer[0x8000];
  if (copyToCString(value, buffer, (uint64_t)record->statedLength - 1) == nullptr)
    return failWith(primErrBadArgument);
  memcpy(array, buffer, strlen(buffer) + 1);
  return 0;
}

// Translated float primitives have the mode built into their code, so every translation goes
// before it changes; the image's next sends translate again. The saved image keeps the mode.
static oop regIEEEInfNaN(oop value, RegisteredNamedObject*) {
  if (value != trueOop() && value != falseOop()) return failWith(primErrWrongClass);
  if (!nmDiscardAllCode(value)) return failWith(primErrGeneral);
  persistIEEEInfNaN = IEEEInfNaN = value == trueOop();
  return 0;
}

// ---- The table -----------------------------------------------------------------------------

static void addRecord(RegisteredNamedObject* record);

// The seven fixed entries come first, whichever subsystem adds a record first.
static void addFixedEntries() {
  static bool added;
  if (added) return;
  added = true;
  for (RegisteredNamedObject& r : fixedEntries) addRecord(&r);
}

void addRegisteredNamedObject(RegisteredNamedObject* record) {
  addFixedEntries();
  addRecord(record);
}

static void addRecord(RegisteredNamedObject* record) {
  int32_t position = maxRegNameIndex + 1;
  if (position >= regNamesCapacity - 1)
    doReportError("RegisteredObjectTable overflow", errCauseLimit | errFatal, "src/ext/exEnviron.c", __LINE__);
  record->nameLength = (uint8_t)strlen(record->name);
  regNames[position] = record;
  maxRegNameIndex = position;
}

RegisteredNamedObject* findRegisteredName(const char* name, uint64_t length) {
  for (int32_t i = 0; i <= maxRegNameIndex; i++)
    if (regNames[i]->nameLength == length && memcmp(regNames[i]->name, name, length) == 0)
      return regNames[i];
  return nullptr;
}

// The record a name object names; *code is 3 for an object that is no byte object, 10 for
// an unknown name.
static RegisteredNamedObject* recordNamed(oop name, uint32_t* code) {
  *code = primErrBadArgument;
  if (isImmediate(name) || hasPtrs(headerOf(name))) return nullptr;
  *code = primErrNotFound;
  return findRegisteredName((const char*)bodyOf(headerOf(name)), byteSizeOf(headerOf(name)));
}

// ---- Primitives 140-142 --------------------------------------------------------------------

static oop storeInRegistrySlot(int64_t* index, oop value) {
  if (*index <= 0) {
    int64_t slot = allocSysOopSlot();
    if (slot < 0) return failWith(primErrNoSpace);
    *index = slot;
  }
  registerSysOop(value, (uint32_t)*index);
  return 0;
}

// Primitive 140: set a named value.
static oop primSetNamed(oop receiver, oop value, oop name) {
  uint32_t code;
  RegisteredNamedObject* r = recordNamed(name, &code);
  if (r == nullptr) return failPrimitive(failWith(code), 2);
  bool settable = r->kind <= namedCString || r->kind == namedFlag || r->kind == namedInt64Var;
  if (r->registerFn == nullptr || !settable) return failPrimitive(failWith(primErrNotHere), 2);
  oop error = r->registerFn(value, r);
  if (error != 0) return failPrimitive(error, 2);
  int64_t* index = r->kind == namedRegistryVar ? (int64_t*)r->value
                 : r->kind == namedRegistrySlot ? (int64_t*)&r->value : nullptr;
  if (index != nullptr && (error = storeInRegistrySlot(index, value)) != 0)
    return failPrimitive(error, 2);
  return commitPrimitiveAndHandleRequests(receiver);
}

static oop stringOrZero(const char* text, uint64_t n) {
  return text == nullptr || n == 0 ? nilOop() : STStringWithSize(text, n);
}

static oop registrySlotOrNil(int64_t index) {
  return index <= 0 || index > maxValidSysOopX() ? nilOop() : sysOop((uint32_t)index);
}

// The value of a record by its kind; 0 when a String could not be made.
static oop namedValue(const RegisteredNamedObject* r) {
  switch (r->kind) {
    case namedRegistryVar: return registrySlotOrNil(*(int64_t*)r->value);
    case namedRegistrySlot: return registrySlotOrNil((int64_t)r->value);
    case namedBytes: {
      const char* text = *(char**)r->value;
      return stringOrZero(text, (uint64_t)(r->statedLength < 0 ? -r->statedLength : r->statedLength));
    }
    case namedCString: {
      const char* text = r->statedLength > 0 ? (const char*)r->value : *(char**)r->value;
      return stringOrZero(text, text == nullptr ? 0 : strlen(text));
    }
    case namedConstString: {
      const char* text = (const char*)r->value;
      return text == nullptr ? nilOop() : STStringWithSize(text, strlen(text));
    }
    case namedOopVar: return *(oop*)r->value;
    case namedFlag: return booleanOop(*(uint32_t*)r->value != 0);
    case namedConstFlag: return booleanOop(r->value != 0);
    case namedInt64Var: return cSignedToOop(*(int64_t*)r->value);
    case namedConstInt: return cSignedToOop((int64_t)r->value);
    default: return nilOop();
  }
}

// Primitive 141: read a named value.
static oop primGetNamed(oop, oop name) {
  uint32_t code;
  RegisteredNamedObject* r = recordNamed(name, &code);
  if (r == nullptr) return failPrimitive(failWith(code), 1);
  oop value = namedValue(r);
  return value != 0 ? value : failPrimitive(failWith(primErrNoSpace), 1);
}

// Primitive 142: the names, one String per used position.
static oop primNamedObjectNames(oop) {
  ObjectHeader* array = allocVSObj(sysOop(sysArrayClass), (uint64_t)(maxRegNameIndex + 1));
  if (array == nullptr) return failPrimitive(failWith(primErrNoSpace), 0);
  for (int32_t i = 0; i <= maxRegNameIndex; i++) {
    oop s = STStringWithSize(regNames[i]->name, regNames[i]->nameLength);
    if (s == 0) return failPrimitive(failWith(primErrNoSpace), 0);
    storeSlot(oopOf(array), (uint64_t)i, s, __FILE__, __LINE__);
  }
  return oopOf(array);
}

// ---- Identity and the error table ----------------------------------------------------------

// Primitive 302: the engine's and the image's identification bytes.
static oop primVersionBytes(oop) {
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), 12);
  if (h == nullptr) return failPrimitive(failWith(primErrGeneral), 0);
  uint8_t* b = (uint8_t*)bodyOf(h);
  const uint8_t id[4] = {vm_id0, vm_id1, vm_id2, vm_id3};
  memcpy(b, id, 4);
  memcpy(b + 4, viSig, 4);
  memcpy(b + 8, vmThumb, 4);
  return oopOf(h);
}

// Primitive 340: the platform string encoding's name and its 256 character codes.
static oop primStringEncoding(oop) {
  const char* name = nullptr;
  uint16_t* table = nullptr;
  pdStringEncoding(&name, &table);
  ObjectHeader* pair = allocVSObj(sysOop(sysArrayClass), 2);
  oop nameString = pair != nullptr ? STStringWithSize(name, strlen(name)) : 0;
  ObjectHeader* codes = nameString != 0 ? allocVSObj(sysOop(sysTwoByteStringClass), 512) : nullptr;
  if (codes == nullptr) return failPrimitive(failWith(primErrNoSpace), 0);
  uint16_t* units = (uint16_t*)bodyOf(codes);
  for (int i = 0; i < 256; i++) units[i] = table != nullptr ? table[i] : (uint16_t)i;
  storeSlot(oopOf(pair), 0, nameString, __FILE__, __LINE__);
  storeSlot(oopOf(pair), 1, oopOf(codes), __FILE__, __LINE__);
  return oopOf(pair);
}

// Primitive 341: a TwoByteString of at least 256 characters becomes the encoding table.
static oop primSetStringEncoding(oop receiver, oop codes) {
  if (isImmediate(codes) || classTagOf(headerOf(codes)) != classIndexTwoByteString ||
      byteSizeOf(headerOf(codes)) < 512)
    return failPrimitive(failWith(primErrBadArgument), 1);
  uint16_t table[256];
  memcpy(table, bodyOf(headerOf(codes)), sizeof table);
  if (!setStringEncoding(classAt(platformStringClassX), table, nullptr))
    return failPrimitive(failWith(primErrBadReceiver), 1);
  return receiver;
}

// Primitive 400: a copy of the PrimErrorTable.
static oop primErrorTable(oop) {
  ObjectHeader* copy = createShallowCopyOf(headerOf(sysOop(sysPrimErrorTable)));
  if (copy == nullptr) return failPrimitive(failWith(primErrNoSpace), 0);
  return oopOf(copy);
}

// Primitive 401: a copy of an Array of at least 27 slots becomes the PrimErrorTable.
static oop primSetErrorTable(oop receiver, oop table) {
  if (isImmediate(table) || classTagOf(headerOf(table)) != classIndexArray ||
      byteSizeOf(headerOf(table)) / 8 < primErrMinimumTableSize)
    return failPrimitive(failWith(primErrBadArgument), 1);
  ObjectHeader* copy = createShallowCopyOf(headerOf(table));
  if (copy == nullptr) return failPrimitive(failWith(primErrNoSpace), 1);
  if (!isNewObject(oopOf(copy))) rememberCopyOutsideNewSpace(copy, __FILE__, __LINE__);
  registerSysOop(oopOf(copy), sysPrimErrorTable);
  return receiver;
}

void initEnvironmentPrimitives() {
  addFixedEntries();
  if (imageFilenameRecord.statedLength <= 0)
    imageFilenameRecord.statedLength =
        imageFilename != nullptr ? (int16_t) - (strlen(imageFilename) + 1) : 0;
  addCPrimitive(140, (const void*)primSetNamed, 2);
  addCPrimitive(141, (const void*)primGetNamed, 1);
  addCPrimitive(142, (const void*)primNamedObjectNames, 0);
  addCPrimitive(302, (const void*)primVersionBytes, 0);
  addCPrimitive(340, (const void*)primStringEncoding, 0);
  addCPrimitive(341, (const void*)primSetStringEncoding, 1);
  addCPrimitive(400, (const void*)primErrorTable, 0);
  addCPrimitive(401, (const void*)primSetErrorTable, 1);
}

void registerStartupNamedObjects() {
  for (RegisteredNamedObject& r : startupEntries)
    if (findRegisteredName(r.name, strlen(r.name)) == nullptr) addRegisteredNamedObject(&r);
}
