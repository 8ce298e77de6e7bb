// mkimage: analysis of a method: which sends are inlined, where each identifier lives, which
// variables blocks copy and which must be shared through a temp vector. Prefix mk.
#include <algorithm>

#include "mkAst.h"

struct Ref {
  Scope *frame;  // frame that uses the variable (or self)
  Var *var;      // null for a use of self
};

struct Ana {
  Ctx &c;
  const ClassInfo &ci;
  std::vector<Loop> &loops;
  std::vector<Ref> refs;            // uses across frames, in source order
  std::vector<Scope *> frames;      // real frames in creation order
  std::vector<Var *> frameVars;     // every variable held in a frame, in declaration order
};

static Scope *newScope(Ana &a, Scope *outer, bool inlined, Node *block) {
  a.c.scopes.push_back(std::make_unique<Scope>());
  Scope *s = a.c.scopes.back().get();
  s->outer = outer;
  s->inlined = inlined;
  s->block = block;
  s->frame = inlined ? outer->frame : s;
  if (!inlined) {
    s->blockDepth = outer ? outer->frame->blockDepth + 1 : 0;
    a.frames.push_back(s);
  }
  return s;
}

static Var *newVar(Ana &a, Scope *s, const std::string &name, VarKind kind, int pos) {
  a.c.vars.push_back(std::make_unique<Var>());
  Var *v = a.c.vars.back().get();
  v->name = name;
  v->kind = kind;
  v->home = s ? s->frame : nullptr;
  v->declPos = pos;
  if (s && (kind == vArg || kind == vTemp)) a.frameVars.push_back(v);
  return v;
}

static bool declare(Ana &a, Scope *s, const std::string &name, VarKind kind, int pos) {
  for (Var *v : s->vars)
    if (v->name == name) {
      int line, col;
      mkLineCol((*a.c.sources)[size_t(a.c.file)].text, pos, line, col);
      mkFail(a.c, line, col, "'" + name + "' is declared twice");
      return false;
    }
  s->vars.push_back(newVar(a, s, name, kind, pos));
  if (kind == vArg) s->numArgs++;
  return true;
}

static Var *hiddenTemp(Ana &a, Scope *s) { return newVar(a, s, "", vTemp, 0); }

static Var *lookup(Ana &a, Scope *s, const Node *n, const std::string &name) {
  for (; s; s = s->outer)
    for (Var *v : s->vars)
      if (v->name == name) return v;
  for (size_t i = a.ci.instVars.size(); i-- > 0;)
    if (a.ci.instVars[i] == name) {
      Var *v = newVar(a, nullptr, name, vInst, 0);
      v->index = int(i);
      return v;
    }
  if (name == "system") return newVar(a, nullptr, name, vSystem, 0);
  for (const ClassAst &k : a.c.classes)
    if (k.name == name) return newVar(a, nullptr, name, vClass, 0);
  mkFail(a.c, n->line, n->col, "undefined variable '" + name + "'");
  return nullptr;
}

// ---------------------------------------------------------------- inlining decisions

static bool isBlockOf(const Node *n, size_t params) { return n && n->kind == nBlock && n->params.size() == params; }
static bool isBlock01(const Node *n) { return isBlockOf(n, 0) || isBlockOf(n, 1); }

static InlineKind decideInline(const Node *n) {
  const std::string &s = n->name;
  const std::vector<Node *> &x = n->args;
  if (!n->recv) return inNone;
  if (s == "ifTrue:" && isBlockOf(x[0], 0)) return inIfTrue;
  if (s == "ifFalse:" && isBlockOf(x[0], 0)) return inIfFalse;
  if (s == "ifTrue:ifFalse:" && isBlockOf(x[0], 0) && isBlockOf(x[1], 0)) return inIfTrueIfFalse;
  if (s == "ifFalse:ifTrue:" && isBlockOf(x[0], 0) && isBlockOf(x[1], 0)) return inIfFalseIfTrue;
  if (s == "and:" && isBlockOf(x[0], 0)) return inAnd;
  if (s == "or:" && isBlockOf(x[0], 0)) return inOr;
  if (s == "ifNil:" && isBlockOf(x[0], 0)) return inIfNil;
  if (s == "ifNotNil:" && isBlock01(x[0])) return inIfNotNil;
  if (s == "ifNil:ifNotNil:" && isBlockOf(x[0], 0) && isBlock01(x[1])) return inIfNilIfNotNil;
  if (s == "ifNotNil:ifNil:" && isBlock01(x[0]) && isBlockOf(x[1], 0)) return inIfNotNilIfNil;
  if (s == "timesRepeat:" && isBlockOf(x[0], 0)) return inTimesRepeat;
  if (s == "to:do:" && isBlockOf(x[1], 1)) return inToDo;
  if (s == "to:by:do:" && isBlockOf(x[2], 1) && x[1]->kind == nLiteral && x[1]->lit.kind == mkLitSmallInt &&
      x[1]->lit.small != 0)
    return inToByDo;
  bool loopRecv = isBlockOf(n->recv, 0);
  if (s == "whileTrue:" && loopRecv && isBlockOf(x[0], 0)) return inWhileTrue;
  if (s == "whileFalse:" && loopRecv && isBlockOf(x[0], 0)) return inWhileFalse;
  if (s == "whileTrue" && loopRecv) return inWhileTrueUnary;
  if (s == "whileFalse" && loopRecv) return inWhileFalseUnary;
  return inNone;
}

// ---------------------------------------------------------------- walk

static void visit(Ana &a, Node *n, Scope *s);

static void noteSelf(Ana &a, Scope *s) {
  if (s->frame->blockDepth > 0) a.refs.push_back({s->frame, nullptr});
}

static void noteUse(Ana &a, Var *v, Scope *s, int pos, bool write) {
  if (v->kind == vInst) {
    noteSelf(a, s);
    return;
  }
  if (v->kind != vArg && v->kind != vTemp) return;
  if (v->home != s->frame) {
    v->captures.push_back(pos);
    if (write) v->writtenElsewhere = true;
    a.refs.push_back({s->frame, v});
  } else if (write) {
    v->writes.push_back(pos);
  }
}

static void visitBody(Ana &a, Node *block, Scope *s, bool paramsAreArgs) {
  for (size_t i = 0; i < block->params.size(); i++)
    if (!declare(a, s, block->params[i], paramsAreArgs ? vArg : vTemp, block->paramPos[i])) return;
  for (size_t i = 0; i < block->temps.size(); i++)
    if (!declare(a, s, block->temps[i], vTemp, block->tempPos[i])) return;
  for (Node *st : block->args) visit(a, st, s);
}

static void visitInlined(Ana &a, Node *block, Scope *s) {
  Scope *in = newScope(a, s, true, block);
  block->scope = in;
  visitBody(a, block, in, false);
}

static void visitInlinedSend(Ana &a, Node *n, Scope *s) {
  InlineKind k = n->inl;
  bool loop = k == inWhileTrue || k == inWhileFalse || k == inWhileTrueUnary || k == inWhileFalseUnary;
  if (loop) visitInlined(a, n->recv, s);
  else visit(a, n->recv, s);
  for (Node *arg : n->args) {
    if (arg->kind == nBlock) visitInlined(a, arg, s);
    else visit(a, arg, s);
  }
  Node *last = n->args.empty() ? n->recv : n->args.back();
  if (loop) a.loops.push_back({n->recv->pos, last->end});
  if (k == inToDo || k == inToByDo || k == inTimesRepeat) a.loops.push_back({last->pos, last->end});
  if (k != inToDo && k != inToByDo && k != inTimesRepeat) return;
  const Node *limit = k == inTimesRepeat ? n->recv : n->args[0];
  bool constLimit = limit->kind == nLiteral && limit->lit.kind == mkLitSmallInt;
  if (k == inToDo || k == inToByDo) n->hidden = constLimit ? nullptr : hiddenTemp(a, s->frame);
  if (k == inTimesRepeat) {
    n->hidden = hiddenTemp(a, s->frame);
    n->hidden2 = constLimit ? nullptr : hiddenTemp(a, s->frame);
  }
}

static void visitAssign(Ana &a, Node *n, Scope *s) {
  Var *v = lookup(a, s, n, n->name);
  if (!v) return;
  if (v->kind != vTemp && v->kind != vInst) {
    mkFail(a.c, n->line, n->col, "cannot assign to '" + n->name + "'");
    return;
  }
  n->var = v;
  visit(a, n->recv, s);
  noteUse(a, v, s, n->pos, true);
}

static void visitBlock(Ana &a, Node *n, Scope *s) {
  Scope *f = newScope(a, s, false, n);
  n->scope = f;
  visitBody(a, n, f, true);
}

// A chain of sends (`x abs abs ...`, `1 + 1 + ...`) nests through its receivers without
// bound: walk down the receivers first, then visit the arguments from the innermost send
// out, which is source order.
static void visitSendChain(Ana &a, Node *n, Scope *s) {
  std::vector<Node *> chain;
  for (; n && n->kind == nSend; n = n->recv) {
    n->inl = decideInline(n);
    if (n->inl != inNone) break;
    chain.push_back(n);
  }
  if (n && n->kind == nSend) visitInlinedSend(a, n, s);
  else visit(a, n, s);
  for (size_t i = chain.size(); i-- > 0 && !a.c.failed;)
    for (Node *arg : chain[i]->args) visit(a, arg, s);
}

static void visit(Ana &a, Node *n, Scope *s) {
  if (a.c.failed || !n) return;
  switch (n->kind) {
    case nVar:
      n->var = lookup(a, s, n, n->name);
      if (n->var) noteUse(a, n->var, s, n->pos, false);
      break;
    case nSelf: case nSuper: noteSelf(a, s); break;
    case nAssign: visitAssign(a, n, s); break;
    case nSend: visitSendChain(a, n, s); break;
    case nCascade:
      visit(a, n->recv, s);
      for (Node *part : n->args) visit(a, part, s);
      break;
    case nBlock: visitBlock(a, n, s); break;
    case nReturn:
      visit(a, n->recv, s);
      for (Scope *f = s->frame; f->blockDepth > 0; f = f->outer->frame) f->needsFull = true;
      break;
    default: break;
  }
}

// ---------------------------------------------------------------- decisions after the walk

// A captured variable is copied into each closure when its value cannot change after the
// capture; otherwise it is shared through its frame's temp vector. It may change when a block
// assigns it, when an assignment follows the first capture in the text, or when an assignment
// and a capture both sit in a loop that the variable is declared outside of.
static bool needsSharing(const Var *v, const std::vector<Loop> &loops) {
  if (v->captures.empty()) return false;
  if (v->writtenElsewhere) return true;
  int first = *std::min_element(v->captures.begin(), v->captures.end());
  for (int w : v->writes)
    if (w > first) return true;
  for (const Loop &l : loops) {
    if (l.start < v->declPos) continue;
    auto in = [&l](int p) { return p >= l.start && p <= l.end; };
    if (std::any_of(v->writes.begin(), v->writes.end(), in) && std::any_of(v->captures.begin(), v->captures.end(), in))
      return true;
  }
  return false;
}

static void addCopy(Scope *f, CopyItem item) {
  for (const CopyItem &c : f->copies)
    if (c.kind == item.kind && c.var == item.var && c.vectorOf == item.vectorOf) return;
  f->copies.push_back(item);
}

static void layOut(Ana &a) {
  for (Var *v : a.frameVars) {
    v->remote = v->kind == vTemp && needsSharing(v, a.loops);
    if (v->remote) {
      v->index = int(v->home->remoteVars.size());
      v->home->remoteVars.push_back(v);
    }
  }
  for (Scope *f : a.frames)
    if (!f->remoteVars.empty()) f->vectorVar = newVar(a, f, "", vTemp, 0);
  for (Var *v : a.frameVars)
    if (v->kind == vArg) v->slot = int(v->home->locals.size()), v->home->locals.push_back(v);
  for (Var *v : a.frameVars)
    if (v->kind == vTemp && !v->remote) v->slot = int(v->home->locals.size()), v->home->locals.push_back(v);
  for (const Ref &r : a.refs) {
    if (!r.var) {
      for (Scope *f = r.frame; f->blockDepth > 0; f = f->outer->frame) addCopy(f, {cpSelf, nullptr, nullptr});
      continue;
    }
    CopyItem item = r.var->remote ? CopyItem{cpVector, nullptr, r.var->home} : CopyItem{cpVar, r.var, nullptr};
    for (Scope *f = r.frame; f != r.var->home; f = f->outer->frame) addCopy(f, item);
  }
}

Scope *mkAnalyse(Ctx &c, MethodAst &m, const ClassInfo &ci, std::vector<Loop> &loops) {
  Ana a{c, ci, loops, {}, {}, {}};
  Scope *s = newScope(a, nullptr, false, nullptr);
  for (size_t i = 0; i < m.params.size(); i++)
    if (!declare(a, s, m.params[i], vArg, m.paramPos[i])) return nullptr;
  for (size_t i = 0; i < m.temps.size(); i++)
    if (!declare(a, s, m.temps[i], vTemp, m.tempPos[i])) return nullptr;
  if (!m.primError.empty()) {
    bool known = false;
    for (Var *v : s->vars) known = known || v->name == m.primError;
    if (!known && !declare(a, s, m.primError, vTemp, m.primErrorPos)) return nullptr;
  }
  for (Node *st : m.body) visit(a, st, s);
  if (c.failed) return nullptr;
  layOut(a);
  return s;
}
