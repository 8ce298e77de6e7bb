// mkimage: bytecode emitter: picks the short, long and extended form of every instruction,
// tracks the operand stack depth, drops unreachable code and lays out forward and backward
// jumps. Owns no globals. Prefix em.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Send kinds, as the send bytecodes encode them.
enum EmSendKind : uint8_t {
  emSendNormal,   // class check at the callee's entry
  emSendNoCheck,  // receiver's class fixed at compile time (a constant)
  emSendNonImm,   // receiver known to be a heap object
};

enum EmJumpKind : uint8_t { emJumpForward, emBranchFalse, emBranchTrue, emLoopEnd };

struct EmItem {
  std::vector<uint8_t> bytes;  // fixed bytes of an instruction (empty for jumps and labels)
  int8_t jump = -1;            // EmJumpKind of a jump item, -1 otherwise
  int label = -1;              // jump: target label; label item: the label bound here
  int loopHead = -1;           // back jump: item index of the loop head it closes
  int size = 0;                // current size in bytes during layout
};

struct EmLabel {
  int depth = -1;           // operand stack depth expected at the label
  bool referenced = false;  // some emitted jump targets it
  bool bound = false;       // placed
};

// Invariant "one depth per label": every jump to a label, and the fall-through into it, leave
// the same operand stack depth, because the engine merges the paths by depth alone.
struct Emitter {
  std::vector<EmItem> items;       // instructions, jumps and labels in order
  std::vector<EmLabel> labels;     // labels by number
  int depth = 0;                   // current operand stack depth in entries
  int maxDepth = 0;                // deepest point so far
  bool reachable = true;           // false after a jump or return until a referenced label
  bool pendingPop = false;         // a pop not yet written (it may fuse with the next push)
  bool popAfterPrimitive = false;  // the pending pop discards a primitive's error value
  int lastPushSelf = -1;           // item index of a plain push self that a send may absorb
  int lastPushOne = -1;            // item index of a push of SmallInteger 1
  std::string fault;               // first internal fault (depth mismatch), empty when none
};

int emNewLabel(Emitter& e);
void emBind(Emitter& e, int label);
void emJump(Emitter& e, int label);
void emBranch(Emitter& e, bool onTrue, int label);
int emLoopHead(Emitter& e);  // answers the head for emJumpBack
void emJumpBack(Emitter& e, int head, bool headLive);

void emPushInstVar(Emitter& e, int index);
void emPushTemp(Emitter& e, int index);
void emPushLiteral(Emitter& e, int index);
void emPushLiteralSendValue(Emitter& e, int index);  // push literal, send special 25
void emPushSelf(Emitter& e);
void emPushConstant(Emitter& e, uint8_t opcode);  // 0x46-0x4B
bool emPushSmallInt(Emitter& e, int64_t value);   // false when no immediate form holds it
void emPushCharacter(Emitter& e, uint32_t code);
void emPushThisContext(Emitter& e);
void emPushIndirect(Emitter& e, int temp, int slot);
void emStoreIndirectPop(Emitter& e, int temp, int slot);
void emPushNewArray(Emitter& e, int size);
void emConsArray(Emitter& e, int count);
void emPop(Emitter& e);
void emPopIntoTemp(Emitter& e, int index);
void emStoreInstVar(Emitter& e, int index);
void emDup(Emitter& e);
void emNop(Emitter& e);
void emReturn(Emitter& e, uint8_t opcode);  // 0x60, 0x62-0x65
void emNonLocalReturn(Emitter& e, int depth);
void emSendSpecial(Emitter& e, EmSendKind kind, int index, int numArgs);
void emSendLiteral(Emitter& e, EmSendKind kind, int literal, int numArgs);
void emSuperSend(Emitter& e, int literal, int numArgs);
void emCopyValues(Emitter& e, int count);
void emBlock(Emitter& e, bool full, int literal, int copied);
void emPrimitive(Emitter& e, int number);
void emFlush(Emitter& e);  // write a pending pop

// Lays out the jumps (growing forms until every distance fits) and answers the bytecodes.
std::vector<uint8_t> emFinish(Emitter& e);
