// mkimage: compilation driver: parses every source, checks the class graph and compiles each
// method. Owns no globals. Prefix mk.
#include "mkAst.h"

Node* mkNewNode(Ctx& c, NodeKind kind, int pos, int line, int col) {
  c.nodes.push_back(std::make_unique<Node>());
  Node* n = c.nodes.back().get();
  n->kind = kind;
  n->pos = pos;
  n->line = line;
  n->col = col;
  return n;
}

void mkFail(Ctx& c, int line, int col, const std::string& message) {
  if (c.failed) return;
  c.failed = true;
  c.err.file = (*c.sources)[size_t(c.file)].name;
  c.err.line = line;
  c.err.column = col;
  c.err.message = message;
}

std::string mkFormatError(const MkError& e) {
  return e.file + ":" + std::to_string(e.line) + ":" + std::to_string(e.column) + ": " + e.message;
}

static const ClassAst* findClass(const Ctx& c, const std::string& name) {
  for (const ClassAst& k : c.classes)
    if (k.name == name) return &k;
  return nullptr;
}

// Every superclass exists, no name is defined twice and the chain ends at a root.
static bool checkClasses(Ctx& c) {
  for (size_t i = 0; i < c.classes.size(); i++) {
    const ClassAst& k = c.classes[i];
    c.file = k.file;
    if (findClass(c, k.name) != &k)
      return mkFail(c, k.line, k.col, "class '" + k.name + "' is defined twice"), false;
    if (k.name == "system") return mkFail(c, k.line, k.col, "'system' cannot name a class"), false;
    if (!k.rootClass && !findClass(c, k.superName))
      return mkFail(c, k.line, k.col, "unknown superclass '" + k.superName + "'"), false;
    const ClassAst* p = &k;
    for (size_t steps = 0; p && !p->rootClass; steps++) {
      if (steps > c.classes.size())
        return mkFail(c, k.line, k.col, "class '" + k.name + "' inherits from itself"), false;
      p = findClass(c, p->superName);
    }
  }
  return true;
}

// Class chain from the root down to k.
static std::vector<const ClassAst*> chain(const Ctx& c, const ClassAst* k) {
  std::vector<const ClassAst*> out;
  for (; k; k = k->rootClass ? nullptr : findClass(c, k->superName)) out.insert(out.begin(), k);
  return out;
}

static bool immediateSide(const Ctx& c, const ClassAst* k) {
  for (const char* name : {"SmallInteger", "Character", "SmallDouble"})
    for (const ClassAst* a : chain(c, findClass(c, name)))
      if (a == k) return true;
  return false;
}

// Instance variables seen by the methods of one side: inherited first. On the class side the
// class object's own fields (those of Class) come before the class-side variables.
static ClassInfo infoFor(const Ctx& c, const ClassAst* k, bool classSide) {
  ClassInfo ci{k, {}, !classSide && immediateSide(c, k), classSide};
  if (classSide) {
    if (const ClassAst* cls = findClass(c, "Class"))
      for (const ClassAst* a : chain(c, cls))
        ci.instVars.insert(ci.instVars.end(), a->instVars.begin(), a->instVars.end());
  }
  for (const ClassAst* a : chain(c, k)) {
    const std::vector<std::string>& vs = classSide ? a->classVars : a->instVars;
    ci.instVars.insert(ci.instVars.end(), vs.begin(), vs.end());
  }
  return ci;
}

static bool checkFields(Ctx& c, const ClassAst& k, const ClassInfo& ci) {
  for (size_t i = 0; i < ci.instVars.size(); i++)
    for (size_t j = i + 1; j < ci.instVars.size(); j++)
      if (ci.instVars[i] == ci.instVars[j])
        return mkFail(c, k.line, k.col, "instance variable '" + ci.instVars[i] + "' is declared twice"),
               false;
  return true;
}

static bool compileClass(Ctx& c, const ClassAst& k, MkClass& out) {
  c.file = k.file;
  out.name = k.name;
  out.superName = k.superName;
  out.instVars = k.instVars;
  out.classVars = k.classVars;
  out.file = (*c.sources)[size_t(k.file)].name;
  out.line = k.line;
  ClassInfo sides[2] = {infoFor(c, &k, false), infoFor(c, &k, true)};
  if (!checkFields(c, k, sides[0]) || !checkFields(c, k, sides[1])) return false;
  for (const MethodAst& m0 : k.methods) {
    MethodAst m = m0;
    std::vector<MkMethod>& list = m.classSide ? out.classMethods : out.methods;
    for (const MkMethod& done : list)
      if (done.selector == m.selector)
        return mkFail(c, m.line, m.col, "method '" + m.selector + "' is defined twice"), false;
    std::vector<Loop> loops;
    Scope* s = mkAnalyse(c, m, sides[m.classSide], loops);
    MkMethod mm;
    if (!s || !mkGenerate(c, m, sides[m.classSide], s, mm)) return false;
    if (m.external) {
      mm.external = true;
      mm.cCall = m.cCall;
      mm.literals.push_back(m.cTypes);
    }
    list.push_back(std::move(mm));
  }
  return true;
}

bool mkCompile(const std::vector<MkSource>& sources, MkProgram& out, MkError& err) {
  Ctx c;
  c.sources = &sources;
  for (size_t i = 0; i < sources.size() && !c.failed; i++)
    if (!mkParseFile(c, int(i)) && !c.failed) mkFail(c, 1, 1, "syntax error");
  if (!c.failed) checkClasses(c);
  for (size_t i = 0; i < c.classes.size() && !c.failed; i++) {
    MkClass k;
    if (compileClass(c, c.classes[i], k)) out.classes.push_back(std::move(k));
  }
  if (c.failed) err = c.err;
  return !c.failed;
}
