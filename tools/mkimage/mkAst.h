// mkimage: syntax trees, scopes and variables shared by the parser, the analysis and the
// code generator. Owns no globals. Prefix mk (internal).
#pragma once
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "mkCompiler.h"

enum NodeKind : uint8_t {
  nLiteral,
  nVar,
  nSelf,
  nSuper,
  nThisContext,
  nNil,
  nTrue,
  nFalse,
  nAssign,
  nSend,
  nCascade,
  nBlock,
  nReturn,
};

// Control structures compiled as jumps instead of sends.
enum InlineKind : uint8_t {
  inNone,
  inIfTrue,
  inIfFalse,
  inIfTrueIfFalse,
  inIfFalseIfTrue,
  inAnd,
  inOr,
  inWhileTrue,
  inWhileFalse,
  inWhileTrueUnary,
  inWhileFalseUnary,
  inToDo,
  inToByDo,
  inTimesRepeat,
  inIfNil,
  inIfNotNil,
  inIfNilIfNotNil,
  inIfNotNilIfNil,
};

struct Scope;
struct Var;

struct Node {
  NodeKind kind = nNil;                    // what the node is
  int pos = 0;                             // byte offset in the file (orders references)
  int line = 0, col = 0;                   // position for messages
  int end = 0;                             // blocks: offset of the closing bracket
  std::string name;                        // variable name or selector
  MkLiteral lit;                           // nLiteral value
  Node* recv = nullptr;                    // send/cascade receiver, assigned or returned value
  std::vector<Node*> args;                 // send arguments; cascade messages; block statements
  std::vector<std::string> params, temps;  // block parameters and temporaries
  std::vector<int> paramPos, tempPos;      // their offsets
  Scope* scope = nullptr;                  // block: its scope
  Var* var = nullptr;                      // nVar / nAssign: the variable
  InlineKind inl = inNone;                 // nSend: inlined control structure
  Var* hidden = nullptr;                   // to:do: limit, timesRepeat: counter
  Var* hidden2 = nullptr;                  // timesRepeat: limit
  Var* counter = nullptr;                  // to:do: whose parameter is assigned: the loop's own counter
};

struct MethodAst {
  std::string selector;                    // selector
  std::vector<std::string> params, temps;  // arguments and temporaries
  std::vector<int> paramPos, tempPos;      // their offsets
  int primitive = -1;                      // primitive number or -1
  bool unwind = false;                     // `<unwind>`: runs its blocks when a return passes it
  bool external = false;                   // `<cCall: ...>`: primitive 395 with the call below
  MkCCall cCall;                           // its C call
  MkLiteral cTypes;                        // its type symbols (result first), an Array
  std::string primError;                   // name of the error temporary, empty for none
  int primErrorPos = 0;                    // its offset
  std::vector<Node*> body;                 // statements
  int line = 0, col = 0, pos = 0;          // start of the pattern
  bool classSide = false;                  // defined after the separator
  int literalCount = 0;                    // literals and selectors the parser counted
};

struct ClassAst {
  std::string name, superName;  // superName empty: Object; "nil": a root
  bool rootClass = false;       // `Name = nil (`
  std::vector<std::string> instVars, classVars;
  std::vector<MethodAst> methods;
  int line = 0, col = 0;
  int file = 0;  // index of the source
};

// vGlobal: a name that is no variable and no class, looked up when the code runs.
enum VarKind : uint8_t { vArg, vTemp, vInst, vClass, vSystem, vGlobal };

// Uses, assignments, declarations and loops are ordered by the analysis's clock, which
// counts them in the order the code evaluates them: an assignment counts after its value, so
// a block that the assignment stores sees the assignment as a later write.
struct Var {
  std::string name;               // source name (empty for hidden temporaries)
  VarKind kind = vTemp;           // what it is
  Scope* home = nullptr;          // frame that holds it (args, temps)
  Scope* scope = nullptr;         // scope that declares it (null for hidden temporaries)
  int declPos = 0;                // clock at its declaration
  int slot = -1;                  // frame slot (arguments first); an argument keeps its slot
  int index = -1;                 // instance variable index; slot in the temp vector when remote
  bool remote = false;            // lives in a temp vector (shared with blocks)
  Scope* vectorOwner = nullptr;   // remote: the scope whose temp vector holds it
  bool writtenElsewhere = false;  // assigned from another frame
  std::vector<int> writes;        // clocks of assignments in its own frame
  std::vector<int> captures;      // clocks of uses from other frames
};

// What a block's closure copies, in closure order.
enum CopyKind : uint8_t { cpSelf, cpVar, cpVector };
struct CopyItem {
  CopyKind kind;    // self, a variable's value, or a temp vector
  Var* var;         // cpVar
  Scope* vectorOf;  // cpVector: the scope owning the vector
};

// A temp vector belongs to a frame, made at its entry, or to an inlined block inside a loop,
// made each time the block is entered, so that every pass has variables of its own as a real
// block's activation would.
struct Scope {
  Scope* outer = nullptr;        // lexically enclosing scope
  Scope* frame = nullptr;        // the real frame this scope's variables live in
  bool inlined = false;          // an inlined block (shares its frame)
  bool loopPart = false;         // inlined: a condition or body of an inlined loop
  Node* block = nullptr;         // block node, null for the method
  std::vector<Var*> vars;        // declared here
  std::vector<Var*> remoteVars;  // variables in this scope's temp vector
  Var* vectorVar = nullptr;      // hidden temporary holding the temp vector
  // Frame fields (valid when frame == this):
  int blockDepth = 0;            // 0 method, 1 block in the method, ...
  std::vector<Var*> locals;      // every variable held in this frame (args first)
  int numArgs = 0;               // arguments
  std::vector<CopyItem> copies;  // blocks: copied values
  bool needsFull = false;        // blocks: contains a non-local return
};

struct Loop {
  int start, end;  // clocks of the repeated region, end excluded
};

// Bounds shared by the parser and the analysis: literals and selectors of one method with
// its blocks, and the named fields (arguments and temporaries) of one frame.
enum { maxMethodLiterals = 4096, maxFrameNames = 255 };

// Per-compilation state shared by the phases.
struct Ctx {
  const std::vector<MkSource>* sources = nullptr;
  std::vector<ClassAst> classes;
  std::vector<std::unique_ptr<Node>> nodes;
  std::vector<std::unique_ptr<Scope>> scopes;
  std::vector<std::unique_ptr<Var>> vars;
  MkError err;
  bool failed = false;
  int file = 0;  // current source
};

Node* mkNewNode(Ctx& c, NodeKind kind, int pos, int line, int col);
void mkFail(Ctx& c, int line, int col, const std::string& message);
bool mkParseFile(Ctx& c, int file);  // adds to c.classes
void mkLineCol(const std::string& text, int pos, int& line, int& col);

// Analysis of one method: inlining, scopes, capture, remote variables, slots.
struct ClassInfo {
  const ClassAst* ast;
  std::vector<std::string> instVars;  // all, inherited first (class side: Class's and class-side)
  bool immediateSide;                 // self may be an immediate (ancestor of an immediate class)
  bool classSide;
};
Scope* mkAnalyse(Ctx& c, MethodAst& m, const ClassInfo& ci, std::vector<Loop>& loops);
bool mkGenerate(Ctx& c, MethodAst& m, const ClassInfo& ci, Scope* method, MkMethod& out);
