// The primitive table: numbers 0..65535 in 256 sub-tables of 256 entries, filled at start-up
// by every primitive set's registration function. Owns primTable and defaultPrimEntry.
// Prefix: none (initPrimitiveTable, getPrimEntry, addCPrimitive and its siblings).
#pragma once
#include <cstdint>

// PrimKind: how the method prologue reaches the primitive.
enum PrimKind : uint8_t {
  primKindC = 0,           // C function, glue by argument count
  primKindTranslated = 1,  // function is a translated-primitive record
  primKindUser = 2,        // user primitive
  primKindVarArgC = 3,     // variable-argument C function; with function 0 "no primitive"
  primKindVarArgUser = 4,  // variable-argument user primitive
};

// One entry per number; generated code indexes the table in 16-byte steps.
struct PrimEntry {
  uint64_t function;  // C function address, or the translated-primitive record; 0 = none
  uint8_t numArgs;    // argument count (0 for the variable-argument kinds)
  uint8_t kind;       // PrimKind
  uint8_t flag;       // copied from a translated-primitive record, else 0
  uint8_t pad[5];     // unused
};
static_assert(sizeof(PrimEntry) == 16, "a primitive entry is 16 bytes");

enum : uint32_t {
  primNumberLimit = 65536,
  primSubTableEntries = 256,
};

extern PrimEntry* primTable[primSubTableEntries];  // sub-table per number >> 8, 0 = absent
extern PrimEntry defaultPrimEntry;                 // stands for every unregistered number

// Hook: where a new sub-table goes, bytes long, or 0 when there is no room. Generated code
// addresses entries as 32-bit constants, so the translator serves it from the native-method
// zone's permanent area (defined in src/tran/nmalloc.cpp).
extern uint64_t (*const primSubTableAlloc)(uint64_t bytes);

void initPrimitiveTable();
PrimEntry* getPrimEntry(uint64_t number);
void addPrimitiveWithParams(uint32_t number, const void* function, uint8_t numArgs,
                            uint8_t kind, uint8_t flag);
void addCPrimitive(uint32_t number, const void* function, uint8_t numArgs);
void addVarArgCPrimitive(uint32_t number, const void* function);
void addVarArgUPrimitive(uint32_t number, const void* function);
void addVarArgCPrimitiveForRange(uint32_t first, uint32_t limit, const void* function);
