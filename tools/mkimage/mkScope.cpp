// mkimage: analysis of a method: which sends are inlined, where each identifier lives, which
// variables blocks copy and which must be shared through a temp vector. Prefix mk.
#include <algorithm>
#include <unordered_set>

#include "mkAst.h"

struct Ref {
  Scope* frame;  // frame that uses the variable (or self)
  Var* var;      // null for a use of self
};

struct Ana {
  Ctx& c;
  const ClassInfo& ci;
  const MethodAst& m;
  std::vector<Loop>& loops;
  std::vector<Ref> refs;                           // uses across frames, in source order
  std::vector<Scope*> frames;                      // real frames in creation order
  std::vector<Scope*> inlinedScopes;               // inlined blocks in creation order
  std::vector<Var*> frameVars;                     // every variable held in a frame, in declaration order
  std::vector<std::pair<Node*, Scope*>> counted;   // to:do: sends and the frame they run in
  std::unordered_set<std::string> globalLiterals;  // what looking up unknown globals adds
  int clock = 0;                                   // evaluation order (see Var)
};

static Scope* newScope(Ana& a, Scope* outer, bool inlined, Node* block) {
  a.c.scopes.push_back(std::make_unique<Scope>());
  Scope* s = a.c.scopes.back().get();
  s->outer = outer;
  s->inlined = inlined;
  s->block = block;
  s->frame = inlined ? outer->frame : s;
  if (inlined) {
    a.inlinedScopes.push_back(s);
  } else {
    s->blockDepth = outer ? outer->frame->blockDepth + 1 : 0;
    a.frames.push_back(s);
  }
  return s;
}

static Var* newVar(Ana& a, Scope* s, const std::string& name, VarKind kind, int pos) {
  a.c.vars.push_back(std::make_unique<Var>());
  Var* v = a.c.vars.back().get();
  v->name = name;
  v->kind = kind;
  v->home = s ? s->frame : nullptr;
  v->declPos = pos;
  if (s && (kind == vArg || kind == vTemp)) a.frameVars.push_back(v);
  return v;
}

static void failAt(Ana& a, int pos, const std::string& message) {
  int line, col;
  mkLineCol((*a.c.sources)[size_t(a.c.file)].text, pos, line, col);
  mkFail(a.c, line, col, message);
}

static bool declare(Ana& a, Scope* s, const std::string& name, VarKind kind, int pos) {
  for (Var* v : s->vars)
    if (v->name == name) {
      failAt(a, pos, "'" + name + "' is declared twice");
      return false;
    }
  Var* v = newVar(a, s, name, kind, a.clock++);
  v->scope = s;
  s->vars.push_back(v);
  if (kind == vArg) s->numArgs++;
  return true;
}

static Var* hiddenTemp(Ana& a, Scope* s) { return newVar(a, s, "", vTemp, 0); }

// Answers the variable a name stands for; a name that is none of them is a global.
static Var* lookup(Ana& a, Scope* s, const std::string& name) {
  for (; s; s = s->outer)
    for (Var* v : s->vars)
      if (v->name == name) return v;
  for (size_t i = a.ci.instVars.size(); i-- > 0;)
    if (a.ci.instVars[i] == name) {
      Var* v = newVar(a, nullptr, name, vInst, 0);
      v->index = int(i);
      return v;
    }
  if (name == "system") return newVar(a, nullptr, name, vSystem, 0);
  for (const ClassAst& k : a.c.classes)
    if (k.name == name) return newVar(a, nullptr, name, vClass, 0);
  return newVar(a, nullptr, name, vGlobal, 0);
}

// ---------------------------------------------------------------- inlining decisions

static bool isBlockOf(const Node* n, size_t params) {
  return n && n->kind == nBlock && n->params.size() == params;
}
static bool isBlock01(const Node* n) { return isBlockOf(n, 0) || isBlockOf(n, 1); }

static InlineKind decideInline(const Node* n) {
  const std::string& s = n->name;
  const std::vector<Node*>& x = n->args;
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

static void visit(Ana& a, Node* n, Scope* s);

static void noteSelf(Ana& a, Scope* s) {
  if (s->frame->blockDepth > 0) a.refs.push_back({s->frame, nullptr});
}

static void noteUse(Ana& a, Var* v, Scope* s, bool write) {
  if (v->kind == vInst) {
    noteSelf(a, s);
    return;
  }
  if (v->kind != vArg && v->kind != vTemp) return;
  int now = a.clock++;
  if (v->home != s->frame) {
    v->captures.push_back(now);
    if (write) v->writtenElsewhere = true;
    a.refs.push_back({s->frame, v});
  } else if (write) {
    v->writes.push_back(now);
  }
}

static Node* syntheticNode(Ana& a, const Node* at, NodeKind kind) {
  return mkNewNode(a.c, kind, at->pos, at->line, at->col);
}

// The literals a global's lookup adds to the method, beside the name the parser counted
// when it looks like a class name; fails at n past the method's bound.
static bool roomForGlobal(Ana& a, const Node* n) {
  for (const char* key : {"lsystem", "sglobal:", "sunknownGlobal:"}) a.globalLiterals.insert(key);
  if (!(n->name[0] >= 'A' && n->name[0] <= 'Z')) a.globalLiterals.insert("g" + n->name);
  if (size_t(a.m.literalCount) + a.globalLiterals.size() <= maxMethodLiterals) return true;
  mkFail(a.c, n->line, n->col,
         "too many literals in one method (at most " + std::to_string(maxMethodLiterals) + ")");
  return false;
}

// A global is looked up when the code runs: the variable node n becomes
// `(system global: #name) ifNil: [self unknownGlobal: #name]`, which the walk then inlines,
// so that the receiver gets unknownGlobal: when no global of that name exists.
static void rewriteGlobal(Ana& a, Node* n) {
  Node *sys = syntheticNode(a, n, nLiteral), *name = syntheticNode(a, n, nLiteral);
  sys->lit.kind = mkLitSystem;
  name->lit.kind = mkLitSymbol;
  name->lit.text = n->name;
  Node* look = syntheticNode(a, n, nSend);
  look->name = "global:";
  look->recv = sys;
  look->args = {name};
  Node* ask = syntheticNode(a, n, nSend);
  ask->name = "unknownGlobal:";
  ask->recv = syntheticNode(a, n, nSelf);
  ask->args = {name};
  Node* arm = syntheticNode(a, n, nBlock);
  arm->end = n->pos;
  arm->args = {ask};
  n->kind = nSend;
  n->name = "ifNil:";
  n->recv = look;
  n->args = {arm};
  n->var = nullptr;
}

static void visitBody(Ana& a, Node* block, Scope* s, bool paramsAreArgs) {
  for (size_t i = 0; i < block->params.size(); i++)
    if (!declare(a, s, block->params[i], paramsAreArgs ? vArg : vTemp, block->paramPos[i])) return;
  for (size_t i = 0; i < block->temps.size(); i++)
    if (!declare(a, s, block->temps[i], vTemp, block->tempPos[i])) return;
  for (Node* st : block->args) visit(a, st, s);
}

static void visitInlined(Ana& a, Node* block, Scope* s, bool loopPart) {
  Scope* in = newScope(a, s, true, block);
  in->loopPart = loopPart;
  block->scope = in;
  visitBody(a, block, in, false);
}

// An inlined loop repeats its condition and body (while) or its body (counting loops); the
// receiver and the limits of a counting loop run once.
static void visitInlinedSend(Ana& a, Node* n, Scope* s) {
  InlineKind k = n->inl;
  bool loop = k == inWhileTrue || k == inWhileFalse || k == inWhileTrueUnary || k == inWhileFalseUnary;
  bool counting = k == inToDo || k == inToByDo || k == inTimesRepeat;
  int start = a.clock;
  if (loop)
    visitInlined(a, n->recv, s, true);
  else
    visit(a, n->recv, s);
  for (size_t i = 0; i < n->args.size(); i++) {
    bool body = counting && i + 1 == n->args.size();
    if (body) start = a.clock;
    if (n->args[i]->kind == nBlock)
      visitInlined(a, n->args[i], s, loop || body);
    else
      visit(a, n->args[i], s);
  }
  if (loop || counting) a.loops.push_back({start, a.clock});
  if (!counting) return;
  if (k != inTimesRepeat) a.counted.push_back({n, s->frame});
  const Node* limit = k == inTimesRepeat ? n->recv : n->args[0];
  bool constLimit = limit->kind == nLiteral && limit->lit.kind == mkLitSmallInt;
  if (k == inToDo || k == inToByDo) n->hidden = constLimit ? nullptr : hiddenTemp(a, s->frame);
  if (k == inTimesRepeat) {
    n->hidden = hiddenTemp(a, s->frame);
    n->hidden2 = constLimit ? nullptr : hiddenTemp(a, s->frame);
  }
}

static void visitAssign(Ana& a, Node* n, Scope* s) {
  Var* v = lookup(a, s, n->name);
  if (v->kind != vTemp && v->kind != vArg && v->kind != vInst) {
    mkFail(a.c, n->line, n->col, "cannot assign to '" + n->name + "'");
    return;
  }
  n->var = v;
  visit(a, n->recv, s);
  noteUse(a, v, s, true);
}

static void visitBlock(Ana& a, Node* n, Scope* s) {
  Scope* f = newScope(a, s, false, n);
  n->scope = f;
  visitBody(a, n, f, true);
}

// A chain of sends (`x abs abs ...`, `1 + 1 + ...`) nests through its receivers without
// bound: walk down the receivers first, then visit the arguments from the innermost send
// out, which is source order.
static void visitSendChain(Ana& a, Node* n, Scope* s) {
  std::vector<Node*> chain;
  for (; n && n->kind == nSend; n = n->recv) {
    n->inl = decideInline(n);
    if (n->inl != inNone) break;
    chain.push_back(n);
  }
  if (n && n->kind == nSend)
    visitInlinedSend(a, n, s);
  else
    visit(a, n, s);
  for (size_t i = chain.size(); i-- > 0 && !a.c.failed;)
    for (Node* arg : chain[i]->args) visit(a, arg, s);
}

static void visit(Ana& a, Node* n, Scope* s) {
  if (a.c.failed || !n) return;
  switch (n->kind) {
    case nVar:
      n->var = lookup(a, s, n->name);
      if (n->var->kind != vGlobal) {
        noteUse(a, n->var, s, false);
      } else if (roomForGlobal(a, n)) {
        rewriteGlobal(a, n);
        visit(a, n, s);
      }
      break;
    case nSelf:
    case nSuper: noteSelf(a, s); break;
    case nAssign: visitAssign(a, n, s); break;
    case nSend: visitSendChain(a, n, s); break;
    case nCascade:
      visit(a, n->recv, s);
      for (Node* part : n->args) visit(a, part, s);
      break;
    case nBlock: visitBlock(a, n, s); break;
    case nReturn:
      visit(a, n->recv, s);
      for (Scope* f = s->frame; f->blockDepth > 0; f = f->outer->frame) f->needsFull = true;
      break;
    default: break;
  }
}

// ---------------------------------------------------------------- decisions after the walk

// A captured variable is copied into each closure when its value cannot change after the
// capture; otherwise it is shared through a temp vector. It may change when a block assigns
// it, when an assignment runs after the first capture (the assignment that stores the very
// block using the variable included), or when an assignment and a capture both sit in a loop
// that the variable is declared outside of.
static bool needsSharing(const Var* v, const std::vector<Loop>& loops) {
  if (v->captures.empty()) return false;
  if (v->writtenElsewhere) return true;
  int first = *std::min_element(v->captures.begin(), v->captures.end());
  for (int w : v->writes)
    if (w > first) return true;
  for (const Loop& l : loops) {
    if (v->declPos >= l.start) continue;  // declared inside: each pass has its own
    auto in = [&l](int p) { return p >= l.start && p < l.end; };
    if (std::any_of(v->writes.begin(), v->writes.end(), in) &&
        std::any_of(v->captures.begin(), v->captures.end(), in))
      return true;
  }
  return false;
}

static void addCopy(Scope* f, CopyItem item) {
  for (const CopyItem& c : f->copies)
    if (c.kind == item.kind && c.var == item.var && c.vectorOf == item.vectorOf) return;
  f->copies.push_back(item);
}

// An inlined block that runs more than once in its frame owns the vector of the shared
// variables it declares; every other shared variable is in its frame's vector.
static Scope* vectorOwnerOf(const Var* v) {
  for (Scope* s = v->scope; s && s->inlined; s = s->outer)
    if (s->loopPart) return v->scope;
  return v->home;
}

// A to:do: whose block assigns its parameter counts in a hidden temporary of its own, copied
// into the parameter at each pass, since the assignment changes that pass's value only.
static void giveCounters(Ana& a) {
  for (auto& [n, frame] : a.counted) {
    Var* param = n->args.back()->scope->vars[0];
    if (!param->writes.empty() || param->writtenElsewhere) n->counter = hiddenTemp(a, frame);
  }
}

static void layOut(Ana& a) {
  giveCounters(a);
  for (Var* v : a.frameVars) {
    v->remote = (v->kind == vTemp || v->kind == vArg) && needsSharing(v, a.loops);
    if (v->remote) {
      v->vectorOwner = vectorOwnerOf(v);
      v->index = int(v->vectorOwner->remoteVars.size());
      v->vectorOwner->remoteVars.push_back(v);
    }
  }
  for (Scope* f : a.frames)
    if (!f->remoteVars.empty()) f->vectorVar = newVar(a, f, "", vTemp, 0);
  for (Scope* s : a.inlinedScopes)
    if (!s->remoteVars.empty()) s->vectorVar = newVar(a, s, "", vTemp, 0);
  for (Var* v : a.frameVars)
    if (v->kind == vArg) v->slot = int(v->home->locals.size()), v->home->locals.push_back(v);
  for (Var* v : a.frameVars)
    if (v->kind == vTemp && !v->remote) v->slot = int(v->home->locals.size()), v->home->locals.push_back(v);
  for (const Ref& r : a.refs) {
    if (!r.var) {
      for (Scope* f = r.frame; f->blockDepth > 0; f = f->outer->frame) addCopy(f, {cpSelf, nullptr, nullptr});
      continue;
    }
    CopyItem item =
        r.var->remote ? CopyItem{cpVector, nullptr, r.var->vectorOwner} : CopyItem{cpVar, r.var, nullptr};
    for (Scope* f = r.frame; f != r.var->home; f = f->outer->frame) addCopy(f, item);
  }
}

Scope* mkAnalyse(Ctx& c, MethodAst& m, const ClassInfo& ci, std::vector<Loop>& loops) {
  Ana a{c, ci, m, loops, {}, {}, {}, {}, {}, {}, 0};
  Scope* s = newScope(a, nullptr, false, nullptr);
  for (size_t i = 0; i < m.params.size(); i++)
    if (!declare(a, s, m.params[i], vArg, m.paramPos[i])) return nullptr;
  for (size_t i = 0; i < m.temps.size(); i++)
    if (!declare(a, s, m.temps[i], vTemp, m.tempPos[i])) return nullptr;
  if (!m.primError.empty()) {
    bool known = false;
    for (Var* v : s->vars) known = known || v->name == m.primError;
    if (!known && !declare(a, s, m.primError, vTemp, m.primErrorPos)) return nullptr;
  }
  for (Node* st : m.body) visit(a, st, s);
  if (c.failed) return nullptr;
  layOut(a);
  return s;
}
