// Translator: branch actions, the pending forward jumps and loop heads of one translation.
// Owns the action table (actionTable, its free list, the sorted list actNext, the loop list)
// and the peephole switches. Prefix: action, act, loop, opt (addAction).
#pragma once

#include <cstdint>

// Action kinds (what the translation loop does when the walk reaches the target).
enum ActionKind : int32_t {
  actEndOfMethod = 0,
  actLongJump = 1,        // E9 rel32
  actShortJump = 2,       // EB rel8
  actNoMerge = 3,         // a target that needs no merge
  actOneValue = 4,        // both paths carry one value
  actLongCondJump = 5,    // 0F 8x rel32
  actShortCondJump = 7,   // 7x rel8
};

// The peephole state: where an inlined operation ended and the jump it may retarget.
struct OptState {
  uint8_t* jumpSite;  // position just after the recorded jump (its displacement ends there)
  uint64_t isLong;    // 1: a 32-bit displacement, 0: 8-bit
  uint8_t* codeEnd;   // where the recorded operation's code ended
  uint8_t* target;    // where the jump now lands (set by optReFix)
  uint64_t flag;      // set: the state may not be used
};
static_assert(sizeof(OptState) == 40, "five words");

struct ActionRecord {
  ActionRecord* next;        // link in the sorted list, the loop list or the free list
  const uint8_t* vPC;        // target bytecode position
  int32_t kind;              // ActionKind
  int16_t depth;             // simulated stack depth at the jump: the index of its top entry
  int16_t registerMarks[2];  // the loop's register-knowledge marks at the jump
  const OptState* optState;  // peephole state at the jump, or null
  OptState optWords;         // its copy (only when optState is non-null)
  uint64_t registerSummary;  // the register cache's summary at the jump
  uint8_t* site;             // code position just after the emitted jump
};

enum { actionInitialRecords = 40, actionGrowRecords = 20 };

extern ActionRecord* actionTable;  // the records; record 0 is the end-of-method action
extern int32_t actionTableSize;    // records in the table
extern ActionRecord* actBump;      // next never-used record
extern ActionRecord* actFree;      // free list
extern ActionRecord* actNext;      // sorted pending list (by target), record 0 last
extern ActionRecord* actLoops;     // open loop heads, innermost first
extern int16_t tRegisterMarks[2];  // the translation loop's register-knowledge marks
extern uint32_t enableASOpt, enableLIOpt, enableROpt;  // peephole switches

void actionInit();
void actionReset(const uint8_t* endPC);
// depth = the index of stackTop in the simulated stack.
ActionRecord* addAction(int32_t kind, const uint8_t* vPC, const OptState* state, uint64_t registerSummary,
                        const void* stackTop, uint8_t* site);
ActionRecord* loopBegin(const uint8_t* vPC, uint64_t registerSummary, uint8_t* site);
ActionRecord* loopEnd(const uint8_t* vPC);
// Takes the first pending action off the sorted list (the loop calls it at its target).
ActionRecord* actionPop();
void actionFree(ActionRecord* record);
void optReFix(OptState* state, uint8_t* here, const char* name);

struct StackEntry;
// Conditional branch to target (sense 1: branch if true, 0: if false) on the top entry of the
// simulated stack, which it consumes; everything below is flushed first. A constant top
// gives an unconditional jump or none, a flags condition a conditional jump; the jump is
// short when target lies within effectiveMaxVBytesJumpShort bytecode bytes.
uint8_t* tBxp(const uint8_t* branchPC, const uint8_t* target, int sense, StackEntry* top, const OptState* state,
              uint8_t* at);
