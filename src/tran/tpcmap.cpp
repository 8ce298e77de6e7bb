// Translator: PC maps: the writer used while code is emitted, storing behind the code,
// readers of the stored map, the primitive map and the printers.
// Owns pcMapWriter. Prefix: genMap, map.
#include "tran/tpcmap.h"

#include <cstring>

#include "mman/mmObject.h"
#include "tran/nmLayout.h"

PCMapWriter pcMapWriter;

static inline NMethodHeader* headerAt(uint64_t a) { return reinterpret_cast<NMethodHeader*>(a); }

// ---- Writer ---------------------------------------------------------------------------------

void genMapAlloc(uint8_t* start, uint8_t* end, uint64_t* table) {
  pcMapWriter.cursor = start;
  pcMapWriter.limit = start + ((end - start) & ~ptrdiff_t(1));
  pcMapWriter.table = table;
}

void genMapInit(uint64_t bytecodeBase, uint64_t nmethod) {
  pcMapWriter.bytecodeBase = bytecodeBase;
  pcMapWriter.nmethod = nmethod;
  pcMapWriter.position = nmethod + nMethodHeaderSize;
  pcMapWriter.newLiteral = 0;
  pcMapWriter.pairIndex = ~uint64_t(0);
  pcMapWriter.pairAddress = 0;
}

void genMapMark() {
  pcMapWriter.markPosition = pcMapWriter.position;
  pcMapWriter.markCursor = pcMapWriter.cursor;
}

void genMapBackToMark() {
  pcMapWriter.position = pcMapWriter.markPosition;
  pcMapWriter.cursor = pcMapWriter.markCursor;
}

// Bytes past the limit are counted but not stored, so that genMapClose sees the overflow.
static void put(uint8_t byte) {
  if (pcMapWriter.cursor < pcMapWriter.limit) *pcMapWriter.cursor = byte;
  pcMapWriter.cursor++;
}

// Advances to p in steps of at most 31 and answers the remaining delta (0..31).
static uint32_t advanceTo(uint64_t p) {
  uint64_t delta = p - pcMapWriter.position;
  while (delta > mapMaxDelta) {
    put(uint8_t(mapKindDelta << 5 | mapMaxDelta));
    delta -= mapMaxDelta;
  }
  pcMapWriter.position = p;
  return uint32_t(delta);
}

static void putMarker(uint64_t p, uint8_t marker) {
  uint32_t delta = advanceTo(p);
  if (delta > 0) put(uint8_t(mapKindDelta << 5 | delta));
  put(marker);
}

static void recordBytecode(uint64_t bytecodeIndex, uint64_t address) {
  if (pcMapWriter.table != nullptr) {
    pcMapWriter.table[bytecodeIndex - pcMapWriter.bytecodeBase] = address - pcMapWriter.nmethod;
  } else {
    pcMapWriter.pairIndex = bytecodeIndex;
    pcMapWriter.pairAddress = address;
  }
}

void genMapSend(uint64_t bytecodeIndex, uint64_t returnAddress, uint32_t sendType) {
  uint32_t delta = advanceTo(returnAddress);
  switch (sendType) {
    case 0: put(uint8_t(mapKindSend0 << 5 | delta)); break;
    case 1: put(uint8_t(mapKindSend1 << 5 | delta)); break;
    case 10: put(uint8_t(mapKindNonImmSend0 << 5 | delta)); break;
    case 11: put(uint8_t(mapKindNonImmSend1 << 5 | delta)); break;
    default:
      if (delta > 0) put(uint8_t(mapKindDelta << 5 | delta));
      put(uint8_t(mapKindSend << 5 | (sendType & 31)));
  }
  recordBytecode(bytecodeIndex, returnAddress);
}

void genMapRelCall(uint64_t addressAfter, uint64_t) { putMarker(addressAfter - 4, mapRelCall); }
void genMapLocProg(uint64_t address, int64_t offset) { putMarker(address + uint64_t(offset), mapLocProg); }

void genMapLit(uint64_t literal, uint64_t address, int64_t offset) {
  if (isImmediate(literal) || !isNewObject(literal)) return;
  putMarker(address + uint64_t(offset), mapNewLit);
  pcMapWriter.newLiteral = 1;
}

void genMapOnly(uint64_t bytecodeIndex, uint64_t address) { recordBytecode(bytecodeIndex, address); }

uint64_t genMapTest(uint64_t bytecodeIndex) {
  if (pcMapWriter.table != nullptr) {
    uint64_t entry = pcMapWriter.table[bytecodeIndex - pcMapWriter.bytecodeBase];
    return entry == 0 ? 0 : pcMapWriter.nmethod + uint32_t(entry);
  }
  return pcMapWriter.pairIndex == bytecodeIndex ? pcMapWriter.pairAddress : 0;
}

uint8_t* genMapClose(int32_t reserve) {
  put(mapEnd);
  if (pcMapWriter.newLiteral) headerAt(pcMapWriter.nmethod)->flags |= nmFlagNewRef;
  if (pcMapWriter.cursor + reserve < pcMapWriter.limit) return pcMapWriter.cursor;
  return nullptr;
}

// The map bytes are reversed in place so that readers walk down from the block end; the
// primitive map follows them down to the 16-byte boundary below the map.
void genMapCopy(uint8_t* mapStart, uint8_t* blockEnd, uint64_t mapLength, int hasPrimitive) {
  for (uint8_t *lo = mapStart, *hi = blockEnd - 1; lo < hi; lo++, hi--) {
    uint8_t t = *lo;
    *lo = *hi;
    *hi = t;
  }
  if (!hasPrimitive) return;
  uint8_t* to = reinterpret_cast<uint8_t*>(reinterpret_cast<uint64_t>(blockEnd - mapLength) & ~uint64_t(15));
  if (to != mapStart) memmove(to - 16, mapStart - 16, 16);
}

// ---- Readers --------------------------------------------------------------------------------

static uint32_t sendTypeOfKind(uint32_t kind) {
  static const uint32_t types[4] = {0, 1, 10, 11};
  return types[kind];
}

uint32_t mapDataForNpc(uint64_t nmethod, uint64_t npc, uint8_t* out, uint32_t cap, uint32_t* sendType) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(nmethod + headerAt(nmethod)->usedSize) - 1;
  uint64_t position = nmethod + nMethodHeaderSize;
  uint32_t count = 0, entry = 0;
  for (;; p--) {
    uint8_t byte = *p;
    uint32_t kind = byte >> 5, operand = byte & 31;
    if (byte == mapEnd) {
      if (position != npc) return count;
      if (count < cap) out[count] = byte;
      return count + 1;
    }
    if (kind <= mapKindNonImmSend1) {
      position += operand;
      entry = sendTypeOfKind(kind);
    } else if (kind == mapKindDelta) {
      position += operand;
      continue;
    } else if (kind == mapKindSend) {
      entry = operand;
    }
    if (position != npc) continue;
    if (count < cap) out[count] = byte;
    count++;
    if (sendType != nullptr) {
      *sendType = entry;
      return count;
    }
  }
}

uint64_t findPCMapStart(uint64_t mapTop) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(mapTop) - 1;
  while (*p != mapEnd) p--;
  return reinterpret_cast<uint64_t>(p);
}

uint64_t getPrimMap(uint64_t nmethod) {
  return findPCMapStart(nmethod + headerAt(nmethod)->usedSize) & ~uint64_t(15);
}
uint64_t mapPrimitiveRestart(uint64_t nmethod) {
  return nmethod + reinterpret_cast<const uint64_t*>(getPrimMap(nmethod))[-2];
}
uint64_t mapPrimitiveReturn(uint64_t nmethod) {
  return nmethod + reinterpret_cast<const uint64_t*>(getPrimMap(nmethod))[-1];
}

uint64_t nPCofFirstNonPrimitiveVPC(uint64_t nmethod) {
  uint64_t p = nmethod + nMethodAbortOffsetOffset;
  uint16_t distance;
  memcpy(&distance, reinterpret_cast<const void*>(p), 2);
  return p + distance;
}

uint64_t nmethFromPrimReturn(uint64_t returnAddress) {
  uint64_t p = returnAddress + nMethodPrimitiveJumpSize;
  uint32_t offset;
  memcpy(&offset, reinterpret_cast<const void*>(p - 4), 4);
  return (p - 4) - offset;
}

uint64_t lastValidNPCOf(uint64_t nmethod) {
  uint64_t end = findPCMapStart(nmethod + headerAt(nmethod)->usedSize);
  return (headerAt(nmethod)->flags & nmFlagBlock) != 0 ? end : end - 1;
}

// ---- Printers -------------------------------------------------------------------------------

void fprintPCMapByte(FILE* stream, uint8_t byte) {
  static const char* const kinds[7] = {"send0", "send1", "non-imm-send0", "non-imm-send1", "delta", "unused", "send"};
  static const char* const markers[4] = {"end", "new-lit", "rel-call", "loc-prog"};
  uint32_t kind = byte >> 5;
  if (kind < mapKindMarker) fprintf(stream, "0x%x: %s(%d)", byte, kinds[kind], byte & 31);
  else if (byte <= mapLocProg) fprintf(stream, "0x%x: %s", byte, markers[byte - mapEnd]);
  else fprintf(stream, "0x%x?", byte);
}

void fprintPCMap(FILE* stream, uint64_t blockEnd) {
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(blockEnd) - 1;; p--) {
    fprintPCMapByte(stream, *p);
    fputc(' ', stream);
    if (*p == mapEnd) break;
  }
  fputc('\n', stream);
}
