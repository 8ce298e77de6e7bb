// mkimage: lexer and parser of class definitions (class syntax with Smalltalk-80 bodies).
// Owns no globals; builds ClassAst records in a Ctx. Prefix mk.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "mkAst.h"
#include "mkNumber.h"

// ---------------------------------------------------------------- lexer

enum TokKind : uint8_t {
  tEnd,
  tIdent,
  tKeyword,
  tBinary,
  tNumber,
  tChar,
  tString,
  tSymbol,
  tArrayStart,
  tAssign,
  tColon,
  tLParen,
  tRParen,
  tLBracket,
  tRBracket,
  tCaret,
  tPeriod,
  tSemicolon,
  tSeparator,
  tError,
};

struct Tok {
  TokKind kind = tEnd;
  std::string text;  // identifier, keyword, operator, string or symbol bytes; number text
  int pos = 0, end = 0, line = 1, col = 1;
  uint32_t code = 0;  // tChar code point
};

struct Lexer {
  const std::string* s;
  size_t p = 0;
  int line = 1, col = 1;
};

static int peekc(const Lexer& L, size_t ahead = 0) {
  return L.p + ahead < L.s->size() ? (unsigned char)(*L.s)[L.p + ahead] : -1;
}

static void adv(Lexer& L) {
  if ((*L.s)[L.p] == '\n') {
    L.line++;
    L.col = 1;
  } else if (((unsigned char)(*L.s)[L.p] & 0xC0) != 0x80) {
    L.col++;
  }
  L.p++;
}

static bool isLetter(int ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_'; }
static bool isDigit(int ch) { return ch >= '0' && ch <= '9'; }
static bool isBinaryChar(int ch) { return ch > 0 && strchr("~&|*/\\+=><,@%-!?", ch) != nullptr; }

// Skips blanks and comments; answers false for an unterminated comment.
static bool skipBlanks(Lexer& L, Tok& t) {
  for (;;) {
    int ch = peekc(L);
    if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f') {
      adv(L);
    } else if (ch == '"') {
      t.line = L.line, t.col = L.col;
      adv(L);
      while (peekc(L) != '"') {
        if (peekc(L) < 0) return false;
        adv(L);
      }
      adv(L);
    } else {
      return true;
    }
  }
}

static uint32_t readCodePoint(Lexer& L) {
  int ch = peekc(L);
  int n = ch < 0x80 ? 0 : ch < 0xE0 ? 1 : ch < 0xF0 ? 2 : 3;
  uint32_t code = n == 0 ? uint32_t(ch) : uint32_t(ch & (0x3F >> n));
  adv(L);
  for (int i = 0; i < n && peekc(L) >= 0 && (peekc(L) & 0xC0) == 0x80; i++) {
    code = code << 6 | uint32_t(peekc(L) & 0x3F);
    adv(L);
  }
  return code;
}

// A quoted string with '' and backslash escapes; the opening quote is current.
static bool lexString(Lexer& L, Tok& t) {
  adv(L);
  for (;;) {
    int ch = peekc(L);
    if (ch < 0) return false;
    adv(L);
    if (ch == '\'') {
      if (peekc(L) != '\'') return true;
      adv(L);
      t.text += '\'';
    } else if (ch == '\\') {
      int e = peekc(L);
      if (e < 0) return false;
      adv(L);
      const char *from = "ntrbf0\\'", *to = "\n\t\r\b\f\0\\'";
      const char* hit = strchr(from, e);
      if (!hit) {
        t.text = "unknown escape in string";
        t.kind = tError;
        return true;
      }
      t.text += to[hit - from];
    } else {
      t.text += char(ch);
    }
  }
}

static int digitValue(int ch) {
  if (isDigit(ch)) return ch - '0';
  if (ch >= 'A' && ch <= 'Z') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 10;
  return -1;
}

// `16r1F`: the radix in decimal, then digits and letters; a digit the radix does not have
// is an error at the literal, never the start of a unary send.
static void lexRadixDigits(Lexer& L, Tok& t) {
  int radix = atoi(t.text.c_str());
  t.text += 'r', adv(L);
  if (t.text.size() > 3 || radix < 2 || radix > 36) {
    t.kind = tError, t.text = "radix must be between 2 and 36";
    return;
  }
  while (digitValue(peekc(L)) >= 0) {
    if (digitValue(peekc(L)) >= radix) {
      t.kind = tError, t.text = "digit outside its radix";
      return;
    }
    t.text += char(peekc(L)), adv(L);
  }
}

static void lexNumber(Lexer& L, Tok& t) {
  while (isDigit(peekc(L))) t.text += char(peekc(L)), adv(L);
  t.kind = tNumber;
  if (peekc(L) == 'r' && digitValue(peekc(L, 1)) >= 0) return lexRadixDigits(L, t);
  if (peekc(L) == '.' && isDigit(peekc(L, 1))) {
    t.text += '.', adv(L);
    while (isDigit(peekc(L))) t.text += char(peekc(L)), adv(L);
  }
  if (peekc(L) == 'e' && (isDigit(peekc(L, 1)) || (peekc(L, 1) == '-' && isDigit(peekc(L, 2))))) {
    t.text += 'e', adv(L);
    if (peekc(L) == '-') t.text += '-', adv(L);
    while (isDigit(peekc(L))) t.text += char(peekc(L)), adv(L);
  }
}

static void lexWord(Lexer& L, Tok& t, bool symbol) {
  while (isLetter(peekc(L)) || isDigit(peekc(L)) || (symbol && peekc(L) == ':'))
    t.text += char(peekc(L)), adv(L);
  if (!symbol && peekc(L) == ':' && peekc(L, 1) != '=') {
    t.text += ':', adv(L);
    t.kind = tKeyword;
  } else {
    t.kind = symbol ? tSymbol : tIdent;
  }
}

static void lexHash(Lexer& L, Tok& t) {
  adv(L);
  int ch = peekc(L);
  if (ch == '(') {
    adv(L);
    t.kind = tArrayStart;
  } else if (isLetter(ch)) {
    lexWord(L, t, true);
  } else if (ch == '\'') {
    t.kind = lexString(L, t) ? (t.kind == tError ? tError : tSymbol) : tError;
    if (t.kind == tError && t.text.empty()) t.text = "unterminated string";
  } else if (isBinaryChar(ch)) {
    while (isBinaryChar(peekc(L))) t.text += char(peekc(L)), adv(L);
    t.kind = tSymbol;
  } else {
    t.kind = tError;
    t.text = "bad symbol";
  }
}

static bool lexPunct(Lexer& L, Tok& t, int ch) {
  static const char punct[] = "()[]^.;";
  static const TokKind kinds[] = {tLParen, tRParen, tLBracket, tRBracket, tCaret, tPeriod, tSemicolon};
  const char* hit = ch > 0 ? strchr(punct, ch) : nullptr;  // a NUL byte is no punctuation
  if (!hit) return false;
  adv(L);
  t.kind = kinds[hit - punct];
  return true;
}

static void lexOne(Lexer& L, Tok& t) {
  int ch = peekc(L);
  if (ch < 0)
    t.kind = tEnd;
  else if (isLetter(ch))
    lexWord(L, t, false);
  else if (isDigit(ch))
    lexNumber(L, t);
  else if (ch == '$') {
    adv(L);
    if (peekc(L) < 0)
      t.kind = tError, t.text = "character expected after $";
    else
      t.kind = tChar, t.code = readCodePoint(L);
  } else if (ch == '\'') {
    if (!lexString(L, t))
      t.kind = tError, t.text = "unterminated string";
    else if (t.kind != tError)
      t.kind = tString;
  } else if (ch == '#')
    lexHash(L, t);
  else if (ch == ':') {
    adv(L);
    if (peekc(L) == '=')
      adv(L), t.kind = tAssign;
    else
      t.kind = tColon;
  } else if (ch == '-' && peekc(L, 1) == '-' && peekc(L, 2) == '-' && peekc(L, 3) == '-') {
    while (peekc(L) == '-') adv(L);
    t.kind = tSeparator;
  } else if (isBinaryChar(ch)) {
    // Every operator character that follows belongs to the selector, a minus sign too
    // (`-->`, `3--4` sends `--`); a negative literal is a lone `-` before its digits.
    while (isBinaryChar(peekc(L))) t.text += char(peekc(L)), adv(L);
    t.kind = tBinary;
  } else if (!lexPunct(L, t, ch)) {
    t.kind = tError;
    t.text = "unexpected character";
  }
}

static void lexNext(Lexer& L, Tok& t) {
  t = Tok();
  if (!skipBlanks(L, t)) {
    t.kind = tError;
    t.text = "unterminated comment";
    return;
  }
  t.pos = int(L.p), t.line = L.line, t.col = L.col;
  lexOne(L, t);
  t.end = int(L.p);
}

// ---------------------------------------------------------------- numbers

// Digits in radix to a little-endian base-256 magnitude.
static std::vector<uint8_t> magnitudeOf(const std::string& text, int radix) {
  std::vector<uint8_t> digits;
  for (char d : text) digits.push_back(uint8_t(digitValue((unsigned char)d)));
  return mkMagnitudeOf(digits, radix);
}

// Integer literal: a SmallInteger when -2^60 <= v <= 2^60-1, else a LargeInteger.
static MkLiteral integerLiteral(std::vector<uint8_t> mag, bool negative) {
  MkLiteral l;
  while (!mag.empty() && mag.back() == 0) mag.pop_back();
  uint64_t v = 0;
  bool fits = mag.size() <= 8;
  for (size_t i = 0; fits && i < mag.size(); i++) v |= uint64_t(mag[i]) << (8 * i);
  uint64_t limit = uint64_t(1) << 60;
  if (fits && (negative ? v <= limit : v < limit)) {
    l.kind = mkLitSmallInt;
    l.small = negative ? -int64_t(v) : int64_t(v);
    return l;
  }
  l.kind = mkLitLargeInt;
  l.negative = negative;
  l.magnitude = mag;
  return l;
}

// A number token's value; false for a float that a double cannot hold (it would become an
// infinity).
static bool numberLiteral(const std::string& text, bool negative, MkLiteral& l) {
  size_t r = text.find('r');
  if (r != std::string::npos) {
    l = integerLiteral(magnitudeOf(text.substr(r + 1), atoi(text.c_str())), negative);
    return true;
  }
  size_t e = text.find('e');
  std::string mant = e == std::string::npos ? text : text.substr(0, e);
  long exp = e == std::string::npos ? 0 : strtol(text.c_str() + e + 1, nullptr, 10);
  if (mant.find('.') == std::string::npos && exp >= 0 && exp < 10000) {
    l = integerLiteral(magnitudeOf(mant + std::string(size_t(exp), '0'), 10), negative);
    return true;
  }
  l = MkLiteral();
  l.kind = mkLitFloat;
  l.real = strtod(text.c_str(), nullptr);
  if (negative) l.real = -l.real;
  return std::isfinite(l.real);
}

// ---------------------------------------------------------------- parser

// Nesting (parentheses, blocks, literal arrays, assignments) is bounded so that neither the
// parser nor the passes after it can run out of stack; chains of unary, binary and keyword
// messages are parsed and walked iteratively and are not bounded.
enum { maxNesting = 256 };

// Literals of one method, its blocks and selectors included, are counted while parsing so
// that an oversized method is refused at the literal that passes the bound, long before its
// object would be built; the frame's named fields (arguments and temporaries) at the name.

struct Parser {
  Ctx& c;
  Lexer L;
  Tok tok, ahead;
  int depth = 0;                             // nesting of the expression being parsed
  size_t frameArgs = 0;                      // arguments of the frame whose temporaries are read
  std::unordered_set<std::string> literals;  // the current method's literals and selectors
  Parser(Ctx& ctx, const std::string& text) : c(ctx) {
    L.s = &text;
    lexNext(L, tok);
    lexNext(L, ahead);
  }
};

static void next(Parser& P) {
  P.tok = P.ahead;
  lexNext(P.L, P.ahead);
}

static bool fail(Parser& P, const std::string& msg) {
  if (P.tok.kind == tError)
    mkFail(P.c, P.tok.line, P.tok.col, P.tok.text);
  else
    mkFail(P.c, P.tok.line, P.tok.col, msg);
  return false;
}

static bool isBin(const Parser& P, const char* op) { return P.tok.kind == tBinary && P.tok.text == op; }

static Node* node(Parser& P, NodeKind k) { return mkNewNode(P.c, k, P.tok.pos, P.tok.line, P.tok.col); }

static bool expect(Parser& P, TokKind k, const char* what) {
  if (P.tok.kind != k) return fail(P, std::string(what) + " expected");
  next(P);
  return true;
}

// Fails at the current name when a frame already holds `held` named fields.
static bool roomForName(Parser& P, size_t held) {
  if (held < maxFrameNames) return true;
  return fail(P, "too many arguments and temporaries (at most " + std::to_string(maxFrameNames) + ")");
}

// `| a b |` (or `||`); the current token is the opening bar.
static bool parseNames(Parser& P, std::vector<std::string>& names, std::vector<int>* pos) {
  if (isBin(P, "||")) {
    next(P);
    return true;
  }
  next(P);
  while (P.tok.kind == tIdent) {
    if (pos && !roomForName(P, names.size() + P.frameArgs)) return false;
    names.push_back(P.tok.text);
    if (pos) pos->push_back(P.tok.pos);
    next(P);
  }
  if (!isBin(P, "|")) return fail(P, "'|' expected after names");
  next(P);
  return true;
}

static Node* parseExpression(Parser& P);
static bool parseStatements(Parser& P, std::vector<Node*>& out, TokKind closer);

// Adds a literal or selector to the current method's set by its key (kind, then text);
// fails at the current token once the method holds more than its bytecodes can reach.
static bool noteLiteral(Parser& P, char kind, const std::string& text) {
  P.literals.insert(kind + text);
  if (P.literals.size() <= maxMethodLiterals) return true;
  return fail(P, "too many literals in one method (at most " + std::to_string(maxMethodLiterals) + ")");
}

static bool noteSelector(Parser& P, const std::string& selector) {
  return mkSpecialIndex(selector) >= 0 || noteLiteral(P, 's', selector);
}

// Enters one level of nesting, failing at the current token past the bound.
static bool enter(Parser& P) {
  if (++P.depth <= maxNesting) return true;
  return fail(P, "nesting too deep");
}

static Node* literalNode(Parser& P, MkLiteral lit) {
  std::string key = lit.text;
  if (lit.kind == mkLitLargeInt)
    key.assign(lit.magnitude.begin(), lit.magnitude.end()), key += lit.negative ? '-' : '+';
  if (lit.kind == mkLitFloat) key.assign((const char*)&lit.real, sizeof lit.real);
  if (lit.kind == mkLitSmallInt) key = std::to_string(lit.small);
  bool counted =
      lit.kind == mkLitChar || (lit.kind == mkLitSmallInt && lit.small >= -32768 && lit.small < 32768);
  if (!counted && !noteLiteral(P, char('A' + lit.kind), key)) return nullptr;
  Node* n = node(P, nLiteral);
  n->lit = std::move(lit);
  next(P);
  return n;
}

static bool parseArrayElement(Parser& P, MkLiteral& out);

static bool parseArrayBody(Parser& P, MkLiteral& arr) {
  arr.kind = mkLitArray;
  if (!enter(P)) return false;
  next(P);
  while (P.tok.kind != tRParen) {
    if (P.tok.kind == tEnd) return fail(P, "')' expected to close the literal array");
    MkLiteral el;
    if (!parseArrayElement(P, el)) return false;
    arr.elements.push_back(std::move(el));
  }
  P.depth--;
  next(P);
  return true;
}

static bool negativeAhead(const Parser& P) {
  return isBin(P, "-") && P.ahead.kind == tNumber && P.ahead.pos == P.tok.end;
}

static bool parseArrayElement(Parser& P, MkLiteral& el) {
  Tok& t = P.tok;
  if (negativeAhead(P) || t.kind == tNumber) {
    bool negative = negativeAhead(P);
    if (negative) next(P);
    if (!numberLiteral(P.tok.text, negative, el)) return fail(P, "float literal out of range");
  } else if (t.kind == tChar)
    el.kind = mkLitChar, el.small = t.code;
  else if (t.kind == tString)
    el.kind = mkLitString, el.text = t.text;
  else if (t.kind == tSymbol || t.kind == tBinary)
    el.kind = mkLitSymbol, el.text = t.text;
  else if (t.kind == tArrayStart || t.kind == tLParen)
    return parseArrayBody(P, el);
  else if (t.kind == tIdent) {
    el.kind = t.text == "nil"     ? mkLitNil
              : t.text == "true"  ? mkLitTrue
              : t.text == "false" ? mkLitFalse
                                  : mkLitSymbol;
    el.text = el.kind == mkLitSymbol ? t.text : "";
  } else if (t.kind == tKeyword) {
    el.kind = mkLitSymbol;
    el.text = t.text;
    while (P.ahead.kind == tKeyword && P.ahead.pos == P.tok.end) next(P), el.text += P.tok.text;
  } else {
    return fail(P, "literal expected in literal array");
  }
  next(P);
  return true;
}

static Node* parseBlock(Parser& P) {
  Node* b = node(P, nBlock);
  next(P);
  while (P.tok.kind == tColon) {
    next(P);
    if (P.tok.kind != tIdent) return fail(P, "block parameter name expected"), nullptr;
    if (!roomForName(P, b->params.size())) return nullptr;
    b->params.push_back(P.tok.text);
    b->paramPos.push_back(P.tok.pos);
    next(P);
  }
  if (!b->params.empty()) {
    if (isBin(P, "||")) {
      P.tok.text = "|";  // `[:x || t |`: the second bar opens the temporaries
    } else if (isBin(P, "|")) {
      next(P);
    } else if (P.tok.kind != tRBracket) {
      return fail(P, "'|' expected after block parameters"), nullptr;
    }
  }
  P.frameArgs = b->params.size();
  if ((isBin(P, "|") || isBin(P, "||")) && !parseNames(P, b->temps, &b->tempPos)) return nullptr;
  if (!parseStatements(P, b->args, tRBracket)) return nullptr;
  b->end = P.tok.pos;
  next(P);
  return b;
}

static Node* parseVariable(Parser& P) {
  static const char* names[] = {"self", "super", "thisContext", "nil", "true", "false"};
  static const NodeKind kinds[] = {nSelf, nSuper, nThisContext, nNil, nTrue, nFalse};
  for (int i = 0; i < 6; i++)
    if (P.tok.text == names[i]) {
      Node* n = node(P, kinds[i]);
      next(P);
      return n;
    }
  Node* n = node(P, nVar);
  n->name = P.tok.text;
  bool global = n->name[0] >= 'A' && n->name[0] <= 'Z';  // a class name: one more literal
  if (global && !noteLiteral(P, 'g', n->name)) return nullptr;
  next(P);
  return n;
}

static Node* parsePrimary(Parser& P) {
  Tok& t = P.tok;
  if (t.kind == tIdent) return parseVariable(P);
  MkLiteral l;
  if (negativeAhead(P) || t.kind == tNumber) {
    bool negative = negativeAhead(P);
    if (negative) next(P);
    if (!numberLiteral(P.tok.text, negative, l)) return fail(P, "float literal out of range"), nullptr;
    return literalNode(P, l);
  }
  if (t.kind == tChar) return l.kind = mkLitChar, l.small = t.code, literalNode(P, l);
  if (t.kind == tString) return l.kind = mkLitString, l.text = t.text, literalNode(P, l);
  if (t.kind == tSymbol) return l.kind = mkLitSymbol, l.text = t.text, literalNode(P, l);
  if (t.kind == tArrayStart) {
    Node* n = node(P, nLiteral);
    if (!parseArrayBody(P, n->lit)) return nullptr;
    return noteLiteral(P, 'a', std::to_string(n->pos)) ? n : nullptr;  // each array is its own literal
  }
  if (t.kind == tLBracket) return parseBlock(P);
  if (t.kind == tLParen) {
    next(P);
    Node* e = parseExpression(P);
    if (!e || !expect(P, tRParen, "')'")) return nullptr;
    return e;
  }
  fail(P, "expression expected");
  return nullptr;
}

static Node* send(Parser& P, Node* recv, const Tok& at, std::string sel) {
  Node* s = mkNewNode(P.c, nSend, at.pos, at.line, at.col);
  s->recv = recv;
  s->name = std::move(sel);
  return s;
}

static Node* parseUnaryTail(Parser& P, Node* r) {
  while (r && P.tok.kind == tIdent) {
    if (!noteSelector(P, P.tok.text)) return nullptr;
    r = send(P, r, P.tok, P.tok.text);
    next(P);
  }
  return r;
}

static Node* parseBinaryTail(Parser& P, Node* r) {
  r = parseUnaryTail(P, r);
  while (r && P.tok.kind == tBinary) {
    if (!noteSelector(P, P.tok.text)) return nullptr;
    Node* s = send(P, r, P.tok, P.tok.text);
    next(P);
    Node* arg = parseUnaryTail(P, parsePrimary(P));
    if (!arg) return nullptr;
    s->args.push_back(arg);
    r = s;
  }
  return r;
}

// The keyword parts of the send s: each keyword joins its selector, each argument its args.
static Node* parseKeywordParts(Parser& P, Node* s) {
  while (P.tok.kind == tKeyword) {
    s->name += P.tok.text;
    next(P);
    Node* arg = parseBinaryTail(P, parsePrimary(P));
    if (!arg) return nullptr;
    s->args.push_back(arg);
  }
  return noteSelector(P, s->name) ? s : nullptr;
}

static Node* parseKeywordTail(Parser& P, Node* r) {
  r = parseBinaryTail(P, r);
  if (!r || P.tok.kind != tKeyword) return r;
  return parseKeywordParts(P, send(P, r, P.tok, ""));
}

// The first message of a cascade part, with a null receiver, then the rest of its chain.
static Node* parseCascadePart(Parser& P) {
  Node* s = send(P, nullptr, P.tok, P.tok.kind == tKeyword ? "" : P.tok.text);
  if (P.tok.kind != tKeyword && !noteSelector(P, P.tok.text)) return nullptr;
  if (P.tok.kind == tIdent) {
    next(P);
    return parseKeywordTail(P, s);
  }
  if (P.tok.kind == tBinary) {
    next(P);
    Node* arg = parseUnaryTail(P, parsePrimary(P));
    if (!arg) return nullptr;
    s->args.push_back(arg);
    return parseKeywordTail(P, s);
  }
  return parseKeywordParts(P, s);
}

// Cascade parts are message chains on the cascade receiver, which they reach as a null
// innermost receiver.
static Node* parseCascade(Parser& P, Node* first) {
  if (first->kind != nSend) return fail(P, "cascade needs a message before ';'"), nullptr;
  Node* c = mkNewNode(P.c, nCascade, first->pos, first->line, first->col);
  // The cascade receiver is the receiver of the last message of the first part.
  c->recv = first->recv;
  first->recv = nullptr;
  c->args.push_back(first);
  while (P.tok.kind == tSemicolon) {
    next(P);
    if (P.tok.kind != tIdent && P.tok.kind != tBinary && P.tok.kind != tKeyword)
      return fail(P, "message expected after ';'"), nullptr;
    Node* part = parseCascadePart(P);
    if (!part) return nullptr;
    c->args.push_back(part);
  }
  return c;
}

static Node* parseNestedExpression(Parser& P) {
  if (P.tok.kind == tIdent && P.ahead.kind == tAssign) {
    for (const char* w : {"self", "super", "thisContext", "nil", "true", "false"})
      if (P.tok.text == w) return fail(P, "cannot assign to '" + P.tok.text + "'"), nullptr;
    Node* a = node(P, nAssign);
    a->name = P.tok.text;
    next(P);
    next(P);
    a->recv = parseExpression(P);
    return a->recv ? a : nullptr;
  }
  Node* e = parseKeywordTail(P, parsePrimary(P));
  if (e && P.tok.kind == tSemicolon) return parseCascade(P, e);
  return e;
}

// Every parenthesis, block statement and assigned value is one level deeper.
static Node* parseExpression(Parser& P) {
  if (!enter(P)) return nullptr;
  Node* e = parseNestedExpression(P);
  P.depth--;
  return e;
}

static bool parseStatements(Parser& P, std::vector<Node*>& out, TokKind closer) {
  for (;;) {
    while (P.tok.kind == tPeriod) next(P);
    if (P.tok.kind == closer) return true;
    Node* s;
    if (P.tok.kind == tCaret) {
      s = node(P, nReturn);
      next(P);
      s->recv = parseExpression(P);
      if (!s->recv) return false;
    } else {
      s = parseExpression(P);
      if (!s) return false;
    }
    out.push_back(s);
    if (P.tok.kind != tPeriod && P.tok.kind != closer)
      return fail(P, closer == tRParen ? "'.' or ')' expected" : "'.' or ']' expected");
  }
}

// ---------------------------------------------------------------- external methods

// The CKind of a C type symbol of the cCall: pragma, -1 for none.
static int cKindOfType(const std::string& type) {
  static const struct {
    const char* name;
    int kind;
  } types[] = {
      {"char", 0},    {"uchar", 1}, {"short", 2},     {"ushort", 3},     {"int", 4},         {"uint", 5},
      {"long", 6},    {"ulong", 7}, {"float", 8},     {"double", 9},     {"longdouble", 10}, {"pointer", 13},
      {"object", 15}, {"void", 18}, {"longlong", 24}, {"ulonglong", 25}, {"bool", 26},       {"errno", 32},
  };
  if (type.rfind("struct:", 0) == 0 && type.size() > 7) return 17;
  for (const auto& t : types)
    if (type == t.name) return t.kind;
  return -1;
}

// A type symbol of the pragma; adds its kind and the symbol itself.
static bool cTypeTo(Parser& P, const std::string& type, MethodAst& m) {
  int kind = cKindOfType(type);
  if (kind < 0) return fail(P, "unknown C type #" + type);
  m.cCall.kinds.push_back(uint8_t(kind));
  MkLiteral l;
  l.kind = mkLitSymbol;
  l.text = type;
  m.cTypes.elements.push_back(l);
  return true;
}

static bool pragmaString(Parser& P, const char* keyword, std::string& out) {
  if (P.tok.kind != tKeyword || P.tok.text != keyword)
    return fail(P, std::string("'") + keyword + "' expected");
  next(P);
  if (P.tok.kind != tString) return fail(P, "string expected");
  out = P.tok.text;
  next(P);
  return true;
}

// `<cCall: 'name' library: 'lib' returns: #type args: #(#type ...) flags: n>`, flags optional;
// the current token is `cCall:`. The method becomes an ExternalMethod running primitive 395
// whose fall-back code answers the error.
static bool parseCCall(Parser& P, MethodAst& m) {
  if (m.primitive >= 0) return fail(P, "second primitive declaration");
  m.external = true;
  m.primitive = 395;
  m.primError = "cCallError";
  m.primErrorPos = P.tok.pos;
  m.cTypes.kind = mkLitArray;
  if (!pragmaString(P, "cCall:", m.cCall.name) || !pragmaString(P, "library:", m.cCall.library)) return false;
  if (P.tok.kind != tKeyword || P.tok.text != "returns:") return fail(P, "'returns:' expected");
  next(P);
  if (P.tok.kind != tSymbol || !cTypeTo(P, P.tok.text, m))
    return P.c.failed ? false : fail(P, "type symbol expected");
  next(P);
  if (P.tok.kind != tKeyword || P.tok.text != "args:") return fail(P, "'args:' expected");
  next(P);
  MkLiteral args;
  if (P.tok.kind != tArrayStart || !parseArrayBody(P, args))
    return P.c.failed ? false : fail(P, "type array expected");
  for (const MkLiteral& a : args.elements)
    if (a.kind != mkLitSymbol || !cTypeTo(P, a.text, m))
      return P.c.failed ? false : fail(P, "type symbol expected");
  if (P.tok.kind == tKeyword && P.tok.text == "flags:") {
    next(P);
    // Decimal, or radix 2-36 as in 16r40.
    const std::string& t = P.tok.text;
    size_t r = t.find('r');
    int radix = r == std::string::npos ? 10 : atoi(t.substr(0, r).c_str());
    std::string digits = r == std::string::npos ? t : t.substr(r + 1);
    char* end = nullptr;
    long long flags =
        P.tok.kind == tNumber && radix >= 2 && radix <= 36 && !digits.empty() && digits.size() <= 18
            ? strtoll(digits.c_str(), &end, radix)
            : -1;
    if (flags < 0 || end == nullptr || *end != 0 || (r != std::string::npos && r > 2))
      return fail(P, "flags number expected");
    m.cCall.flags = flags;
    next(P);
  }
  if (!isBin(P, ">")) return fail(P, "'>' expected");
  next(P);
  return true;
}

// `<primitive: N>`, `<primitive: N error: name>`, `<unwind>` or `<cCall: ...>`; the current
// token is the `<`.
static bool parsePrimitive(Parser& P, MethodAst& m) {
  if (P.ahead.kind == tKeyword && P.ahead.text == "cCall:") {
    next(P);
    return parseCCall(P, m);
  }
  if (P.ahead.kind == tIdent && P.ahead.text == "unwind") {
    if (m.unwind) return fail(P, "second unwind mark");
    m.unwind = true;
    next(P);
    next(P);
    if (!isBin(P, ">")) return fail(P, "'>' expected");
    next(P);
    return true;
  }
  if (m.primitive >= 0) return fail(P, "second primitive declaration");
  next(P);
  if (P.tok.kind != tKeyword || P.tok.text != "primitive:") return fail(P, "'primitive:' expected");
  next(P);
  if (P.tok.kind != tNumber || P.tok.text.find_first_not_of("0123456789") != std::string::npos ||
      P.tok.text.size() > 5 || atoi(P.tok.text.c_str()) > 65535)
    return fail(P, "primitive number 0-65535 expected");
  m.primitive = atoi(P.tok.text.c_str());
  next(P);
  if (P.tok.kind == tKeyword && P.tok.text == "error:") {
    next(P);
    if (P.tok.kind != tIdent) return fail(P, "error temporary name expected");
    m.primError = P.tok.text;
    m.primErrorPos = P.tok.pos;
    next(P);
  }
  if (!isBin(P, ">")) return fail(P, "'>' expected");
  next(P);
  return true;
}

static bool parsePattern(Parser& P, MethodAst& m) {
  m.line = P.tok.line, m.col = P.tok.col, m.pos = P.tok.pos;
  auto param = [&P, &m]() {
    if (P.tok.kind != tIdent) return fail(P, "argument name expected");
    if (!roomForName(P, m.params.size())) return false;
    m.params.push_back(P.tok.text);
    m.paramPos.push_back(P.tok.pos);
    next(P);
    return true;
  };
  if (P.tok.kind == tIdent) {
    m.selector = P.tok.text;
    next(P);
  } else if (P.tok.kind == tBinary) {
    m.selector = P.tok.text;
    next(P);
    if (!param()) return false;
  } else if (P.tok.kind == tKeyword) {
    while (P.tok.kind == tKeyword) {
      m.selector += P.tok.text;
      next(P);
      if (!param()) return false;
    }
  } else {
    return fail(P, "method pattern expected");
  }
  return true;
}

static bool parseMethod(Parser& P, MethodAst& m) {
  P.literals.clear();
  P.depth = 0;
  if (!parsePattern(P, m)) return false;
  if (!isBin(P, "=")) return fail(P, "'=' expected after the method pattern");
  next(P);
  if (!expect(P, tLParen, "'('")) return false;
  for (int i = 0; i < 3; i++) {
    P.frameArgs = m.params.size();
    if ((isBin(P, "|") || isBin(P, "||")) && !parseNames(P, m.temps, &m.tempPos)) return false;
    if (isBin(P, "<") && !parsePrimitive(P, m)) return false;
  }
  if (!parseStatements(P, m.body, tRParen)) return false;
  if (m.external && m.body.empty()) {  // the fall-back answers the error
    Node* r = node(P, nReturn);
    r->recv = node(P, nVar);
    r->recv->name = m.primError;
    m.body.push_back(r);
  }
  m.literalCount = int(P.literals.size()) + (m.external ? 1 : 0);
  next(P);
  return true;
}

static bool parseSide(Parser& P, ClassAst& k, std::vector<std::string>& vars, bool classSide) {
  if ((isBin(P, "|") || isBin(P, "||")) && !parseNames(P, vars, nullptr)) return false;
  while (P.tok.kind != tRParen && P.tok.kind != tSeparator) {
    if (P.tok.kind == tEnd) return fail(P, "')' expected to close the class");
    MethodAst m;
    m.classSide = classSide;
    if (!parseMethod(P, m)) return false;
    k.methods.push_back(std::move(m));
  }
  return true;
}

static bool parseClass(Parser& P) {
  ClassAst k;
  k.file = P.c.file;
  k.line = P.tok.line, k.col = P.tok.col;
  if (P.tok.kind != tIdent) return fail(P, "class name expected");
  k.name = P.tok.text;
  next(P);
  if (!isBin(P, "=")) return fail(P, "'=' expected after the class name");
  next(P);
  if (P.tok.kind == tIdent) {
    k.rootClass = P.tok.text == "nil";
    k.superName = k.rootClass ? "" : P.tok.text;
    next(P);
  } else {
    k.superName = "Object";
  }
  if (!expect(P, tLParen, "'('")) return false;
  if (!parseSide(P, k, k.instVars, false)) return false;
  if (P.tok.kind == tSeparator) {
    next(P);
    if (!parseSide(P, k, k.classVars, true)) return false;
  }
  if (!expect(P, tRParen, "')'")) return false;
  P.c.classes.push_back(std::move(k));
  return true;
}

bool mkParseFile(Ctx& c, int file) {
  c.file = file;
  Parser P(c, (*c.sources)[size_t(file)].text);
  while (P.tok.kind != tEnd)
    if (!parseClass(P)) return false;
  return true;
}

void mkLineCol(const std::string& text, int pos, int& line, int& col) {
  line = 1, col = 1;
  for (int i = 0; i < pos && i < int(text.size()); i++) {
    if (text[size_t(i)] == '\n')
      line++, col = 1;
    else if ((text[size_t(i)] & 0xC0) != 0x80)
      col++;
  }
}
