// mkimage: bytecode emitter (instruction forms, extension prefixes, jump layout).
// Owns no globals; works on an Emitter record. Prefix em.
#include "mkEmit.h"

#include <cassert>

#include "tran/tbytecodes.h"

// ---------------------------------------------------------------- plumbing

static void noteDepth(Emitter& e, int delta) {
  e.depth += delta;
  if (e.depth > e.maxDepth) e.maxDepth = e.depth;
  if (e.depth < 0 && e.fault.empty())
    e.fault = "operand stack underflow at item " + std::to_string(e.items.size());
}

static void putExt(std::vector<uint8_t>& b, uint32_t ext) {
  if (ext <= 255) {
    b.push_back(bcPrefix);
    b.push_back(uint8_t(ext));
  } else {
    b.push_back(bcPrefixWord);
    b.push_back(uint8_t(ext >> 8));
    b.push_back(uint8_t(ext & 255));
  }
}

// Writes a pending pop as its own instruction.
void emFlush(Emitter& e) {
  if (!e.pendingPop) return;
  e.pendingPop = false;
  e.popAfterPrimitive = false;
  EmItem it;
  it.bytes = {bcPop};
  e.items.push_back(it);
}

// Appends one instruction of fixed bytes with its stack effect; nothing when unreachable.
static int put(Emitter& e, std::vector<uint8_t> bytes, int delta) {
  if (!e.reachable) return -1;
  emFlush(e);
  EmItem it;
  it.bytes = std::move(bytes);
  e.items.push_back(it);
  e.lastPushSelf = -1;
  e.lastPushOne = -1;
  noteDepth(e, delta);
  return int(e.items.size()) - 1;
}

// An instruction whose byte operand may be widened by a prefix to ext x 256 + b.
static void putExtended(Emitter& e, uint8_t opcode, uint32_t value, int delta) {
  std::vector<uint8_t> b;
  if (value > 255) putExt(b, value >> 8);
  b.push_back(opcode);
  b.push_back(uint8_t(value & 255));
  put(e, b, delta);
}

// An instruction of two operand bytes b1 b2 with the high bytes of its operands v1 and v2 in
// prefixes, as the opcode's decode reads them (pairs take v1's from the second prefix, blocks
// from the first).
static void putPair(Emitter& e, uint8_t opcode, uint32_t v1, uint32_t v2, int delta) {
  std::vector<uint8_t> b;
  bool pair = bcInfo[opcode].operands == bcoPair;
  uint32_t ext1 = pair ? v2 >> 8 : v1 >> 8, ext2 = pair ? v1 >> 8 : v2 >> 8;
  if (ext2 > 0) {
    putExt(b, ext1);
    putExt(b, ext2);
  } else if (ext1 > 0) {
    putExt(b, ext1);
  }
  b.push_back(opcode);
  b.push_back(uint8_t(v1 & 255));
  b.push_back(uint8_t(v2 & 255));
  put(e, b, delta);
}

// ---------------------------------------------------------------- labels and jumps

int emNewLabel(Emitter& e) {
  e.labels.push_back(EmLabel());
  return int(e.labels.size()) - 1;
}

static void noteLabelDepth(Emitter& e, int label) {
  EmLabel& l = e.labels[label];
  if (l.depth >= 0 && l.depth != e.depth && e.fault.empty()) e.fault = "stack depth differs at a jump target";
  l.depth = e.depth;
  l.referenced = true;
}

// Places a label. Code after it is live when it was live before or some jump reaches it.
void emBind(Emitter& e, int label) {
  emFlush(e);
  EmLabel& l = e.labels[label];
  assert(!l.bound);
  l.bound = true;
  if (l.referenced) {
    if (e.reachable && l.depth != e.depth && e.fault.empty())
      e.fault = "stack depth differs at a jump target";
    if (!e.reachable) e.depth = l.depth;
    e.reachable = true;
  }
  EmItem it;
  it.label = label;
  e.items.push_back(it);
  e.lastPushSelf = -1;
  e.lastPushOne = -1;
}

static void putJump(Emitter& e, EmJumpKind kind, int label, int head) {
  emFlush(e);
  EmItem it;
  it.jump = int8_t(kind);
  it.label = label;
  it.loopHead = head;
  e.items.push_back(it);
  e.lastPushSelf = -1;
  e.lastPushOne = -1;
}

void emJump(Emitter& e, int label) {
  if (!e.reachable) return;
  putJump(e, emJumpForward, label, -1);
  noteLabelDepth(e, label);
  e.reachable = false;
}

void emBranch(Emitter& e, bool onTrue, int label) {
  if (!e.reachable) return;
  putJump(e, onTrue ? emBranchTrue : emBranchFalse, label, -1);
  noteDepth(e, -1);
  noteLabelDepth(e, label);
}

int emLoopHead(Emitter& e) { return put(e, {bcLoopHead}, 0); }

// Closes the loop opened by emLoopHead. The jump is written even when the end is dead (after a
// return in the body) as long as the head exists, so that every loop head has its loop end.
void emJumpBack(Emitter& e, int head, bool headLive) {
  if (head < 0 || !headLive) return;
  putJump(e, emLoopEnd, -1, head);
  e.reachable = false;
}

// ---------------------------------------------------------------- pushes and stores

void emPushInstVar(Emitter& e, int index) {
  if (index < 16)
    put(e, {uint8_t(index)}, 1);
  else
    putExtended(e, bcPushInstVarExt, uint32_t(index), 1);
}

void emPushTemp(Emitter& e, int index) {
  if (e.reachable && e.pendingPop && (index == 0 || (index == 1 && !e.popAfterPrimitive))) {
    e.pendingPop = false;
    e.popAfterPrimitive = false;
    put(e, {uint8_t(bcPopPushTemp + index)}, 1);  // the pop was counted when it was made pending
    return;
  }
  if (index < 12)
    put(e, {uint8_t(bcPushTemp + index)}, 1);
  else
    put(e, {bcPushTempByte, uint8_t(index)}, 1);
}

void emPushLiteral(Emitter& e, int index) {
  if (index < 16)
    put(e, {uint8_t(bcPushLiteral + index)}, 1);
  else
    putExtended(e, bcPushLiteralExt, uint32_t(index), 1);
}

void emPushLiteralSendValue(Emitter& e, int index) {
  if (index < 12)
    put(e, {uint8_t(bcPushLiteralValue + index)}, 1);
  else
    putExtended(e, bcPushLiteralValueExt, uint32_t(index), 1);
}

void emPushSelf(Emitter& e) {
  if (e.reachable && e.pendingPop) {
    e.pendingPop = false;
    e.popAfterPrimitive = false;
    put(e, {bcPopPushSelf}, 1);
    return;
  }
  int at = put(e, {bcPushSelf}, 1);
  e.lastPushSelf = at;
}

void emPushConstant(Emitter& e, uint8_t opcode) {
  assert(opcode >= bcPushConstant && opcode <= bcPushSmallInt + 2);
  int at = put(e, {opcode}, 1);
  if (opcode == bcPushSmallInt + 1) e.lastPushOne = at;
}

// Small integers: 0-2 have their own bytecodes, then one byte, then signed 16 bits, then a
// prefix that scales the 16-bit value by 32768 steps away from zero.
bool emPushSmallInt(Emitter& e, int64_t v) {
  if (v >= 0 && v <= 2) {
    emPushConstant(e, uint8_t(bcPushSmallInt + v));
    return true;
  }
  if (v >= 0 && v <= 255) {
    put(e, {bcPushSmallIntByte, uint8_t(v)}, 1);
    return true;
  }
  if (v >= -32768 && v <= 32767) {
    put(e, {bcPushSmallInt16, uint8_t((uint16_t(v) >> 8) & 255), uint8_t(v & 255)}, 1);
    return true;
  }
  int64_t mag = v < 0 ? -v : v;  // the 16-bit part keeps the sign: low 15 bits of the magnitude
  int64_t ext = mag / 32768, low = mag % 32768;
  int64_t part = v < 0 ? -low : low;
  if (v < 0 && low == 0) {  // -32768 x k: the part must stay negative
    part = -32768;
    ext -= 1;
  }
  if (ext > 65535) return false;
  std::vector<uint8_t> b;
  putExt(b, uint32_t(ext));
  b.push_back(bcPushSmallInt16);
  b.push_back(uint8_t((uint16_t(part) >> 8) & 255));
  b.push_back(uint8_t(part & 255));
  put(e, b, 1);
  return true;
}

void emPushCharacter(Emitter& e, uint32_t code) { putExtended(e, bcPushCharacter, code, 1); }
void emPushThisContext(Emitter& e) { put(e, {bcPushThisContext}, 1); }

void emPushIndirect(Emitter& e, int temp, int slot) {
  if (temp < 16 && slot < 16)
    put(e, {bcPushIndirect, uint8_t(temp << 4 | slot)}, 1);
  else
    putPair(e, bcPushIndirectPair, uint32_t(temp), uint32_t(slot), 1);
}

void emStoreIndirectPop(Emitter& e, int temp, int slot) {
  if (temp < 16 && slot < 16)
    put(e, {bcStoreIndirect, uint8_t(temp << 4 | slot)}, -1);
  else
    putPair(e, bcStoreIndirectPair, uint32_t(temp), uint32_t(slot), -1);
}

void emPushNewArray(Emitter& e, int size) { putExtended(e, bcNewArray, uint32_t(size), 1); }
void emConsArray(Emitter& e, int count) { putExtended(e, bcConsArray, uint32_t(count), 1 - count); }

void emPop(Emitter& e) {
  if (!e.reachable) return;
  emFlush(e);
  e.pendingPop = true;
  e.lastPushSelf = -1;
  e.lastPushOne = -1;
  noteDepth(e, -1);
}

void emPopIntoTemp(Emitter& e, int index) {
  if (index < 8)
    put(e, {uint8_t(bcPopIntoTemp + index)}, -1);
  else
    put(e, {bcPopIntoTempByte, uint8_t(index)}, -1);
}

void emStoreInstVar(Emitter& e, int index) {
  if (index < 8)
    put(e, {uint8_t(bcStoreInstVar + index)}, 0);
  else
    putExtended(e, bcStoreInstVarExt, uint32_t(index), 0);
}

void emDup(Emitter& e) {
  if (e.reachable && e.pendingPop && !e.popAfterPrimitive) {
    e.pendingPop = false;
    put(e, {bcPopDup}, 1);
    return;
  }
  put(e, {bcDup}, 1);
}

void emNop(Emitter& e) { put(e, {bcNop}, 0); }

void emReturn(Emitter& e, uint8_t opcode) {
  put(e, {opcode}, opcode == bcReturnTop ? -1 : 0);
  e.reachable = false;
}

void emNonLocalReturn(Emitter& e, int depth) {
  putExtended(e, bcNonLocalReturn, uint32_t(depth), -1);
  e.reachable = false;
}

// ---------------------------------------------------------------- sends and blocks

void emSendSpecial(Emitter& e, EmSendKind kind, int index, int numArgs) {
  if (!e.reachable) return;
  if (kind == emSendNormal && index == 0 && !e.pendingPop && e.lastPushOne >= 0 &&
      e.lastPushOne == int(e.items.size()) - 1) {
    e.items.back().bytes = {bcPushOneSendPlus};  // push 1, send + fused
    e.lastPushOne = -1;
    noteDepth(e, -1);
    return;
  }
  uint8_t op = kind == emSendNoCheck  ? bcSendSpecialNoCheck
               : kind == emSendNonImm ? bcSendSpecialNonImmediate
                                      : bcSendSpecialByte;
  if (kind == emSendNormal && index < 32)
    put(e, {uint8_t(bcSendSpecial + index)}, -numArgs);
  else
    put(e, {op, uint8_t(index)}, -numArgs);
}

static void sendNormal(Emitter& e, int lit, int n) {
  if (n == 0 && lit < 8 && !e.pendingPop && e.lastPushSelf >= 0 &&
      e.lastPushSelf == int(e.items.size()) - 1) {
    e.items.back().bytes = {uint8_t(bcSelfSend0 + lit)};  // push self, send fused
    e.lastPushSelf = -1;
    return;
  }
  if (n == 0 && lit < 16)
    put(e, {uint8_t(bcSend0 + lit)}, 0);
  else if (n == 1 && lit < 16)
    put(e, {uint8_t(bcSend1 + lit)}, -1);
  else if (n == 2 && lit < 8)
    put(e, {uint8_t(bcSend2 + lit)}, -2);
  else if (lit < 32 && n < 8)
    put(e, {bcSendByte, uint8_t(n << 5 | lit)}, -n);
  else
    putPair(e, bcSendPair, uint32_t(n), uint32_t(lit), -n);
}

void emSendLiteral(Emitter& e, EmSendKind kind, int lit, int n) {
  if (!e.reachable) return;
  if (kind == emSendNormal) {
    sendNormal(e, lit, n);
    return;
  }
  bool noCheck = kind == emSendNoCheck;
  if (lit < 32 && n < 8)
    put(e, {uint8_t(noCheck ? bcSendNoCheck : bcSendNonImmediate), uint8_t(n << 5 | lit)}, -n);
  else
    putPair(e, noCheck ? bcSendNoCheckPair : bcSendNonImmediatePair, uint32_t(n), uint32_t(lit), -n);
}

// The lookup class is on top of the stack above the arguments; the send consumes it too.
void emSuperSend(Emitter& e, int lit, int n) {
  if (lit < 32 && n < 8)
    put(e, {bcSuperSend, uint8_t(n << 5 | lit)}, -n - 1);
  else
    putPair(e, bcSuperSendPair, uint32_t(n), uint32_t(lit), -n - 1);
}

void emCopyValues(Emitter& e, int count) { put(e, {bcCopyValues, uint8_t(count)}, count); }

void emBlock(Emitter& e, bool full, int lit, int copied) {
  if (full && copied == 0)
    putExtended(e, bcFullBlock, uint32_t(lit), 1);
  else
    putPair(e, full ? bcFullCopyingBlock : bcCopyingBlock, uint32_t(lit), uint32_t(copied), 1 - copied);
}

// The marker, the number (high byte first) and the byte 0x43 that marks the primitive's
// return point; the prologue then pushes the error value, which the next instruction takes.
void emPrimitive(Emitter& e, int number) {
  put(e, {bcPrimitiveMarker, uint8_t(number >> 8), uint8_t(number & 255), 0x43}, 1);
}

// ---------------------------------------------------------------- layout

static int jumpSizeFor(EmJumpKind kind, int64_t d) {
  if (kind == emLoopEnd) {
    int64_t ext = (d - 1) / 1024;
    return ext == 0 ? 2 : ext <= 255 ? 4 : 5;
  }
  if (kind == emJumpForward && d >= 1 && d <= 5) return 1;
  if (kind == emBranchFalse && d >= 1 && d <= 8) return 1;
  int64_t ext = d / 1024;
  return ext == 0 ? 2 : ext <= 255 ? 4 : 5;
}

// Encodes a jump of distance d in exactly `size` bytes (a larger size than needed keeps a
// zero prefix or the two-byte form, both valid).
static void encodeJump(std::vector<uint8_t>& out, EmJumpKind kind, int64_t d, int size) {
  if (size == 1) {
    out.push_back(uint8_t((kind == emJumpForward ? bcJumpShort : bcBranchFalseShort) + d - 1));
    return;
  }
  uint32_t ext, b;
  uint8_t op;
  if (kind == emLoopEnd) {
    ext = uint32_t((d - 1) / 1024);
    int64_t base = d - int64_t(ext) * 1024;
    int k = 4 - int((base + 255) / 256);
    b = uint32_t((4 - k) * 256 - base);
    op = uint8_t(bcLoopEnd + k);
  } else {
    ext = uint32_t(d / 1024);
    int64_t rest = d % 1024;
    op = uint8_t((kind == emJumpForward   ? bcJump
                  : kind == emBranchFalse ? bcBranchFalse
                                          : bcBranchTrue) +
                 rest / 256);
    b = uint32_t(rest % 256);
  }
  if (size == 4) {
    out.push_back(bcPrefix);
    out.push_back(uint8_t(ext));
  } else if (size == 5) {
    out.push_back(bcPrefixWord);
    out.push_back(uint8_t(ext >> 8));
    out.push_back(uint8_t(ext & 255));
  }
  out.push_back(op);
  out.push_back(uint8_t(b));
}

static int64_t jumpDistance(const Emitter& e, const std::vector<int64_t>& at,
                            const std::vector<int64_t>& labelAt, size_t i) {
  const EmItem& it = e.items[i];
  int64_t after = at[i] + it.size;
  if (it.jump == emLoopEnd) return after - at[size_t(it.loopHead)];
  return labelAt[size_t(it.label)] - after;
}

std::vector<uint8_t> emFinish(Emitter& e) {
  emFlush(e);
  for (EmItem& it : e.items)
    it.size = it.jump >= 0 ? (it.jump == emBranchTrue || it.jump == emLoopEnd ? 2 : 1) : int(it.bytes.size());
  std::vector<int64_t> at(e.items.size() + 1), labelAt(e.labels.size(), 0);
  for (bool grown = true; grown;) {
    grown = false;
    int64_t pc = 0;
    for (size_t i = 0; i < e.items.size(); i++) {
      at[i] = pc;
      if (e.items[i].label >= 0 && e.items[i].jump < 0) labelAt[size_t(e.items[i].label)] = pc;
      pc += e.items[i].size;
    }
    for (size_t i = 0; i < e.items.size(); i++) {
      EmItem& it = e.items[i];
      if (it.jump < 0) continue;
      int need = jumpSizeFor(EmJumpKind(it.jump), jumpDistance(e, at, labelAt, i));
      if (need > it.size) {
        it.size = need;
        grown = true;
      }
    }
  }
  std::vector<uint8_t> out;
  for (size_t i = 0; i < e.items.size(); i++) {
    const EmItem& it = e.items[i];
    if (it.jump >= 0)
      encodeJump(out, EmJumpKind(it.jump), jumpDistance(e, at, labelAt, i), it.size);
    else
      out.insert(out.end(), it.bytes.begin(), it.bytes.end());
  }
  return out;
}
