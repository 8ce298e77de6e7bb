// mkimage: compiler of class sources to the engine's bytecode set; the plain records it answers.
// Owns nothing global; every call works on the records it is given. Prefix mk.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The compiled result is plain data, so that the image builder can turn it into heap objects
// one record at a time:
// - MkLiteral becomes one literal slot: a small integer becomes a SmallInteger; a large one a
//   LargePositiveInteger or LargeNegativeInteger byte object holding `magnitude` (little-endian
//   base-256, normalised); a float a SmallDouble when its exponent fits the immediate, else a
//   Double; a character a Character; a string a String (its bytes); a symbol the interned Symbol;
//   an array an Array of its converted elements; a class reference the class object (for
//   mkLitMeta its metaclass); mkLitSystem the one System instance; a block the heap form of
//   `blocks[block]` of the method that holds the literal.
// - MkMethod becomes a CompiledMethod (or, with isBlock, a block method): named slot 0 a
//   ByteArray holding `bytes` (header byte(s) then the bytecodes), slot 1 the defining class
//   (the metaclass for a class-side method), slot 2 the selector Symbol (for a block method: the
//   home CompiledMethod), then the literals as indexed slots in order. An external method is an
//   ExternalMethod: the same three, then the handle (nil), the flags, the kinds (a ByteArray),
//   the struct argument and result sizes (0), the result class, descriptor and handle table
//   (nil), the C name and the library name (Strings), then the literals.
// - MkClass becomes a class and its metaclass; `methods` go into the class's method dictionary
//   as (selector, method) pairs, `classMethods` into the metaclass's.

enum MkLitKind : uint8_t {
  mkLitNil,
  mkLitTrue,
  mkLitFalse,     // only inside literal arrays
  mkLitSmallInt,  // value in `small`
  mkLitLargeInt,  // sign in `negative`, magnitude bytes in `magnitude`
  mkLitFloat,     // value in `real`
  mkLitChar,      // code point in `small`
  mkLitString,    // bytes in `text`
  mkLitSymbol,    // bytes in `text`
  mkLitArray,     // elements in `elements`
  mkLitClass,     // class named `text`
  mkLitMeta,      // metaclass of the class named `text`
  mkLitSystem,    // the global `system`
  mkLitBlock,     // block method `block` of the owning method
};

struct MkLiteral {
  MkLitKind kind = mkLitNil;        // which of the kinds above
  bool negative = false;            // mkLitLargeInt: sign
  int64_t small = 0;                // mkLitSmallInt value, mkLitChar code point
  double real = 0;                  // mkLitFloat value
  std::string text;                 // string, symbol or class name bytes
  std::vector<uint8_t> magnitude;   // mkLitLargeInt: little-endian base-256 digits
  std::vector<MkLiteral> elements;  // mkLitArray elements
  int block = -1;                   // mkLitBlock: index into MkMethod::blocks
};

// A method declared with `<cCall: 'name' library: 'lib' returns: #type args: #(#type ...)>`
// (optionally `flags: n`): an ExternalMethod running primitive 395. Its kinds are the
// CKinds of the result and the arguments; the type symbols, result first, are also the
// method's last literal, an Array, from which the image's link handler takes struct types.
struct MkCCall {
  std::string name;            // the C function's name
  std::string library;         // the library to open (empty: the program itself)
  std::vector<uint8_t> kinds;  // CKind of the result, then of each argument
  int64_t flags = 0;           // the call's flags
};

struct MkMethod {
  std::string className;            // defining class
  bool classSide = false;           // defined on the class side (metaclass)
  std::string selector;             // selector (the home method's for a block)
  bool isBlock = false;             // a block method (header bit 5)
  int blockNumber = 0;              // blocks: 1-based number within the home method, for listings
  int numArgs = 0;                  // arguments
  int numTemps = 0;                 // temporaries after the arguments (not the copied values)
  int numCopied = 0;                // blocks: copied values taken by the closure
  int frameSize = 0;                // header frame size in words; 0 lets the engine decide
  int primitive = -1;               // primitive number, -1 none
  bool unwind = false;              // unwind-marked (long header bit 3); never a block
  bool external = false;            // an ExternalMethod: cCall describes the C call
  MkCCall cCall;                    // external methods only
  std::vector<uint8_t> bytes;       // the bytecode holder: header then bytecodes
  std::vector<MkLiteral> literals;  // literal frame in slot order
  std::vector<MkMethod> blocks;     // nested block methods referenced by mkLitBlock literals
  int line = 0;                     // source line of the method (block) start
};

struct MkClass {
  std::string name;                    // class name
  std::string superName;               // superclass name; empty for a root (`= nil`)
  std::vector<std::string> instVars;   // own instance variables
  std::vector<std::string> classVars;  // own class-side instance variables
  std::vector<MkMethod> methods;       // instance-side methods in source order
  std::vector<MkMethod> classMethods;  // class-side methods in source order
  std::string file;                    // source file name
  int line = 0;                        // line of the class definition
};

struct MkError {
  std::string file;     // file of the fault
  int line = 0;         // 1-based line
  int column = 0;       // 1-based column
  std::string message;  // text without position
};

struct MkSource {
  std::string name;  // file name as given (used in messages)
  std::string text;  // contents
};

struct MkProgram {
  std::vector<MkClass> classes;  // in definition order
};

// Special selectors: index -> selector and argument count (registry slot 30 holds the same
// pairs). Indices 0-7, 19, 22 and 25 have the roles the translator fixes.
struct MkSpecial {
  const char* selector;  // selector text
  int numArgs;           // argument count
};
extern const MkSpecial mkSpecials[];
extern const int mkNumSpecials;
int mkSpecialIndex(const std::string& selector);  // -1 when not special

// Compile every source into `out`; answers false with the first fault in `err`.
bool mkCompile(const std::vector<MkSource>& sources, MkProgram& out, MkError& err);
std::string mkFormatError(const MkError& err);  // "file:line:column: message"

// Listing of a method (and its blocks) or of a whole program, one instruction a line.
std::string mkListMethod(const MkMethod& m);
std::string mkListProgram(const MkProgram& p);

// Test helper: a method record from raw bytecodes, with the header the engine expects for the
// given counts and flags (long form when any field needs it). Flags are the long header's bits
// 4 (context receiver), 3 (unwind) and 2 (handler); forceLong asks for the long form anyway.
struct MkHeaderFields {
  int numArgs = 0;               // arguments
  int numTemps = 0;              // temporaries
  int frameSize = 0;             // 0, 12 (short form bit 4) or any value (long form)
  bool isBlock = false;          // block method
  bool contextReceiver = false;  // receiver is a context
  bool unwind = false;           // unwind-marked
  bool handler = false;          // exception-handler method
  bool forceLong = false;        // long header even when the short one would do
};
std::vector<uint8_t> mkHeader(const MkHeaderFields& fields);
MkMethod mkAssemble(const MkHeaderFields& fields, const std::vector<uint8_t>& bytecodes,
                    const std::vector<MkLiteral>& literals);
