// Execution engine: the fixed layouts that generated code, the glue and the run time share.
// Stack segments, frames, context objects, the nmethod header, the method entry sequence and
// the send site. Constants only; every number here is addressed by emitted machine code.
#pragma once
#include <cstddef>
#include <cstdint>

#include "mman/mmSysOop.h"  // the context class indices and slots

// ---- Stack segments ----------------------------------------------------------------------
// A segment is 1024 words at an 8192-byte boundary from the zone base. Words 0-10 are its
// header, 11-1018 hold frames growing downwards, 1019-1023 are the root pseudo-frame:
//
//   word 1023  0                 root fp points here: the end of every frame chain
//   word 1022  bottom context    0 until the bottom frame has one
//   word 1021  bottom nMethod    refreshed by the frame walkers
//   word 1020  sender context    of the bottom frame (nil when none)
//   word 1019  rootReturnPC      return pc of the bottom frame
//   ...        frames
//   word 10..5 primitive save area (filled by the glue)
//   word 4..0  realLim, fp, sp, previous, next
enum : uint32_t {
  stackSegmentBytes = 8192,
  stackSegmentWords = 1024,
  shNext = 0,          // next segment in the allocated ring or the free chain
  shPrevious = 1,      // previous segment in the allocated ring
  shSp = 2,            // saved sp of the top frame: points at its resume pc
  shFp = 3,            // saved fp of the top frame
  shRealLim = 4,       // segment base + stackRealLimBytes
  shNumArgs = 5,       // pending primitive: argument count
  shReceiver = 6,      // pending primitive: receiver; 0 = none
  shArg0 = 7,          // pending primitive: r12
  shArg1 = 8,          // pending primitive: r13
  shFailAddr = 9,      // pending primitive: where failure resumes
  shPrimErr = 10,      // error object of a failed primitive
  shHeaderWords = 11,  // first word that frames may use
  shRootReturn = 1019,
  shRootSender = 1020,
  shRootNMethod = 1021,
  shRootContext = 1022,
  shRootFp = 1023,
  stackRealLimBytes = 4456,     // bytes from the segment base to its stack limit
  stackOverflowBoundBytes = 5184,  // overflow moves never pass a caller fp at or above this
  stackShallowBytes = 192,      // a segment this shallow is preferred when stealing
};
static_assert(stackSegmentWords * 8 == stackSegmentBytes, "a segment is 1024 words");
static_assert(shRootFp == stackSegmentWords - 1 && shRootReturn == shRootFp - 4,
              "the root pseudo-frame is the top five words");
static_assert(stackRealLimBytes > shHeaderWords * 8 && stackRealLimBytes % 8 == 0,
              "the limit lies above the header");
static_assert(stackOverflowBoundBytes > stackRealLimBytes && stackOverflowBoundBytes < stackSegmentBytes,
              "the overflow bound lies between the limit and the top");

// ---- Frames --------------------------------------------------------------------------------
// Word offsets from fp. With 3 or more arguments the receiver (at fp + 8*numArgs) and the
// first numArgs-2 arguments lie above the return pc; the last two arguments (r12, r13) are
// pushed by the callee below the receiver copy.
//
//   fp + 8*k    stacked receiver / arguments (numArgs >= 3, 2 <= k <= numArgs)
//   fp[1]       return pc
//   fp[0]       caller fp
//   fp[-1]      thisContext, valid while bit 0 of fp[-2] is set
//   fp[-2]      nMethod address | frameHybridBit
//   fp[-3]      receiver
//   fp[-4..-5]  register arguments (min(numArgs, 2)), then temporaries and expression stack
enum : int32_t {
  frReturnPc = 1,
  frCallerFp = 0,
  frContext = -1,
  frNMethod = -2,
  frReceiver = -3,
  frFirstArg = -4,
};
enum : uint64_t {
  frameHybridBit = 1,  // in fp[-2]: the frame has a context
  frameNMethodMask = ~uint64_t(7),
};

// ---- nmethod header --------------------------------------------------------------------------
// Every block of the native-method zone starts with these 40 bytes; code follows at offset 40
// and the PC map is stored reversed at the end of the block. usedSize 0 marks a free block,
// whose size is then the word at offset 24.
//
//  flags:  7      6        5       4        3    2        1          0
//        +-------+--------+-------+--------+----+--------+----------+---+
//        | block | prim   | unwind| handler| PIC| newRef | unlinked | - |
//        +-------+--------+-------+--------+----+--------+----------+---+
struct NMethodHeader {
  uint64_t link;       // chain link of the method-to-nmethod hash tables
  uint32_t usedSize;   // bytes of the whole block, a multiple of 16; 0 = free
  uint8_t flags;       // nmFlag*
  uint8_t mark;        // 255 allocated; collection sets 1 keep, 0 free
  uint8_t numArgs;     // argument count
  uint8_t numTemps;    // temporaries count
  uint8_t frame;       // frame size in words (0 = frameless)
  uint8_t unused[7];   // no field
  uint64_t vmethod;    // the compiled method; in a free block its size in bytes
  uint64_t selector;   // the selector or 0
};
static_assert(sizeof(NMethodHeader) == 40, "the nmethod header is 40 bytes");
static_assert(offsetof(NMethodHeader, usedSize) == 8 && offsetof(NMethodHeader, flags) == 12 &&
                  offsetof(NMethodHeader, mark) == 13 && offsetof(NMethodHeader, numArgs) == 14 &&
                  offsetof(NMethodHeader, numTemps) == 15 && offsetof(NMethodHeader, frame) == 16 &&
                  offsetof(NMethodHeader, vmethod) == 24 && offsetof(NMethodHeader, selector) == 32,
              "nmethod header fields sit where generated code addresses them");
enum : uint8_t {
  nmFlagBlock = 0x80,
  nmFlagPrimitive = 0x40,
  nmFlagUnwind = 0x20,
  nmFlagHandler = 0x10,
  nmFlagPIC = 0x08,
  nmFlagNewRef = 0x04,
  nmFlagUnlinked = 0x02,
  nmMarkAllocated = 255,
};

// ---- Method entry sequence -------------------------------------------------------------------
// Offsets from the block start, the same in every nmethod:
//   40 cannot-resume entry: mov rax, abort; call rax; two bytes patched to the body distance
//   49 return point of that call
//   51 call rtPICAbortSendMiss (class-check miss), returning at 56, NOP fill to 64
//   64 checked entry (block entry for block methods)
//   73 entry for a receiver known not to be immediate
//   82 class-tag compare with r15
//   87 unchecked entry = glue entry: the prologue
constexpr uint32_t nMethodHeaderSize = 40;
constexpr uint32_t nMethodCannotResumeEntry = 40;
constexpr uint32_t nMethodAbortOffsetOffset = 49;
constexpr uint32_t nMethodAbortSendMissOffset = 51;
constexpr uint32_t nMethodAbortSendMissReturnOffset = 56;
constexpr uint32_t nMethodEntry = 64;
constexpr uint32_t nMethodBlockEntry = 64;
constexpr uint32_t nMethodBlockGlueEntry = 64;
constexpr uint32_t nMethodEntryNonImmediate = 73;
constexpr uint32_t nMethodEntryCompare = 82;
constexpr uint32_t nMethodEntryNoCheck = 87;
constexpr uint32_t nMethodGlueEntry = 87;
constexpr uint32_t nMethodPrimitiveJumpSize = 6;  // EB d8 and the 32-bit offset word
static_assert(nMethodCannotResumeEntry == nMethodHeaderSize, "code starts after the header");
static_assert(nMethodAbortOffsetOffset == nMethodCannotResumeEntry + 7 + 2,
              "mov rax, imm32 (7) and call rax (2)");
static_assert(nMethodAbortSendMissReturnOffset == nMethodAbortSendMissOffset + 5, "call rel32");
static_assert(nMethodEntry % 16 == 0 && nMethodBlockEntry == nMethodEntry, "entries are aligned");
static_assert(nMethodEntryNonImmediate == nMethodEntry + 9 && nMethodEntryCompare == nMethodEntry + 18 &&
                  nMethodEntryNoCheck == nMethodEntry + 23,
              "the class check is 23 bytes");

// ---- Send site -------------------------------------------------------------------------------
// 41 BF imm32 (mov r15d, selector index or class tag), E8 rel32 (call): 11 bytes. Relative to
// the return address R: the immediate is the u32 at R - 9, the displacement the u32 at R - 4.
// A super send loads the lookup class first (49 BB imm64: mov r11, class); its operand ends
// at R + superLookupClassLoadOffset.
constexpr uint32_t sendSiteSize = 11;
constexpr int32_t sendSiteImmediateOffset = -9;
constexpr int32_t sendSiteDisplacementOffset = -4;
constexpr int32_t superLookupClassLoadOffset = -11;
static_assert(sendSiteImmediateOffset == -int32_t(sendSiteSize) + 2 && sendSiteDisplacementOffset == -4,
              "immediate after the two opcode bytes, displacement last");
static_assert(superLookupClassLoadOffset == -int32_t(sendSiteSize), "the class load ends where the site starts");
