// Translator: PC maps, the byte stream stored reversed at the end of every nmethod that
// names its send sites, new-space literals, outside calls and program addresses; the
// primitive map; the per-bytecode table. Owns the one PCMapWriter. Prefix: genMap, map.
#pragma once
#include <cstdint>
#include <cstdio>

// Map byte: kind = byte >> 5, operand = byte & 31.
//   7   5 4       0
//  +-----+---------+
//  |kind | operand |   0-3 advance then a send of type 0, 1, 10, 11; 4 advance only;
//  +-----+---------+   5 unused; 6 send of type operand here; 7: E0 end, E1 new-space
//                      literal, E2 outside rel32, E3 program address
enum : uint8_t {
  mapKindSend0 = 0,
  mapKindSend1 = 1,
  mapKindNonImmSend0 = 2,
  mapKindNonImmSend1 = 3,
  mapKindDelta = 4,
  mapKindUnused = 5,
  mapKindSend = 6,
  mapKindMarker = 7,
  mapEnd = 0xE0,
  mapNewLit = 0xE1,
  mapRelCall = 0xE2,
  mapLocProg = 0xE3,
  mapMaxDelta = 31,
};

struct PCMapWriter {
  uint8_t* cursor;       // next byte; runs past limit on overflow
  uint8_t* limit;        // end of the scratch map area
  uint64_t position;     // native address of the last recorded place
  uint64_t nmethod;      // block being written
  uint64_t bytecodeBase; // bytecode indexes are taken relative to it
  uint64_t* table;       // per-bytecode native offsets, or null
  uint64_t pairIndex;    // without a table: the last bytecode index ...
  uint64_t pairAddress;  // ... and its native address
  uint64_t markPosition; // saved by genMapMark
  uint8_t* markCursor;
  uint32_t newLiteral;   // a new-space literal was recorded
};
extern PCMapWriter pcMapWriter;

void genMapAlloc(uint8_t* start, uint8_t* end, uint64_t* table);
void genMapInit(uint64_t bytecodeBase, uint64_t nmethod);
void genMapMark();
void genMapBackToMark();
void genMapSend(uint64_t bytecodeIndex, uint64_t returnAddress, uint32_t sendType);
void genMapRelCall(uint64_t addressAfter, uint64_t target);
void genMapLocProg(uint64_t address, int64_t offset);
void genMapLit(uint64_t literal, uint64_t address, int64_t offset);
void genMapOnly(uint64_t bytecodeIndex, uint64_t address);
uint64_t genMapTest(uint64_t bytecodeIndex);
uint8_t* genMapClose(int32_t reserve);
void genMapCopy(uint8_t* mapStart, uint8_t* blockEnd, uint64_t mapLength, int hasPrimitive);

// Readers of a stored map.
uint32_t mapDataForNpc(uint64_t nmethod, uint64_t npc, uint8_t* out, uint32_t cap, uint32_t* sendType);
uint64_t findPCMapStart(uint64_t mapTop);
uint64_t getPrimMap(uint64_t nmethod);
uint64_t mapPrimitiveRestart(uint64_t nmethod);
uint64_t mapPrimitiveReturn(uint64_t nmethod);
uint64_t nPCofFirstNonPrimitiveVPC(uint64_t nmethod);
uint64_t nmethFromPrimReturn(uint64_t returnAddress);
uint64_t lastValidNPCOf(uint64_t nmethod);

// Printers.
void fprintPCMapByte(FILE* stream, uint8_t byte);
void fprintPCMap(FILE* stream, uint64_t blockEnd);
