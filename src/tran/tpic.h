// Translator: polymorphic inline caches: making closed and open PICs and their cases, their
// upkeep for the native-method zone's collection (npicOps) and their listings.
// Owns no global record (PICs are filed in the PIC table of allVToNTables). Prefix: pic, nPIC.
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"
#include "tran/nmLayout.h"

// A PIC is a zone block with an nmethod header: numArgs, then the MNU-path byte (numTemps's
// place) and numCases (frame's place); the method word holds the doesNotUnderstand: nmethod
// shared by the MNU cases (0: look it up; 1: the selector may be understood now).
//
// Closed PIC:  40 MNU path: lea r14, [pic]; push rtMNUFromPIC; ret
//              64 class check of rax against r15, missing into the case list
//              87 jmp case 0's target
//              92 per case: cmp rax, imm32; je rel32   (13 bytes each)
//              then the miss tail: lea r14, [pic]; push rtExtendClosedPIC; ret
// Open PIC:    40 the same path to rtOpenPICSendMiss; 64 r15 := the receiver's class tag;
//              87 the method-cache probe for the PIC's selector, missing to 40.
enum : uint32_t {
  nPICGlueEntry = nMethodEntry,
  nPICLoadThisPICOffset = 47,
  nPICFirstTargetOffset = nMethodEntryNoCheck + 5,
  nPICTypeCaseSize = 13,
  nPICMaxCases = 8,
  nPICClosedSize = nPICFirstTargetOffset + 7 * nPICTypeCaseSize + 13,  // all cases and the tail
  nPICOpenSize = 224,
};
enum : uint8_t { nmFlagOpenPIC = 0x48 };

inline NMethodHeader* picHeader(uint64_t pic) { return reinterpret_cast<NMethodHeader*>(pic); }
inline uint8_t& picHasMNU(uint64_t pic) { return picHeader(pic)->numTemps; }
inline uint8_t& picNumCases(uint64_t pic) { return picHeader(pic)->frame; }
inline bool isOpenPIC(uint64_t pic) { return (picHeader(pic)->flags & nmFlagOpenPIC) == nmFlagOpenPIC; }
// The MNU path at the cannot-resume entry, which the MNU cases enter.
inline uint64_t picMNUPath(uint64_t pic) { return pic + nMethodCannotResumeEntry; }

// A closed PIC whose case 0 enters target0 (0: its own MNU path) for the site's own class,
// filed under selector; 0 when the zone is full.
uint64_t newClosedPIC(oop selector, uint32_t numArgs, uint64_t target0);
// Writes case k >= 1 of a closed PIC over its miss tail, and the tail after it; the caller
// counts the case and flushes the i-cache.
void setPICCase(uint64_t pic, uint32_t k, uint32_t classTag, uint64_t target);
// The open PIC of a selector, filed; 0 when the zone is full. findOpenPIC: the filed one, or 0.
uint64_t newOpenPIC(oop selector, uint32_t numArgs);
uint64_t findOpenPIC(oop selector);
// Gives the PIC its MNU path with dnu as its doesNotUnderstand: nmethod for the first MNU
// case, or merges a later case's into it (0 when they differ: looked up on entry).
void notePICMNUCase(uint64_t pic, uint64_t dnu);

// Hands the native-method zone's collection the PIC upkeep operations and its listings the
// PIC printer.
void initPICs();
// Listings: a PIC's header; the header and its cases; every PIC filed.
void printNPIC(uint64_t pic, FILE* stream);
void printEntireNPIC(uint64_t pic, FILE* stream);
void printPICSelectors(FILE* stream);
