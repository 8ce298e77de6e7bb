// Start-up: the environment registry (engine variables the image reads and sets by name)
// and the engine-identity and error-table primitives. Owns regNames, maxRegNameIndex.
// Prefix: none (addRegisteredNamedObject, initEnvironmentPrimitives, reg...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// NamedObjectKind: what the value word of a record is and what primitive 141 answers.
enum NamedObjectKind : uint8_t {
  namedRegistryVar = 0,  // address of an int64 registry index; its slot (index <= 0: nil)
  namedRegistrySlot = 1, // a registry index; its slot (index <= 0: nil)
  namedBytes = 2,        // address of a char*; |statedLength| bytes as a String (0: nil)
  namedCString = 3,      // address of a char* (or, statedLength > 0, an inline array)
  namedConstString = 4,  // a constant C string
  namedOopVar = 6,       // address of an oop variable
  namedFlag = 7,         // address of a u32; true when non-zero
  namedConstFlag = 8,    // the value word; true when non-zero
  namedInt64Var = 9,     // address of an int64
  namedConstInt = 10,    // the value word as an integer
};

struct RegisteredNamedObject;
// Runs before primitive 140 stores a value: 0, or the failure's error object.
typedef oop (*RegisterFunction)(oop value, RegisteredNamedObject* record);

struct RegisteredNamedObject {
  const char* name;
  uint64_t value;              // by kind (above)
  RegisterFunction registerFn; // null: the entry cannot be set
  uint8_t nameLength;          // bytes of name, set when the record is added
  uint8_t kind;                // NamedObjectKind
  int16_t statedLength;        // by kind; for namedBytes a negative length marks a buffer
                               // the registry does not own
};

enum { regNamesCapacity = 32 };
extern RegisteredNamedObject* regNames[regNamesCapacity];
extern int32_t maxRegNameIndex;  // last used position, -1 when empty
extern uint32_t acceptQuitEvents;  // the named flag "acceptQuitEvents"

void addRegisteredNamedObject(RegisteredNamedObject* record);
RegisteredNamedObject* findRegisteredName(const char* name, uint64_t length);
void initEnvironmentPrimitives();
// Registers the start-up entries that follow the seven fixed ones ("showHerald",
// "IEEEFloatingPointPrimitives", "heraldString").
void registerStartupNamedObjects();

oop regBoolean(oop value, RegisteredNamedObject* record);
oop regOopIntVar(oop value, RegisteredNamedObject* record);
oop regSemaphoreOrNil(oop value, RegisteredNamedObject* record);
oop regNop(oop value, RegisteredNamedObject* record);
oop regStringOrNil(oop value, RegisteredNamedObject* record);
oop regBytesOrNil(oop value, RegisteredNamedObject* record);
