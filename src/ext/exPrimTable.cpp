// The primitive table, filled by the primitive sets' registration functions.
// Owns primTable and defaultPrimEntry.
// Prefix: none (initPrimitiveTable, getPrimEntry, addCPrimitive, ...).
#include "ext/exPrimTable.h"

#include "ext/exError.h"

PrimEntry* primTable[primSubTableEntries];
PrimEntry defaultPrimEntry = {0, 0, primKindVarArgC, 0, {0, 0, 0, 0, 0}};

// A table set up again leaves its old sub-tables where primSubTableAlloc put them.
void initPrimitiveTable() {
  defaultPrimEntry = PrimEntry{0, 0, primKindVarArgC, 0, {0, 0, 0, 0, 0}};
  for (PrimEntry*& sub : primTable) sub = nullptr;
}

PrimEntry* getPrimEntry(uint64_t number) {
  if (number >= primNumberLimit) return &defaultPrimEntry;
  PrimEntry* sub = primTable[number >> 8];
  return sub == nullptr ? &defaultPrimEntry : sub + (number & 255);
}

static PrimEntry* newPrimSubTable() {
  PrimEntry* sub = reinterpret_cast<PrimEntry*>(primSubTableAlloc(primSubTableEntries * sizeof(PrimEntry)));
  if (sub == nullptr)
    doReportError("Can't allocate primitive sub-table", errFatal | errCauseLimit,
                  "src/tran/tprim", __LINE__);
  for (uint32_t i = 0; i < primSubTableEntries; i++) sub[i] = defaultPrimEntry;
  return sub;
}

void addPrimitiveWithParams(uint32_t number, const void* function, uint8_t numArgs,
                            uint8_t kind, uint8_t flag) {
  PrimEntry*& sub = primTable[number >> 8];
  if (sub == nullptr) sub = newPrimSubTable();
  PrimEntry* e = sub + (number & 255);
  e->function = reinterpret_cast<uint64_t>(function);
  e->numArgs = numArgs;
  e->kind = kind;
  e->flag = flag;
}

void addCPrimitive(uint32_t number, const void* function, uint8_t numArgs) {
  addPrimitiveWithParams(number, function, numArgs, primKindC, 0);
}
void addVarArgCPrimitive(uint32_t number, const void* function) {
  addPrimitiveWithParams(number, function, 0, primKindVarArgC, 0);
}
void addVarArgUPrimitive(uint32_t number, const void* function) {
  addPrimitiveWithParams(number, function, 0, primKindVarArgUser, 0);
}
void addVarArgCPrimitiveForRange(uint32_t first, uint32_t limit, const void* function) {
  for (uint32_t n = first; n < limit; n++) addVarArgCPrimitive(n, function);
}
