// Execution engine: diagnostic printing of stacks, frames, contexts and processes, the send
// log and the dump files "stack.txt" and "processes.txt".
// Owns the send log. Prefix: print, dump (printers and dumps), none (logSend, shouldBeLiveHybrid).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

// Everything prints to debugLog (mman/mmDebug.h) and refuses, with a line of text, a pointer
// that is no stack, frame or object instead of following it; nothing here allocates.

// The send log: a ring of sendLogEntries {receiver, selector}. logSend stores at the index,
// advances it and clears the entry the index then points to, which marks the oldest end, so
// the ring keeps the last sendLogEntries - 1 sends.
enum : uint32_t { sendLogEntries = 100 };
struct SendLogEntry {
  oop receiver;  // 0 in a cleared entry
  oop selector;
};
extern SendLogEntry sendLog[sendLogEntries];
extern int32_t sendLogIndex;  // next entry to store; -1 before the first send
extern "C" void logSend(oop receiver, oop selector);
extern "C" void printSendLog();
void resetSendLog();

// A liveness test of hybrid contexts that changes nothing (unlike isLiveHybrid): the oop is
// an 8-aligned header in eden below its top, in a survivor space or in an object table
// (during a scavenge a forwarded header is followed), of class 8 or 9; its pc and sender
// slots carry the low bits 001; the sender slot less 1 is a frame in the zone above its
// segment's sp (and that sp is not above the segment's fp), hybrid with this context in
// fp[-1]; and the pc slot less 1 is that frame's saved caller fp.
extern "C" int shouldBeLiveHybrid(oop context);

// Validity of stack pointers: a segment base of the zone, one on the allocated ring, a frame
// pointer inside a segment's frame area at or above its sp, and the frame below (callee of)
// another in the same segment, or 0.
extern "C" int isStack(uint64_t address);
extern "C" int isAllocatedStack(uint64_t address);
extern "C" int isFP(uint64_t fp);
extern "C" uint64_t frameAbove(uint64_t fp);
extern "C" uint64_t stackOfFrameFunc(uint64_t fp);

// Printers of the zone, its segments, frames and contexts.
extern "C" void printStackHeader(uint64_t segment);
extern "C" void printChain();
extern "C" void printFrame(uint64_t fp);
extern "C" void rawPrintFrame(uint64_t fp);
extern "C" void printBriefFrame(uint64_t fp);
extern "C" void printNFrames(uint64_t fp, int n);
extern "C" void printAllFrames(uint64_t segment);
extern "C" void printContext(oop context);
extern "C" void printContextChain(oop context);
// What an oop is, briefly, into a buffer: "<nil>", "SmallInteger [ 3 ]", "<Glue PC>", ...
const char* className(oop o, char* buffer, size_t size);
extern "C" void printClassName(oop o);

// The dump files. The writer, when given, writes the caller's text first.
typedef void (*DumpWriter)(FILE* file, const void* arg);
void dumpVMID();
extern "C" void dumpAll(int detail);
extern "C" void dumpAllProcesses(int detail);
void dumpAllToFileCalling(int detail, int allProcesses, DumpWriter writer, const void* arg);
// The dump after a C-string heading (written as given).
void dumpAllToFileWithChars(const char* heading);
void dumpAllToFileWithString(oop string);
void dumpAllToFile();
void dumpAllProcessesToFile();

// Lets the object-memory printers name the stack zone, the native-method zone and the glue
// (start-up; the dumps call it too).
void initStackPrinting();
