// mkimage: listings: every method's header, literals and bytecodes, one instruction a line
// with its operands decoded from the bytes themselves. Owns no globals. Prefix mk.
#include <cinttypes>
#include <cstdio>

#include "mkCompiler.h"
#include "mkNumber.h"
#include "tran/tbytecodes.h"

// ---------------------------------------------------------------- literals

static std::string quoted(const std::string& s, char q) {
  std::string out(1, q);
  for (char ch : s) {
    if (ch == '\n')
      out += "\\n";
    else if (ch == '\t')
      out += "\\t";
    else if (ch == '\\')
      out += "\\\\";
    else if (ch == q)
      out += std::string(1, q) + q;
    else if ((unsigned char)ch < 32) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", (unsigned char)ch);
      out += buf;
    } else
      out += ch;
  }
  return out + q;
}

static std::string literalText(const MkLiteral& l, const MkMethod* owner = nullptr) {
  char buf[64];
  switch (l.kind) {
    case mkLitNil: return "nil";
    case mkLitTrue: return "true";
    case mkLitFalse: return "false";
    case mkLitSmallInt: snprintf(buf, sizeof buf, "%" PRId64, l.small); return buf;
    case mkLitLargeInt: return (l.negative ? "-" : "") + mkDecimalOf(l.magnitude) + " (large)";
    case mkLitFloat: {
      snprintf(buf, sizeof buf, "%.17g", l.real);
      std::string t = buf;
      if (t.find_first_of(".eni") == std::string::npos) t += ".0";  // keep floats apart from integers
      return t;
    }
    case mkLitChar:
      if (l.small > 32 && l.small < 127)
        snprintf(buf, sizeof buf, "$%c", char(l.small));
      else
        snprintf(buf, sizeof buf, "Character %" PRId64, l.small);
      return buf;
    case mkLitString: return quoted(l.text, '\'');
    case mkLitSymbol: return "#" + l.text;
    case mkLitArray: {
      std::string s = "#(";
      for (size_t i = 0; i < l.elements.size(); i++) s += (i ? " " : "") + literalText(l.elements[i]);
      return s + ")";
    }
    case mkLitClass: return l.text;
    case mkLitMeta: return l.text + " class";
    case mkLitSystem: return "system";
    case mkLitBlock:  // named by the number its listing carries
      snprintf(buf, sizeof buf, "block %d",
               owner && l.block >= 0 && size_t(l.block) < owner->blocks.size()
                   ? owner->blocks[size_t(l.block)].blockNumber
                   : l.block + 1);
      return buf;
  }
  return "?";
}

// ---------------------------------------------------------------- instructions

struct Dec {
  const MkMethod& m;
  const uint8_t* code;  // first bytecode
  size_t n;             // bytecode count
  size_t i;             // position of the opcode
  uint32_t ext[2];      // pending extensions
  int nExt;             // their count
  std::string bad;      // why the encoding is invalid, empty when valid
};

static std::string lit(const Dec& d, uint32_t k) {
  if (k >= d.m.literals.size()) return "literal " + std::to_string(k) + " (missing)";
  return "literal " + std::to_string(k) + " " + literalText(d.m.literals[k], &d.m);
}

static std::string special(uint32_t k) {
  if (int(k) >= mkNumSpecials) return "special " + std::to_string(k) + " (undefined)";
  return "#" + std::string(mkSpecials[k].selector) + " (special " + std::to_string(k) + ")";
}

static std::string sel(const Dec& d, uint32_t k) {
  if (k >= d.m.literals.size() || d.m.literals[k].kind != mkLitSymbol) return lit(d, k);
  return "#" + d.m.literals[k].text;
}

static std::string args(uint32_t n) { return " (" + std::to_string(n) + (n == 1 ? " arg)" : " args)"); }

static uint32_t operand(Dec& d, size_t k) {
  if (d.i + k >= d.n) {
    d.bad = "operand past the end";
    return 0;
  }
  return d.code[d.i + k];
}

// Extension limits: `allowed` prefixes may precede the instruction.
static bool extOk(Dec& d, int allowed) {
  if (d.nExt > allowed) d.bad = "extension prefix not allowed here";
  return d.bad.empty();
}

static std::string jumpText(const char* what, int64_t target) {
  return std::string(what) + " to " + std::to_string(target);
}

// Two-byte-operand instructions F3-FD, read as the bytecode list decodes them.
static std::string decodePair(Dec& d, uint8_t op, size_t& len) {
  len = 3;
  BcValues v = bcDecode(op, operand(d, 1), operand(d, 2), d.ext[0], d.ext[1]);
  uint32_t v1 = uint32_t(v.v1), v2 = uint32_t(v.v2);
  switch (op) {
    case 0xF3: return "send " + sel(d, v2) + args(v1) + ", non-immediate receiver";
    case 0xF4: return "send " + sel(d, v2) + args(v1) + ", no class check";
    case 0xF5: return "push slot " + std::to_string(v2) + " of temp " + std::to_string(v1);
    case 0xF6: return "store into slot " + std::to_string(v2) + " of temp " + std::to_string(v1) + ", pop";
    case 0xF7: return "push full copying block " + lit(d, v1) + ", " + std::to_string(v2) + " copied";
    case 0xFA: return "push copying block " + lit(d, v1) + ", " + std::to_string(v2) + " copied";
    case 0xFC: return "send " + sel(d, v2) + args(v1);
    default: return "super send " + sel(d, v2) + args(v1);
  }
}

static std::string decodeJump(Dec& d, uint8_t op, size_t& len) {
  len = 2;
  uint32_t b = operand(d, 1);
  int64_t after = int64_t(d.i) + 2 + 1;  // 1-based pc of the next instruction
  if (op <= 0xE3) {
    int64_t dist = (4 - (op & 3)) * 256 - int64_t(b) + int64_t(d.ext[0]) * 1024;
    return jumpText("loop end, jump back", after - dist);
  }
  int64_t dist = (op & 3) * 256 + int64_t(b) + int64_t(d.ext[0]) * 1024;
  const char* what = op <= 0xE7 ? "jump" : op <= 0xEB ? "branch if false" : "branch if true";
  return jumpText(what, after + dist);
}

// The one-byte-operand instructions C9-DF and F0-F2, F9.
static std::string decodeByte(Dec& d, uint8_t op, size_t& len) {
  len = 2;
  uint32_t b = operand(d, 1), e = d.ext[0] * 256 + b;
  switch (op) {
    case 0xCB: return "copy values " + std::to_string(b);
    case 0xCC: return "send " + sel(d, b & 31) + args(b >> 5) + ", no class check";
    case 0xCD: return "send " + sel(d, b & 31) + args(b >> 5) + ", non-immediate receiver";
    case 0xCE: return "send " + special(b) + ", non-immediate receiver";
    case 0xCF: return "push full block " + lit(d, e);
    case 0xD0: return "push inst var " + std::to_string(e);
    case 0xD1: return "push temp " + std::to_string(b);
    case 0xD2: return "push " + lit(d, e);
    case 0xD3: return "push " + lit(d, e) + ", send #value (special 25)";
    case 0xD4: return "push new Array of " + std::to_string(e);
    case 0xD5: return "pop " + std::to_string(e) + " into a new Array";
    case 0xD7: return "push Character " + std::to_string(e);
    case 0xD8: return "push SmallInteger " + std::to_string(b);
    case 0xD9: return "push slot " + std::to_string(b & 15) + " of temp " + std::to_string(b >> 4);
    case 0xDA: return "store into inst var " + std::to_string(e);
    case 0xDB: return "pop into temp " + std::to_string(b);
    case 0xDC:
      return "store into slot " + std::to_string(b & 15) + " of temp " + std::to_string(b >> 4) + ", pop";
    case 0xDE: return "non-local return, depth " + std::to_string(e);
    case 0xDF: return "send " + special(b) + ", no class check";
    case 0xF0: return "send " + special(b);
    case 0xF1: return "send " + sel(d, b & 31) + args(b >> 5);
    default: return "super send " + sel(d, b & 31) + args(b >> 5);
  }
}

static std::string decodeInt16(Dec& d, size_t& len) {
  len = 3;
  int64_t v = int16_t(uint16_t(operand(d, 1) << 8 | operand(d, 2)));
  v = v >= 0 ? v + int64_t(d.ext[0]) * 32768 : v - int64_t(d.ext[0]) * 32768;
  return "push SmallInteger " + std::to_string(v);
}

// Instructions without operands (00-C8); invalid bytes set `bad`.
static std::string decodeShort(Dec& d, uint8_t op) {
  static const char* fixed[] = {
      "nop",      "",          "",           "",       "push self", "pop, push self",
      "push nil", "push true", "push false", "push 0", "push 1",    "push 2"};
  auto num = [](int v) { return std::to_string(v); };
  int64_t next = int64_t(d.i) + 2;
  if (op <= 0x0F) return "push inst var " + num(op);
  if (op <= 0x1B) return "push temp " + num(op - 0x10);
  if (op <= 0x2B) return "push " + lit(d, op - 0x1C);
  if (op >= 0x34 && op <= 0x3F) return "push " + lit(d, op - 0x34) + ", send #value (special 25)";
  if (op == 0x40 || (op >= 0x44 && op <= 0x4B)) return fixed[op - 0x40];
  if (op >= 0x4C && op <= 0x53) return "pop into temp " + num(op - 0x4C);
  if (op == 0x54) return "push thisContext";
  if (op == 0x56 || op == 0x57) return "pop, push temp " + num(op - 0x56);
  if (op >= 0x58 && op <= 0x5F) return "store into inst var " + num(op - 0x58);
  if (op == 0x60) return "return self";
  if (op >= 0x62 && op <= 0x65)
    return std::string("return ") + (op == 0x62 ? "nil" : op == 0x63 ? "true" : op == 0x64 ? "false" : "top");
  if (op == 0x66 || op == 0x6A) return "pop";
  if (op == 0x67) return "loop head";
  if (op == 0x68) return "dup";
  if (op == 0x69) return "pop, dup";
  if (op >= 0x6B && op <= 0x6F) return jumpText("jump", next + (op - 0x6A));
  if (op >= 0x70 && op <= 0x7F) return "send " + sel(d, op - 0x70) + args(0);
  if (op >= 0x80 && op <= 0x8F) return "send " + sel(d, op - 0x80) + args(1);
  if (op >= 0x90 && op <= 0x97) return "send " + sel(d, op - 0x90) + args(2);
  if (op >= 0x98 && op <= 0x9F) return "push self, send " + sel(d, op - 0x98) + args(0);
  if (op >= 0xA0 && op <= 0xBF) return "send " + special(op - 0xA0);
  if (op >= 0xC0 && op <= 0xC7) return jumpText("branch if false", next + (op - 0xBF));
  if (op == 0xC8) return "push 1, send " + special(0);
  d.bad = "invalid bytecode";
  return "invalid";
}

// Decodes the instruction at d.i (its prefixes already read) and answers its text and length.
static std::string decodeOne(Dec& d, uint8_t op, size_t& len) {
  len = 1;
  if (!bcInfo[op].valid) {
    d.bad = "invalid bytecode";
    return "invalid";
  }
  extOk(d, bcInfo[op].prefixes);
  if (op <= 0xC8) return decodeShort(d, op);
  if (op >= 0xE0 && op <= 0xEF) return decodeJump(d, op, len);
  if (op == 0xF9) return decodeInt16(d, len);
  if (op >= 0xF3) return decodePair(d, op, len);
  return decodeByte(d, op, len);
}

static void appendLine(std::string& out, const Dec& d, size_t start, size_t end, const std::string& text) {
  char buf[32];
  snprintf(buf, sizeof buf, "  %5zu  ", start + 1);
  std::string hex;
  for (size_t k = start; k < end && k < d.n; k++) {
    char h[4];
    snprintf(h, sizeof h, "%02X ", d.code[k]);
    hex += h;
  }
  while (hex.size() < 16) hex += ' ';
  out += buf + hex + text + (d.bad.empty() ? "" : "  <-- " + d.bad) + "\n";
}

static size_t primitiveSkip(Dec& d, std::string& out) {
  if (d.n < 3 || d.code[0] != 0xFE) return 0;
  size_t len = d.n > 3 && d.code[3] == 0x43 ? 4 : 3;
  d.i = 0;
  appendLine(
      out, d, 0, len,
      "primitive " + std::to_string(d.code[1] << 8 | d.code[2]) + (len == 4 ? ", return point marked" : ""));
  return len;
}

static void listCode(std::string& out, const MkMethod& m, size_t headerBytes) {
  Dec d{m, m.bytes.data() + headerBytes, m.bytes.size() - headerBytes, 0, {0, 0}, 0, ""};
  size_t start = primitiveSkip(d, out);
  for (size_t i = start; i < d.n;) {
    d.i = i;
    uint8_t op = d.code[i];
    if (op == 0xC9 || op == 0xF8) {
      uint32_t v = op == 0xC9 ? operand(d, 1) : operand(d, 1) << 8 | operand(d, 2);
      if (d.nExt == 0) start = i;
      if (d.nExt < 2) d.ext[d.nExt] = v;
      d.nExt++;
      i += op == 0xC9 ? 2 : 3;
      if (d.nExt > 2) d.bad = "third extension prefix";
      if (d.bad.empty() && i < d.n) continue;
      appendLine(out, d, start, i, "extension prefix");
      break;
    }
    if (d.nExt == 0) start = i;
    size_t len = 1;
    std::string text = decodeOne(d, op, len);
    appendLine(out, d, start, i + len, text);
    d.ext[0] = d.ext[1] = 0;
    d.nExt = 0;
    d.bad.clear();
    i += len;
  }
}

static std::string methodTitle(const MkMethod& m) {
  std::string t = m.className + (m.classSide ? " class" : "") + ">>" + m.selector;
  if (m.isBlock) t = "[] in " + t + " (block " + std::to_string(m.blockNumber) + ")";
  return t;
}

std::string mkListMethod(const MkMethod& m) {
  std::string out = methodTitle(m) + "\n";
  size_t headerBytes = !m.bytes.empty() && (m.bytes[0] & 0x80) ? 4 : 1;
  char buf[160];
  std::string hex;
  for (size_t k = 0; k < headerBytes && k < m.bytes.size(); k++) {
    snprintf(buf, sizeof buf, "%s%02X", k ? " " : "", m.bytes[k]);
    hex += buf;
  }
  snprintf(buf, sizeof buf, "  header %s: args %d temps %d frame %d%s%s%s\n", hex.c_str(), m.numArgs,
           m.numTemps, m.frameSize, m.isBlock ? " block" : "", m.unwind ? " unwind" : "",
           m.numCopied ? (" copied " + std::to_string(m.numCopied)).c_str() : "");
  out += buf;
  for (size_t k = 0; k < m.literals.size(); k++)
    out += "  literal " + std::to_string(k) + ": " + literalText(m.literals[k], &m) + "\n";
  if (m.bytes.size() >= headerBytes) listCode(out, m, headerBytes);
  for (const MkMethod& b : m.blocks) out += mkListMethod(b);
  return out;
}

std::string mkListProgram(const MkProgram& p) {
  std::string out;
  for (const MkClass& k : p.classes) {
    out += "class " + k.name + (k.superName.empty() ? " (root)" : " < " + k.superName) + "\n";
    for (const MkMethod& m : k.methods) out += mkListMethod(m);
    for (const MkMethod& m : k.classMethods) out += mkListMethod(m);
  }
  return out;
}
