// mkimage: code generation from analysed syntax trees to method records.
// Owns the special-selector table (mkSpecials). Prefix mk.
#include <algorithm>
#include <cstring>

#include "mkAst.h"
#include "mkEmit.h"

// The translator inlines indices 0-7 (arithmetic and comparisons), 19 and 22 (identity) and
// sends 25 after a pushed literal; the rest are short sends chosen for frequency.
const MkSpecial mkSpecials[] = {
    {"+", 1},       {"-", 1},      {"<", 1},       {">", 1},        {"<=", 1},          {">=", 1},
    {"=", 1},       {"~=", 1},     {"*", 1},       {"/", 1},        {"//", 1},          {"%", 1},
    {"bitAnd:", 1}, {"bitOr:", 1}, {"bitXor:", 1}, {"<<", 1},       {">>", 1},          {"at:", 1},
    {"at:put:", 2}, {"~~", 1},     {"length", 0},  {"isNil", 0},    {"==", 1},          {"class", 0},
    {"value:", 1},  {"value", 0},  {"notNil", 0},  {"new", 0},      {"new:", 1},        {"value:with:", 2},
    {"rem:", 1},    {"abs", 0},    {"println", 0}, {"asString", 0}, {"printString", 0}, {"not", 0},
    {"max:", 1},    {"min:", 1},   {"negated", 0},
};
const int mkNumSpecials = int(sizeof mkSpecials / sizeof mkSpecials[0]);

int mkSpecialIndex(const std::string& selector) {
  for (int i = 0; i < mkNumSpecials; i++)
    if (selector == mkSpecials[i].selector) return i;
  return -1;
}

enum { specialPlus = 0, specialLessEq = 4, specialGreaterEq = 5, specialIdentical = 22 };

struct Gen {
  Ctx& c;
  const ClassInfo& ci;
  const MethodAst& m;
  Scope* frame;                    // the frame being generated
  MkMethod& out;                   // its record
  Emitter e;                       // its code
  Node* cascadeRecv = nullptr;     // receiver node standing for null receivers in a cascade
  int blockCount = 0;              // home method: blocks numbered so far (shared through `home`)
  Gen* home = nullptr;             // the method's generator
  const Node* where = nullptr;     // the block being generated, null for the method
  const Node* overflow = nullptr;  // first node after which the frame is too large
};

// The engine's frame holds the arguments, temporaries, copied values and the operand stack.
enum { maxFrameWords = 255 };

static void genValue(Gen& g, Node* n);
static void genValueOnly(Gen& g, Node* n);
static void genEffect(Gen& g, Node* n);
static bool genFrame(Gen& g, const std::vector<Node*>& body);

// ---------------------------------------------------------------- literals

static bool sameLiteral(const MkLiteral& a, const MkLiteral& b) {
  if (a.kind != b.kind || a.kind == mkLitBlock) return false;
  if (a.small != b.small || a.negative != b.negative || a.text != b.text || a.magnitude != b.magnitude)
    return false;
  if (a.kind == mkLitFloat && memcmp(&a.real, &b.real, sizeof(double)) != 0) return false;
  if (a.elements.size() != b.elements.size()) return false;
  for (size_t i = 0; i < a.elements.size(); i++)
    if (!sameLiteral(a.elements[i], b.elements[i])) return false;
  return true;
}

static int literalIndex(Gen& g, const MkLiteral& l) {
  for (size_t i = 0; i < g.out.literals.size(); i++)
    if (sameLiteral(g.out.literals[i], l)) return int(i);
  g.out.literals.push_back(l);
  return int(g.out.literals.size()) - 1;
}

static int symbolIndex(Gen& g, const std::string& sel) {
  MkLiteral l;
  l.kind = mkLitSymbol;
  l.text = sel;
  return literalIndex(g, l);
}

static int classIndex(Gen& g, const std::string& name, bool meta) {
  MkLiteral l;
  l.kind = meta ? mkLitMeta : mkLitClass;
  l.text = name;
  return literalIndex(g, l);
}

static void genLiteral(Gen& g, const MkLiteral& l) {
  if (l.kind == mkLitSmallInt && emPushSmallInt(g.e, l.small)) return;
  if (l.kind == mkLitChar) {
    emPushCharacter(g.e, uint32_t(l.small));
    return;
  }
  emPushLiteral(g.e, literalIndex(g, l));
}

// ---------------------------------------------------------------- variables

static int copySlot(Gen& g, CopyItem item) {
  const std::vector<CopyItem>& cs = g.frame->copies;
  for (size_t k = 0; k < cs.size(); k++)
    if (cs[k].kind == item.kind && cs[k].var == item.var && cs[k].vectorOf == item.vectorOf)
      return int(g.frame->locals.size() + k);
  mkFail(g.c, g.m.line, g.m.col, "internal: missing copied value");
  return 0;
}

static int selfSlot(Gen& g) { return copySlot(g, {cpSelf, nullptr, nullptr}); }

static void pushSelf(Gen& g) {
  if (g.frame->blockDepth == 0)
    emPushSelf(g.e);
  else
    emPushTemp(g.e, selfSlot(g));
}

static int vectorSlot(Gen& g, Scope* owner) {
  if (owner->frame == g.frame) return owner->vectorVar->slot;
  return copySlot(g, {cpVector, nullptr, owner});
}

static void pushVar(Gen& g, Var* v) {
  if (v->kind == vInst) {
    if (g.frame->blockDepth == 0)
      emPushInstVar(g.e, v->index);
    else
      emPushIndirect(g.e, selfSlot(g), v->index);
  } else if (v->kind == vClass || v->kind == vSystem) {
    MkLiteral l;
    l.kind = v->kind == vClass ? mkLitClass : mkLitSystem;
    l.text = v->kind == vClass ? v->name : "";
    emPushLiteral(g.e, literalIndex(g, l));
  } else if (v->remote) {
    emPushIndirect(g.e, vectorSlot(g, v->vectorOwner), v->index);
  } else if (v->home == g.frame) {
    emPushTemp(g.e, v->slot);
  } else {
    emPushTemp(g.e, copySlot(g, {cpVar, v, nullptr}));
  }
}

static void storeVar(Gen& g, Var* v, bool keep) {
  if (v->kind == vInst && g.frame->blockDepth == 0) {
    emStoreInstVar(g.e, v->index);
    if (!keep) emPop(g.e);
    return;
  }
  if (v->kind == vInst || v->remote) {
    if (keep) emDup(g.e);
    if (v->kind == vInst)
      emStoreIndirectPop(g.e, selfSlot(g), v->index);
    else
      emStoreIndirectPop(g.e, vectorSlot(g, v->vectorOwner), v->index);
    return;
  }
  emPopIntoTemp(g.e, v->slot);
  if (keep) emPushTemp(g.e, v->slot);
}

// ---------------------------------------------------------------- sends

static EmSendKind sendKindFor(Gen& g, const Node* r) {
  if (!r) r = g.cascadeRecv;
  switch (r->kind) {
    case nLiteral:
    case nNil:
    case nTrue:
    case nFalse:
    case nBlock: return emSendNoCheck;
    case nVar:
      return r->var && (r->var->kind == vClass || r->var->kind == vSystem) ? emSendNoCheck : emSendNormal;
    case nThisContext: return emSendNonImm;
    case nSelf: return g.ci.immediateSide ? emSendNormal : emSendNonImm;
    default: return emSendNormal;
  }
}

static void genInline(Gen& g, Node* n, bool forValue);

// The arguments and the send of n, its receiver's value already pushed.
static void genSendAfterReceiver(Gen& g, Node* n, bool forValue) {
  const Node* r = n->recv ? n->recv : g.cascadeRecv;
  bool super = r->kind == nSuper;
  for (Node* a : n->args) genValue(g, a);
  int nargs = int(n->args.size());
  if (super) {
    emPushLiteral(g.e, classIndex(g, g.ci.ast->name, g.ci.classSide));
    emSuperSend(g.e, symbolIndex(g, n->name), nargs);
  } else {
    int special = mkSpecialIndex(n->name);
    EmSendKind kind = sendKindFor(g, n->recv);
    if (special >= 0)
      emSendSpecial(g.e, kind, special, nargs);
    else
      emSendLiteral(g.e, kind, symbolIndex(g, n->name), nargs);
  }
  if (!forValue) emPop(g.e);
}

// A chain of sends nests through its receivers without bound: the innermost receiver is
// pushed first, then each send of the chain from the inside out.
static void genSend(Gen& g, Node* n, bool forValue) {
  if (n->inl != inNone) {
    genInline(g, n, forValue);
    return;
  }
  std::vector<Node*> chain{n};
  for (Node* r = n->recv; r && r->kind == nSend && r->inl == inNone; r = r->recv) chain.push_back(r);
  if (chain.back()->recv) genValue(g, chain.back()->recv);
  for (size_t i = chain.size(); i-- > 0;) genSendAfterReceiver(g, chain[i], i == 0 ? forValue : true);
}

static void genCascade(Gen& g, Node* n, bool forValue) {
  genValue(g, n->recv);
  Node* saved = g.cascadeRecv;
  for (size_t i = 0; i < n->args.size(); i++) {
    bool last = i + 1 == n->args.size();
    if (!last) emDup(g.e);
    g.cascadeRecv = n->recv;
    genSend(g, n->args[i], !last || forValue);
    if (!last) emPop(g.e);
  }
  g.cascadeRecv = saved;
}

// ---------------------------------------------------------------- blocks

static void pushCopy(Gen& g, const CopyItem& item) {
  if (item.kind == cpSelf)
    pushSelf(g);
  else if (item.kind == cpVector)
    emPushTemp(g.e, vectorSlot(g, item.vectorOf));
  else if (item.var->home == g.frame)
    emPushTemp(g.e, item.var->slot);
  else
    emPushTemp(g.e, copySlot(g, item));
}

static void genClosure(Gen& g, Node* n) {
  Scope* s = n->scope;
  MkMethod child;
  child.className = g.out.className;
  child.classSide = g.out.classSide;
  child.selector = g.out.selector;
  child.isBlock = true;
  child.blockNumber = ++g.home->blockCount;
  child.line = n->line;
  Gen cg{g.c, g.ci, g.m, s, child, Emitter(), nullptr, 0, g.home, n, nullptr};
  if (!genFrame(cg, n->args)) return;
  for (const CopyItem& item : s->copies) pushCopy(g, item);
  g.out.blocks.push_back(std::move(child));
  MkLiteral l;
  l.kind = mkLitBlock;
  l.block = int(g.out.blocks.size()) - 1;
  g.out.literals.push_back(l);
  emBlock(g.e, s->needsFull, int(g.out.literals.size()) - 1, int(s->copies.size()));
}

static void genReturn(Gen& g, Node* value) {
  if (g.frame->blockDepth > 0) {
    genValue(g, value);
    emNonLocalReturn(g.e, g.frame->blockDepth);
    return;
  }
  switch (value->kind) {
    case nSelf: emReturn(g.e, 0x60); break;
    case nNil: emReturn(g.e, 0x62); break;
    case nTrue: emReturn(g.e, 0x63); break;
    case nFalse: emReturn(g.e, 0x64); break;
    default: genValue(g, value), emReturn(g.e, 0x65); break;
  }
}

// A temp vector of the frame or of an inlined block, made where its owner begins.
static void genNewVector(Gen& g, Scope* owner) {
  if (!owner->vectorVar) return;
  emPushNewArray(g.e, int(owner->remoteVars.size()));
  emPopIntoTemp(g.e, owner->vectorVar->slot);
}

// An inlined block's parameter takes the value on top of the stack.
static void genInlinedParam(Gen& g, Node* block) {
  genNewVector(g, block->scope);
  storeVar(g, block->scope->vars[0], false);
}

// The statements of an inlined block in the current frame; its temporaries start nil again on
// every entry, as a fresh activation's would (a fresh temp vector holds nil already). A block
// with a parameter has had it stored (genInlinedParam).
static void genInlinedBody(Gen& g, Node* block, bool forValue) {
  if (block->params.empty()) genNewVector(g, block->scope);
  for (Var* v : block->scope->vars)
    if (v->kind == vTemp && v->vectorOwner != block->scope &&
        std::find(block->params.begin(), block->params.end(), v->name) == block->params.end()) {
      emPushConstant(g.e, 0x46);
      storeVar(g, v, false);
    }
  const std::vector<Node*>& st = block->args;
  for (size_t i = 0; i < st.size(); i++) {
    if (i + 1 < st.size() || !forValue)
      genEffect(g, st[i]);
    else
      genValue(g, st[i]);
  }
  if (st.empty() && forValue) emPushConstant(g.e, 0x46);
}

static void genValue(Gen& g, Node* n) {
  genValueOnly(g, n);
  if (!g.overflow && g.e.maxDepth + int(g.frame->locals.size()) > maxFrameWords) g.overflow = n;
}

static void genValueOnly(Gen& g, Node* n) {
  switch (n->kind) {
    case nLiteral: genLiteral(g, n->lit); break;
    case nNil: emPushConstant(g.e, 0x46); break;
    case nTrue: emPushConstant(g.e, 0x47); break;
    case nFalse: emPushConstant(g.e, 0x48); break;
    case nSelf:
    case nSuper: pushSelf(g); break;
    case nThisContext: emPushThisContext(g.e); break;
    case nVar: pushVar(g, n->var); break;
    case nAssign: genValue(g, n->recv), storeVar(g, n->var, true); break;
    case nSend: genSend(g, n, true); break;
    case nCascade: genCascade(g, n, true); break;
    case nBlock: genClosure(g, n); break;
    case nReturn: genReturn(g, n->recv); break;
  }
}

static void genEffect(Gen& g, Node* n) {
  switch (n->kind) {
    case nAssign: genValue(g, n->recv), storeVar(g, n->var, false); break;
    case nSend: genSend(g, n, false); break;
    case nCascade: genCascade(g, n, false); break;
    case nReturn: genReturn(g, n->recv); break;
    default: break;  // a variable, literal or block alone has no effect
  }
}

// ---------------------------------------------------------------- inlined control structures

// ifTrue:, ifFalse:, and:, or: and the two-armed forms. `jumpOnTrue` is the branch sense that
// skips the first arm; `other` is the second arm's block, or the constant opcode it stands
// for (nil after a one-armed conditional, false after and:, true after or:).
static void genConditional(Gen& g, Node* n, bool forValue, bool jumpOnTrue, Node* first, Node* second,
                           uint8_t otherConstant) {
  genValue(g, n->recv);
  int skip = emNewLabel(g.e), end = emNewLabel(g.e);
  emBranch(g.e, jumpOnTrue, skip);
  genInlinedBody(g, first, forValue);
  if (forValue || second) emJump(g.e, end);
  emBind(g.e, skip);
  if (second)
    genInlinedBody(g, second, forValue);
  else if (forValue)
    emPushConstant(g.e, otherConstant);
  emBind(g.e, end);
}

static void genWhile(Gen& g, Node* n, bool forValue, bool whileTrue, Node* body) {
  int head = emLoopHead(g.e);
  int end = emNewLabel(g.e);
  genInlinedBody(g, n->recv, true);
  emBranch(g.e, !whileTrue, end);
  if (body) genInlinedBody(g, body, false);
  emJumpBack(g.e, head, head >= 0);
  emBind(g.e, end);
  if (forValue) emPushConstant(g.e, 0x46);
}

// Counting loop over `counter` up to `limit` (a hidden temporary, or a constant when
// limitVar is null) by a constant step; the body block's parameter, if any, is the counter,
// or is given the counter's value at each pass when it is a variable of its own.
static void genCount(Gen& g, Var* counter, Var* limitVar, const MkLiteral* limit, int64_t step, Node* body) {
  int head = emLoopHead(g.e);
  int end = emNewLabel(g.e);
  emPushTemp(g.e, counter->slot);
  if (limitVar)
    emPushTemp(g.e, limitVar->slot);
  else
    genLiteral(g, *limit);
  emSendSpecial(g.e, emSendNormal, step > 0 ? specialLessEq : specialGreaterEq, 1);
  emBranch(g.e, false, end);
  if (!body->params.empty()) {
    if (body->scope->vars[0] != counter)
      emPushTemp(g.e, counter->slot), genInlinedParam(g, body);
    else
      genNewVector(g, body->scope);
  }
  genInlinedBody(g, body, false);
  emPushTemp(g.e, counter->slot);
  emPushSmallInt(g.e, step);
  emSendSpecial(g.e, emSendNormal, specialPlus, 1);
  emPopIntoTemp(g.e, counter->slot);
  emJumpBack(g.e, head, head >= 0);
  emBind(g.e, end);
}

static void genToDo(Gen& g, Node* n, bool forValue) {
  Node* body = n->args.back();
  Var* counter = n->counter ? n->counter : body->scope->vars[0];
  int64_t step = n->inl == inToByDo ? n->args[1]->lit.small : 1;
  genValue(g, n->recv);
  if (forValue) emDup(g.e);
  emPopIntoTemp(g.e, counter->slot);
  if (n->hidden) {
    genValue(g, n->args[0]);
    emPopIntoTemp(g.e, n->hidden->slot);
  }
  genCount(g, counter, n->hidden, &n->args[0]->lit, step, body);
}

static void genTimesRepeat(Gen& g, Node* n, bool forValue) {
  genValue(g, n->recv);
  if (n->hidden2) {
    if (forValue) emDup(g.e);
    emPopIntoTemp(g.e, n->hidden2->slot);
  } else if (!forValue) {
    emPop(g.e);
  }
  emPushConstant(g.e, 0x4A);
  emPopIntoTemp(g.e, n->hidden->slot);
  genCount(g, n->hidden, n->hidden2, &n->recv->lit, 1, n->args[0]);
}

// The not-nil arm receives the tested value: as its parameter, or it is dropped.
static void genNotNilArm(Gen& g, Node* block) {
  if (block->params.empty())
    emPop(g.e);
  else
    genInlinedParam(g, block);
  genInlinedBody(g, block, true);
}

// ifNil: / ifNotNil: and their two-armed forms, always for value: the receiver stays on the
// stack as the answer of a missing arm.
static void genNilTest(Gen& g, Node* n, Node* nilArm, Node* notNilArm) {
  genValue(g, n->recv);
  emDup(g.e);
  emPushConstant(g.e, 0x46);
  emSendSpecial(g.e, emSendNormal, specialIdentical, 1);
  int other = emNewLabel(g.e), end = emNewLabel(g.e);
  if (nilArm) {
    emBranch(g.e, false, other);
    emPop(g.e);
    genInlinedBody(g, nilArm, true);
    if (notNilArm) {
      emJump(g.e, end);
      emBind(g.e, other);
      genNotNilArm(g, notNilArm);
    } else {
      emBind(g.e, other);
    }
  } else {
    emBranch(g.e, true, other);
    genNotNilArm(g, notNilArm);
    emBind(g.e, other);
  }
  emBind(g.e, end);
}

static void genInline(Gen& g, Node* n, bool forValue) {
  std::vector<Node*>& x = n->args;
  switch (n->inl) {
    case inIfTrue: genConditional(g, n, forValue, false, x[0], nullptr, 0x46); return;
    case inIfFalse: genConditional(g, n, forValue, true, x[0], nullptr, 0x46); return;
    case inIfTrueIfFalse: genConditional(g, n, forValue, false, x[0], x[1], 0); return;
    case inIfFalseIfTrue: genConditional(g, n, forValue, true, x[0], x[1], 0); return;
    case inAnd: genConditional(g, n, forValue, false, x[0], nullptr, 0x48); return;
    case inOr: genConditional(g, n, forValue, true, x[0], nullptr, 0x47); return;
    case inWhileTrue: genWhile(g, n, forValue, true, x[0]); return;
    case inWhileFalse: genWhile(g, n, forValue, false, x[0]); return;
    case inWhileTrueUnary: genWhile(g, n, forValue, true, nullptr); return;
    case inWhileFalseUnary: genWhile(g, n, forValue, false, nullptr); return;
    case inToDo:
    case inToByDo: genToDo(g, n, forValue); return;
    case inTimesRepeat: genTimesRepeat(g, n, forValue); return;
    case inIfNil: genNilTest(g, n, x[0], nullptr); break;
    case inIfNotNil: genNilTest(g, n, nullptr, x[0]); break;
    case inIfNilIfNotNil: genNilTest(g, n, x[0], x[1]); break;
    case inIfNotNilIfNil: genNilTest(g, n, x[1], x[0]); break;
    case inNone: return;
  }
  if (!forValue) emPop(g.e);
}

// ---------------------------------------------------------------- frames

static void genPrologue(Gen& g) {
  if (g.m.primitive >= 0 && g.frame->blockDepth == 0) {
    emPrimitive(g.e, g.m.primitive);
    Var* err = nullptr;
    for (Var* v : g.frame->vars)
      if (!g.m.primError.empty() && v->name == g.m.primError) err = v;
    if (err && err->remote) {
      mkFail(g.c, g.m.line, g.m.col,
             "primitive error temporary '" + err->name + "' cannot be shared with a block");
      return;
    }
    if (err) {
      emPopIntoTemp(g.e, err->slot);
    } else {
      emPop(g.e);
      g.e.popAfterPrimitive = true;
    }
  }
  if (!g.frame->copies.empty()) emCopyValues(g.e, int(g.frame->copies.size()));
  genNewVector(g, g.frame);
  for (Var* v : g.frame->remoteVars)  // a shared argument lives in the vector from here on
    if (v->kind == vArg) {
      emPushTemp(g.e, v->slot);
      emStoreIndirectPop(g.e, g.frame->vectorVar->slot, v->index);
    }
}

static void genBlockBody(Gen& g, const std::vector<Node*>& body) {
  for (size_t i = 0; i + 1 < body.size(); i++) genEffect(g, body[i]);
  if (body.empty()) {
    emReturn(g.e, 0x62);
    return;
  }
  Node* last = body.back();
  if (last->kind == nReturn) {
    genReturn(g, last->recv);
    return;
  }
  switch (last->kind) {
    case nNil: emReturn(g.e, 0x62); break;
    case nTrue: emReturn(g.e, 0x63); break;
    case nFalse: emReturn(g.e, 0x64); break;
    default: genValue(g, last), emReturn(g.e, 0x65); break;
  }
}

static void setHeader(Gen& g) {
  MkMethod& o = g.out;
  o.numArgs = g.frame->numArgs;
  o.numTemps = int(g.frame->locals.size()) - o.numArgs;
  o.numCopied = int(g.frame->copies.size());
  o.primitive = g.frame->blockDepth == 0 ? g.m.primitive : -1;
  o.unwind = g.frame->blockDepth == 0 && g.m.unwind;
  int need = o.numArgs + o.numTemps + g.e.maxDepth;
  o.frameSize = need > 12 ? need : 0;
  MkHeaderFields h;
  h.numArgs = o.numArgs;
  h.numTemps = o.numTemps;
  h.frameSize = o.frameSize;
  h.isBlock = o.isBlock;
  h.unwind = o.unwind;
  std::vector<uint8_t> code = emFinish(g.e);
  o.bytes = mkHeader(h);
  o.bytes.insert(o.bytes.end(), code.begin(), code.end());
}

// Fails at the node after which the frame passed its bound, else at the block or method.
static bool checkFrame(Gen& g) {
  if (g.e.maxDepth + int(g.frame->locals.size()) <= maxFrameWords) return true;
  const Node* at = g.overflow ? g.overflow : g.where;
  mkFail(g.c, at ? at->line : g.m.line, at ? at->col : g.m.col,
         "method needs a frame of more than " + std::to_string(maxFrameWords) + " words");
  return false;
}

static bool genFrame(Gen& g, const std::vector<Node*>& body) {
  genPrologue(g);
  if (g.frame->blockDepth > 0) {
    genBlockBody(g, body);
  } else {
    for (Node* st : body) genEffect(g, st);
    if (g.e.reachable) emReturn(g.e, 0x60);
  }
  if (g.c.failed) return false;
  if (!g.e.fault.empty()) {
    mkFail(g.c, g.out.line, 1, "internal: " + g.e.fault);
    return false;
  }
  if (!checkFrame(g)) return false;
  setHeader(g);
  return true;
}

bool mkGenerate(Ctx& c, MethodAst& m, const ClassInfo& ci, Scope* method, MkMethod& out) {
  out.className = ci.ast->name;
  out.classSide = ci.classSide;
  out.selector = m.selector;
  out.line = m.line;
  Gen g{c, ci, m, method, out, Emitter(), nullptr, 0, nullptr, nullptr, nullptr};
  g.home = &g;
  return genFrame(g, m.body);
}

// ---------------------------------------------------------------- headers

std::vector<uint8_t> mkHeader(const MkHeaderFields& h) {
  bool flags = h.contextReceiver || h.unwind || h.handler;
  bool shortForm =
      !h.forceLong && !flags && h.numArgs <= 3 && h.numTemps <= 3 && (h.frameSize == 0 || h.frameSize == 12);
  if (shortForm)
    return {uint8_t((h.isBlock ? 0x20 : 0) | (h.frameSize == 12 ? 0x10 : 0) | h.numArgs << 2 | h.numTemps)};
  uint8_t b0 = uint8_t(0x80 | (h.isBlock ? 0x20 : 0) | (h.contextReceiver ? 0x10 : 0) |
                       (h.unwind ? 0x08 : 0) | (h.handler ? 0x04 : 0));
  return {b0, uint8_t(h.numArgs), uint8_t(h.numTemps), uint8_t(h.frameSize)};
}

MkMethod mkAssemble(const MkHeaderFields& fields, const std::vector<uint8_t>& bytecodes,
                    const std::vector<MkLiteral>& literals) {
  MkMethod m;
  m.className = "Test";
  m.selector = "test";
  m.isBlock = fields.isBlock;
  m.numArgs = fields.numArgs;
  m.numTemps = fields.numTemps;
  m.frameSize = fields.frameSize;
  m.unwind = fields.unwind;
  m.bytes = mkHeader(fields);
  m.bytes.insert(m.bytes.end(), bytecodes.begin(), bytecodes.end());
  m.literals = literals;
  if (bytecodes.size() >= 3 && bytecodes[0] == 0xFE) m.primitive = bytecodes[1] << 8 | bytecodes[2];
  return m;
}
