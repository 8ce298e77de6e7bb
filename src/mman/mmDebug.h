// Object memory: debug printers and accessors of single objects, callable by name from a
// native debugger. Owns debugLog, classNameX, thisClassX, metaclassInstSize, dbCodeRanges.
// Prefix: db (dbx: the same routine exported a second time), dbf (to a given stream).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

// Every routine here validates what it is handed before following it: a word that is no
// object prints "Bogus Oop" (or answers 0) instead of faulting, so that any word can be
// passed from a debugger. None of them allocates or changes the heap, save
// dbSetObjDataField, which exists to poke a slot by hand.
extern FILE* debugLog;              // stream of the printers; pdDebugLog(0) when unset
extern int64_t classNameX;          // slot of a class holding its name Symbol, -1 unset
extern int64_t thisClassX;          // slot of a metaclass holding its class, -1 unset
extern int64_t metaclassInstSize;   // slots of a metaclass, -1 unset

// Address ranges of the code and stack areas, set by the layers that own them (the object
// memory cannot see them); dbResidence names them. A range of 0..0 is absent.
struct DbCodeRanges {
  uint64_t stackLow, stackHigh;  // the stack zone (bytes)
  uint64_t nzoneLow, nzoneHigh;  // the native-method zone
  uint64_t glueLow, glueHigh;    // the hand-written glue
};
extern DbCodeRanges dbCodeRanges;
// Refreshes dbCodeRanges before they are read; set by the stack layer, 0 when absent.
extern void (*dbCodeRangesHook)(DbCodeRanges* ranges);

FILE* dbLog();
// Finds classNameX, metaclassInstSize and thisClassX from the Array class (start-up).
void initDebugPrims();

// Validity of words taken from anywhere: a heap object whose header lies where headers
// live (eden or past space below their tops, future space, an object table) and whose body
// lies wholly inside one data area. Fillers and free entries are not objects.
int dbIsObject(oop o);
// A header where headers live (body and class unchecked), and one whose size word and
// body lie inside one data area.
int dbIsHeader(oop o);
int dbHasSoundBody(oop o);
// A new-space filler header at o (class tag 0 below the boundary, in new space).
int dbIsFiller(oop o);

extern "C" {
uint64_t dbObjDataField(oop obj, uint64_t index);
uint64_t dbSetObjDataField(oop obj, uint64_t index, uint64_t value);
oop dbObjClass(oop o);
uint64_t dbObjDataSize(oop o);
uint64_t dbObjHasPtrs(oop o);
uint64_t dbObjInOldRt(oop o);
uint64_t dbObjIsMarked(oop o);
uint64_t dbObjIsForwarded(oop o);
uint64_t dbObjInRt(oop o);
uint64_t dbObjHash(oop o);
uint64_t dbObjDataPtr(oop o);

uint64_t dbObjHeader(oop o);
uint64_t dbxHeader(oop o);
void dbObjData(oop o);
void dbxData(oop o);
void dbSelectorName(oop o);
void dbxSelectorName(oop o);
void dbfObjClassName(oop o, const char* suffix, FILE* stream);
void dbObjClassName(oop o);
void dbxClassName(oop o);
int dbObjClassNameIs(const char* name, oop o);
int dbClassNameIs(const char* name, oop cls);
int printIfObjClassNameIs(const char* name, oop o);
int printIfClassNameIs(const char* name, oop cls);
int dbObjMayBeClass(oop o);
void dbResidence(uint64_t address);
void dbxResidence(uint64_t address);
void dbObjOwners(oop o);
void dbxOwners(oop o);
void dbObjWhichOwnsData(uint64_t address);
void dbPrintIndicesOfIn(oop o, oop obj);
}

// The name Symbol of a class (class or metaclass) as bytes and length; 0 when it has none.
const char* dbClassNameBytes(oop cls, uint64_t* length);
// Code point c as UTF-8 (any locale) into b (4 bytes), "?" for NUL and non-code points;
// answers the bytes; dbPutUtf8 writes them to a stream.
int dbEncodeUtf8(uint64_t c, char* b);
int dbPutUtf8(uint64_t c, FILE* stream);
