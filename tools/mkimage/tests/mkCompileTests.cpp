// mkimage tests: compile errors with positions, instruction encodings at their limits, and
// structural checks over everything the kernel and the examples compile to.
#include <map>

#include "mkTestUtil.h"

TEST(MkCompile_Errors, MalformedInputsReportTheirPosition) {
  struct Case {
    const char* source;
    const char* expected;
  } cases[] = {
      {"A = nil ( m = ( ^1 + ) )", "e.som:1:22: expression expected"},
      {"A = nil ( m = ( 'abc ) )", "e.som:1:17: unterminated string"},
      {"A = nil ( m = ( \"abc ) )", "e.som:1:17: unterminated comment"},
      {"A = nil ( m = ( ^#( 1 2", "e.som:1:24: ')' expected to close the literal array"},
      {"A = nil ( m = ( ^[:x x] ) )", "e.som:1:22: '|' expected after block parameters"},
      {"A = nil ( m = ( self := 3 ) )", "e.som:1:17: cannot assign to 'self'"},
      {"A = nil ( m = ( | t t | ) )", "e.som:1:21: 't' is declared twice"},
      {"A = nil ( m = ( <primitive: 70000> ) )", "e.som:1:29: primitive number 0-65535 expected"},
      {"A = nil ( m = ( <primitive: 1> <primitive: 2> ) )", "e.som:1:32: second primitive declaration"},
      {"A = nil ( m = ( <primitive: 1 error: > ) )", "e.som:1:38: error temporary name expected"},
      {"A = nil ( m = ( <unwind> <unwind> ) )", "e.som:1:26: second unwind mark"},
      {"A = nil ( m = ( <cCall: 'f' library: 'l' returns: #huge args: #()> ) )",
       "e.som:1:51: unknown C type #huge"},
      {"A = nil ( m: x = ( <cCall: 'f' library: 'l' returns: #int args: #(#int 3)> ) )",
       "e.som:1:74: type symbol expected"},
      {"A = nil ( m = ( <cCall: 'f' returns: #int args: #()> ) )", "e.som:1:29: 'library:' expected"},
      {"A = nil ( m = ( <cCall: 'f' library: 'l' returns: #int args: #() flags: x> ) )",
       "e.som:1:73: flags number expected"},
      {"A = nil ( m = ( <primitive: 1> <cCall: 'f' library: 'l' returns: #int args: #()> ) )",
       "e.som:1:33: second primitive declaration"},
      {"A = nil ( m = ( <unwind ^1 ) )", "e.som:1:25: '>' expected"},
      {"A = nil ( m = ( ^1 ) m = ( ^2 ) )", "e.som:1:22: method 'm' is defined twice"},
      {"A = B ( )", "e.som:1:1: unknown superclass 'B'"},
      {"A = nil ( ) A = nil ( )", "e.som:1:13: class 'A' is defined twice"},
      {"A = B ( ) B = A ( )", "e.som:1:1: class 'A' inherits from itself"},
      {"A = nil ( | x | ) B = A ( | x | )", "e.som:1:19: instance variable 'x' is declared twice"},
      {"A = nil ( m = ( ^$", "e.som:1:18: character expected after $"},
      {"A = nil ( m = ( ^'a\\q' ) )", "e.som:1:18: unknown escape in string"},
      {"A = nil ( m = ( ^3 foo; ) )", "e.som:1:25: message expected after ';'"},
      {"A = nil ( m = ( ^3; foo ) )", "e.som:1:19: cascade needs a message before ';'"},
      {"A = nil ( m = ( ^1 ^2 ) )", "e.som:1:20: '.' or ')' expected"},
      {"A = nil ( m = ( ^[1 2] ) )", "e.som:1:21: '.' or ']' expected"},
      {"A = nil ( m = ^1 )", "e.som:1:15: '(' expected"},
      {"A = nil ( m ( ) )", "e.som:1:13: '=' expected after the method pattern"},
      {"A = nil ( m = ( ) ", "e.som:1:19: ')' expected to close the class"},
      {"A = nil ( m = ( ^1 ~ ) )", "e.som:1:22: expression expected"},
      {"A = nil ( m = ( ^# ) )", "e.som:1:18: bad symbol"},
      {"A = nil ( m = ( ^x := 1 ) )", "e.som:1:18: cannot assign to 'x'"},
      {"A = nil ( m = ( ^A := 1 ) )", "e.som:1:18: cannot assign to 'A'"},
      {"A = nil ( m = ( system := 1 ) )", "e.som:1:17: cannot assign to 'system'"},
      {"A = nil ( m = ( ^`x ) )", "e.som:1:18: unexpected character"},
  };
  for (const Case& c : cases) {
    MkProgram p;
    MkError err;
    EXPECT_FALSE(mkCompile({{"e.som", c.source}}, p, err)) << c.source;
    EXPECT_EQ(mkFormatError(err), c.expected) << c.source;
  }
  MkProgram p;
  MkError err;
  EXPECT_FALSE(mkCompile({{"e.som", std::string("A = nil ( m = ( ^\0 ) )", 22)}}, p, err));
  EXPECT_EQ(mkFormatError(err), "e.som:1:18: unexpected character");
}

// Literals the image cannot hold as written are refused where they stand.
TEST(MkCompile_Errors, UnrepresentableLiteralsReportTheirPosition) {
  struct Case {
    const char* source;
    const char* expected;  // null: compiles
  } cases[] = {
      {"A = nil ( m = ( ^1.0e400 ) )", "e.som:1:18: float literal out of range"},
      {"A = nil ( m = ( ^-1.0e400 ) )", "e.som:1:19: float literal out of range"},
      {"A = nil ( m = ( ^#(1 2.5e999) ) )", "e.som:1:22: float literal out of range"},
      {"A = nil ( m = ( ^1.0e308 ) )", nullptr},
      {"A = nil ( m = ( ^2r102 ) )", "e.som:1:18: digit outside its radix"},
      {"A = nil ( m = ( ^16r1G ) )", "e.som:1:18: digit outside its radix"},
      {"A = nil ( m = ( ^37r1 ) )", "e.som:1:18: radix must be between 2 and 36"},
      {"A = nil ( m = ( ^1r0 ) )", "e.som:1:18: radix must be between 2 and 36"},
      {"A = nil ( m = ( ^36rZz ) )", nullptr},
  };
  for (const Case& c : cases) {
    MkProgram p;
    MkError err;
    bool ok = mkCompile({{"e.som", c.source}}, p, err);
    EXPECT_EQ(ok, c.expected == nullptr) << c.source;
    if (!ok) { EXPECT_EQ(mkFormatError(err), c.expected ? c.expected : "") << c.source; }
  }
}

// Radix literals give their value; two large integers differing only in sign stay two
// literals.
TEST(MkCompile_Literals, RadixValuesAndSignedLargeIntegers) {
  MkProgram p;
  MkError err;
  ASSERT_TRUE(mkCompile({{"e.som",
                          "A = nil ( m = ( ^#(2r1011 16rFF -8r17 36rz 16r10000000000000000 "
                          "-16r10000000000000000) ) )"}},
                        p, err))
      << mkFormatError(err);
  const MkLiteral& a = p.classes[0].methods[0].literals[0];
  ASSERT_EQ(a.elements.size(), 6u);
  int64_t expected[] = {11, 255, -15, 35};
  for (int i = 0; i < 4; i++) EXPECT_EQ(a.elements[size_t(i)].small, expected[i]) << i;
  EXPECT_EQ(a.elements[4].kind, mkLitLargeInt);
  EXPECT_EQ(a.elements[4].magnitude, std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_FALSE(a.elements[4].negative);
  EXPECT_TRUE(a.elements[5].negative);
  MkProgram q;
  ASSERT_TRUE(mkCompile(
      {{"e.som", "A = nil ( m = ( | a | a := 100000000000000000000. a := -100000000000000000000 ) )"}}, q,
      err));
  int large = 0;
  for (const MkLiteral& l : q.classes[0].methods[0].literals) large += l.kind == mkLitLargeInt;
  EXPECT_EQ(large, 2);
}

// A number in base 256 times a small factor, and its digits in a radix, the plain slow way.
static void multiplySmall(std::vector<uint8_t>& mag, int factor) {
  int carry = 0;
  for (uint8_t& b : mag) {
    int v = b * factor + carry;
    b = uint8_t(v & 255);
    carry = v >> 8;
  }
  while (carry) mag.push_back(uint8_t(carry & 255)), carry >>= 8;
}

static std::string digitsIn(std::vector<uint8_t> mag, int radix) {
  std::string digits;
  while (!mag.empty()) {
    int rem = 0;
    for (size_t i = mag.size(); i-- > 0;) {
      int v = rem * 256 + mag[i];
      mag[i] = uint8_t(v / radix);
      rem = v % radix;
    }
    digits.insert(digits.begin(), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[rem]);
    while (!mag.empty() && mag.back() == 0) mag.pop_back();
  }
  return digits;
}

// Integer literals of thousands of digits, in several radixes, give exactly the number they
// write, and the listing writes it back in decimal: 7^6500 against its digits (whose
// conversions multiply halves of equal and of very different lengths), signed, with leading
// zeros, and with an exponent.
TEST(MkCompile_Literals, LongIntegerLiteralsAreExact) {
  std::vector<uint8_t> power{1};
  for (int i = 0; i < 6500; i++) multiplySmall(power, 7);
  std::vector<uint8_t> sevenE300{7};
  for (int i = 0; i < 300; i++) multiplySmall(sevenE300, 10);
  struct Case {
    std::string literal;
    const std::vector<uint8_t>& magnitude;
    bool negative;
  } cases[] = {
      {digitsIn(power, 10), power, false},
      {"2r" + digitsIn(power, 2), power, false},
      {"16r" + digitsIn(power, 16), power, false},
      {"36r" + digitsIn(power, 36), power, false},
      {"7r1" + std::string(6500, '0'), power, false},
      {"-" + digitsIn(power, 10), power, true},
      {"-16r000" + digitsIn(power, 16), power, true},
      {"7e300", sevenE300, false},
  };
  for (const Case& c : cases) {
    MkProgram p;
    MkError err;
    ASSERT_TRUE(mkCompile({{"e.som", "A = nil ( m = ( ^" + c.literal + " ) )"}}, p, err))
        << mkFormatError(err);
    const MkLiteral& l = p.classes[0].methods[0].literals.at(0);
    EXPECT_EQ(l.kind, mkLitLargeInt) << c.literal.substr(0, 8);
    EXPECT_TRUE(l.magnitude == c.magnitude)
        << c.literal.substr(0, 8) << " " << l.magnitude.size() << " bytes";
    EXPECT_EQ(l.negative, c.negative) << c.literal.substr(0, 8);
    std::string decimal = (c.negative ? "-" : "") + digitsIn(c.magnitude, 10) + " (large)";
    EXPECT_NE(mkListMethod(p.classes[0].methods[0]).find("literal 0: " + decimal + "\n"), std::string::npos);
  }
}

// Every operator character that follows belongs to one binary selector, a minus sign too; a
// minus sign right before digits, where an operand starts, is a negative literal.
TEST(MkCompile_Lexer, OperatorCharactersMakeOneSelector) {
  struct Case {
    const char* expression;
    std::vector<std::string> code;  // the listing's instructions before the return
  } cases[] = {
      {"3-4", {"push SmallInteger 3", "push SmallInteger 4", "send #- (special 1), no class check"}},
      {"3 - -4", {"push SmallInteger 3", "push SmallInteger -4", "send #- (special 1), no class check"}},
      {"3 -4", {"push SmallInteger 3", "push SmallInteger 4", "send #- (special 1), no class check"}},
      {"3--4", {"push SmallInteger 3", "push SmallInteger 4", "send #-- (1 arg), no class check"}},
      {"x-->x", {"push temp 0", "push temp 0", "send #--> (1 arg)"}},
      {"x ->> -1", {"push temp 0", "push SmallInteger -1", "send #->> (1 arg)"}},
      {"x+-1", {"push temp 0", "push 1", "send #+- (1 arg)"}},
      {"#(1 -2 -- ->)", {"push literal 0 #(1 -2 #-- #->)"}},
  };
  for (const Case& c : cases) {
    MkProgram p;
    const MkMethod* m = compileMethod(std::string("^") + c.expression, p);
    ASSERT_NE(m, nullptr) << c.expression;
    std::vector<std::string> code;
    std::istringstream in(mkListMethod(*m));
    for (std::string line; std::getline(in, line);)
      if (line.size() > 25 && isdigit((unsigned char)line[6])) code.push_back(line.substr(25));
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(code.back(), "return top") << c.expression;
    code.pop_back();
    EXPECT_EQ(code, c.code) << c.expression;
  }
  MkProgram p = compileWithKernel(
      {{"t.som", "T = ( -- x = ( ^x ) ->> x = ( ^x ) --> x = ( ^x ) ----- -> x = ( ^x ) )"}});
  const MkClass* t = findClass(p, "T");
  ASSERT_NE(t, nullptr);
  std::vector<std::string> selectors;
  for (const MkMethod& m : t->methods) selectors.push_back(m.selector);
  EXPECT_EQ(selectors, (std::vector<std::string>{"--", "->>", "-->"}));
  ASSERT_EQ(t->classMethods.size(), 1u);
  EXPECT_EQ(t->classMethods[0].selector, "->");
}

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; i++) out += piece;
  return out;
}

std::string method(const std::string& body) { return "A = nil ( m = ( | a | " + body + " ) )"; }

static std::string names(const char* form, int count) {
  std::string out;
  for (int i = 0; i < count; i++) out += std::string(form) + std::to_string(i) + " ";
  return out;
}

static std::string column(const std::string& source, const std::string& piece) {
  return std::to_string(source.find(piece) + 1);
}

// Nesting is bounded with a position; message chains of any length compile, each send in
// order. Arguments and temporaries share one bound per frame, reported at the name that
// passes it; with the operand stack they fill the frame, reported at the expression that
// passes it. Each bound is tried at its limit and one past it.
TEST(MkCompile_Limits, NestingIsBoundedAndChainsAreNot) {
  std::string pattern = names("k: a", 256), params = names(":p", 256), parts = names("k: ", 254);
  std::string pattern256 = "A = nil ( " + pattern + "= ( ) )";
  std::string mixed = "A = nil ( " + names("k: a", 200) + "= ( | " + names("t", 56) + "| ) )";
  std::string block256 = "A = nil ( m = ( ^[" + params + "| 1] ) )";
  std::string blockTemps = "A = nil ( m = ( ^[:x | | " + names("t", 255) + "| 1] ) )";
  std::string send255 = "A = nil ( m: x = ( ^x " + parts + ") )";
  const std::string tooMany = ": too many arguments and temporaries (at most 255)";
  std::string symbols;
  for (int i = 0; i < 4097; i++) symbols += "a := #s" + std::to_string(i) + ". ";
  std::string globals;  // each unknown global adds its name to the literals
  for (int i = 0; i < 4094; i++) globals += "g" + std::to_string(i) + ". ";
  std::string temps;
  for (int i = 0; i < 256; i++) temps += " t" + std::to_string(i);
  struct Case {
    std::string source;
    std::string expected;  // empty: compiles
    size_t minBytes;       // compiles: at least this many bytecode bytes
  } cases[] = {
      {method("^" + repeated("(", 255) + "1" + repeated(")", 255)), "", 1},
      {method("^" + repeated("(", 256) + "1" + repeated(")", 256)), "e.som:1:280: nesting too deep", 0},
      {method("^" + repeated("[", 255) + repeated("]", 255)), "", 1},
      {method("^" + repeated("[", 20000) + repeated("]", 20000)), "e.som:1:280: nesting too deep", 0},
      {method("^#" + repeated("(", 257) + repeated(")", 257)), "e.som:1:280: nesting too deep", 0},
      {method("^" + repeated("a := ", 300) + "1"), "e.som:1:1304: nesting too deep", 0},
      {method("^1" + repeated(" + 1", 50000)), "", 50000},
      {method("^a" + repeated(" abs", 100000)), "", 100000},
      {method("^(a abs; yourself" + repeated(" abs", 50000) + ")"), "", 50000},
      {method(symbols.substr(0, symbols.find("a := #s4096"))), "", 4096},
      {method(symbols),
       "e.som:1:" + std::to_string(23 + symbols.find("#s4096")) +
           ": too many literals in one method (at most 4096)",
       0},
      {"A = nil ( m = ( |" + temps.substr(0, temps.find(" t255")) + " | ) )", "", 1},
      {"A = nil ( m = ( |" + temps + " | ) )", "e.som:1:" + std::to_string(18 + temps.find("t255")) + tooMany,
       0},
      {method(globals.substr(0, globals.find("g4093"))), "", 4093},
      {method(globals),
       "e.som:1:" + std::to_string(23 + globals.find("g4093")) +
           ": too many literals in one method (at most 4096)",
       0},
      {"A = nil ( " + pattern.substr(0, pattern.find("k: a255")) + "= ( ) )", "", 1},
      {pattern256, "e.som:1:" + column(pattern256, "a255") + tooMany, 0},
      {mixed, "e.som:1:" + column(mixed, "t55") + tooMany, 0},
      {"A = nil ( m = ( ^[" + params.substr(0, params.find(":p255")) + "| ] ) )", "", 1},
      {block256, "e.som:1:" + column(block256, "p255") + tooMany, 0},
      {blockTemps, "e.som:1:" + column(blockTemps, "t254") + tooMany, 0},
      {"A = nil ( m: x = ( ^x " + parts.substr(0, parts.find("k: 253")) + ") )", "", 253},
      {send255, "e.som:1:" + column(send255, "253 ") + ": method needs a frame of more than 255 words", 0},
  };
  for (const Case& c : cases) {
    MkProgram p;
    MkError err;
    bool ok = mkCompile({{"e.som", c.source}}, p, err);
    EXPECT_EQ(ok, c.expected.empty()) << c.source.substr(0, 60) << " " << mkFormatError(err);
    if (!ok) {
      EXPECT_EQ(mkFormatError(err), c.expected) << c.source.substr(0, 60);
    } else {
      EXPECT_GE(p.classes[0].methods[0].bytes.size(), c.minBytes) << c.source.substr(0, 60);
    }
  }
}

TEST(MkCompile_Errors, PositionCountsLinesAndTheRightFile) {
  MkProgram p;
  MkError err;
  std::vector<MkSource> src = {{"a.som", "A = nil (\n  m = ( ^1 )\n)\n"},
                               {"b.som", "B = A (\n\n  n = (\n    ^y := 2 ) )\n"}};
  EXPECT_FALSE(mkCompile(src, p, err));
  EXPECT_EQ(mkFormatError(err), "b.som:4:6: cannot assign to 'y'");
}

// Pushing integers: each value takes the shortest form that holds it.
TEST(MkCompile_Encoding, IntegerPushesUseTheShortestForm) {
  struct Case {
    const char* literal;
    std::vector<uint8_t> code;
  } cases[] = {
      {"0", {0x49}},
      {"2", {0x4B}},
      {"3", {0xD8, 0x03}},
      {"255", {0xD8, 0xFF}},
      {"256", {0xF9, 0x01, 0x00}},
      {"-1", {0xF9, 0xFF, 0xFF}},
      {"32767", {0xF9, 0x7F, 0xFF}},
      {"-32768", {0xF9, 0x80, 0x00}},
      {"32768", {0xC9, 0x01, 0xF9, 0x00, 0x00}},
      {"-32769", {0xC9, 0x01, 0xF9, 0xFF, 0xFF}},
      {"-65536", {0xC9, 0x01, 0xF9, 0x80, 0x00}},
      {"2147483647", {0xF8, 0xFF, 0xFF, 0xF9, 0x7F, 0xFF}},
      {"-2147483648", {0xF8, 0xFF, 0xFF, 0xF9, 0x80, 0x00}},
      {"2147483648", {0x1C}},
  };
  for (const Case& c : cases) {
    MkProgram p;
    const MkMethod* m = compileMethod(std::string("^") + c.literal, p);
    ASSERT_NE(m, nullptr);
    std::vector<uint8_t> want = c.code;
    want.push_back(0x65);
    EXPECT_EQ(codeOf(*m), want) << c.literal;
  }
}

// Operands past the short forms: literal sends and pushes, temporaries, fields and blocks.
TEST(MkCompile_Encoding, LargeOperandsTakeLongFormsAndPrefixes) {
  std::string fields, body;
  for (int i = 0; i < 300; i++) fields += " f" + std::to_string(i);
  for (int i = 0; i < 300; i++) body += "x s" + std::to_string(i) + ". ";
  std::string src = "T = ( |" + fields + " | m: x = ( " + body + "^f299 ) n = ( ^f17 ) )";
  MkProgram p = compileWithKernel({{"t.som", src}});
  const MkMethod* m = findMethod(p, "T", "m:");
  ASSERT_NE(m, nullptr);
  std::string l = mkListMethod(*m);
  EXPECT_NE(l.find("70              send #s0 (0 args)"), std::string::npos);
  EXPECT_NE(l.find("F1 10           send #s16 (0 args)"), std::string::npos);
  EXPECT_NE(l.find("FC 00 20        send #s32 (0 args)"), std::string::npos);
  EXPECT_NE(l.find("C9 01 FC 00 2B  send #s299 (0 args)"), std::string::npos);
  EXPECT_NE(l.find("C9 01 D0 2B     push inst var 299"), std::string::npos);
  const MkMethod* n = findMethod(p, "T", "n");
  EXPECT_EQ(codeOf(*n), (std::vector<uint8_t>{0xD0, 17, 0x65}));
}

// A block's literal past 255 takes the first prefix, as the translator reads the block forms
// (the sends' pair forms take the second for their first byte).
TEST(MkCompile_Encoding, BlockLiteralsPastAByteTakeTheFirstPrefix) {
  std::string body;
  for (int i = 0; i < 300; i++) body += "x s" + std::to_string(i) + ". ";
  MkProgram p = compileWithKernel({{"t.som", "T = ( m: x = ( " + body + "^[x] ) )"}});
  const MkMethod* m = findMethod(p, "T", "m:");
  ASSERT_NE(m, nullptr);
  std::string l = mkListMethod(*m);
  EXPECT_NE(l.find("C9 01 FA 2C 01  push copying block literal 300 block"), std::string::npos)
      << l.substr(l.size() - 300);
  EXPECT_EQ(l.find("<--"), std::string::npos);
}

TEST(MkCompile_Encoding, ManyTemporariesUseByteForms) {
  std::string temps, body;
  for (int i = 0; i < 20; i++) temps += " t" + std::to_string(i);
  MkProgram p;
  const MkMethod* m = compileMethod("|" + temps + " | t19 := x. ^t19", p);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->bytes[0], 0x80);  // long header: 20 temporaries
  EXPECT_EQ(m->bytes[1], 1);
  EXPECT_EQ(m->bytes[2], 20);
  EXPECT_EQ(codeOf(*m), (std::vector<uint8_t>{0x10, 0xDB, 20, 0xD1, 20, 0x65}));
}

// A conditional whose arm is larger than 1023 bytes needs the prefixed branch; the loop end
// around it too.
TEST(MkCompile_Encoding, LongJumpsGetExtensionPrefixes) {
  std::string arm;
  for (int i = 0; i < 400; i++) arm += "x foo: 1000. ";
  MkProgram p;
  const MkMethod* m = compileMethod("[x isNil] whileFalse: [x ifTrue: [" + arm + "]]", p);
  ASSERT_NE(m, nullptr);
  std::string l = mkListMethod(*m);
  EXPECT_NE(l.find("C9 01 EF DA     branch if true to 2018"), std::string::npos) << l.substr(0, 600);
  EXPECT_NE(l.find("C9 01 EB D1     branch if false to 2014"), std::string::npos);
  EXPECT_NE(l.find("C9 01 E0 1F     loop end, jump back to 1"), std::string::npos);
  EXPECT_EQ(l.find("<--"), std::string::npos);
}

// Block forms: clean and copying blocks use FA, blocks with a non-local return the full forms.
TEST(MkCompile_Encoding, BlockKindsFollowWhatTheBlockNeeds) {
  struct Case {
    const char* body;
    uint8_t opcode;
    int copied;
  } cases[] = {
      {"^[1]", 0xFA, 0}, {"^[x]", 0xFA, 1}, {"^[x + f0]", 0xFA, 2}, {"^[^1]", 0xCF, 0}, {"^[^x]", 0xF7, 1},
  };
  for (const Case& c : cases) {
    MkProgram p;
    const MkMethod* m = compileMethod(c.body, p);
    ASSERT_NE(m, nullptr);
    std::vector<uint8_t> code = codeOf(*m);
    ASSERT_GE(code.size(), 3u);
    EXPECT_EQ(code[code.size() - (c.opcode == 0xCF ? 3 : 4)], c.opcode) << c.body;
    ASSERT_EQ(m->blocks.size(), 1u);
    EXPECT_EQ(m->blocks[0].numCopied, c.copied) << c.body;
  }
}

// Decodes every method and block of the kernel and the examples and checks the control flow:
// no invalid encoding, every forward target an instruction start, every loop end back at its
// loop head, loops properly nested.
static void checkStructure(const MkMethod& m) {
  std::string l = mkListMethod(m);
  size_t body = l.find('\n');
  EXPECT_EQ(l.find("<--"), std::string::npos) << l;
  std::map<long, std::string> at;
  std::vector<std::pair<long, std::string>> lines;
  std::istringstream in(l.substr(body + 1));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("  ", 0) != 0 || line.size() < 24 || !isdigit((unsigned char)line[6])) {
      if (line.rfind("  ", 0) != 0) break;  // the listing of a nested block starts
      continue;
    }
    long pc = std::stol(line.substr(2, 5));
    at[pc] = line.substr(23);
    lines.push_back({pc, line.substr(23)});
  }
  long end = (long)codeOf(m).size() + 1;
  for (auto& [pc, text] : lines) {
    size_t to = text.find(" to ");
    if (to == std::string::npos ||
        (text.find("jump") == std::string::npos && text.find("branch") == std::string::npos))
      continue;
    long target = std::stol(text.substr(to + 4));
    EXPECT_TRUE(target == end || at.count(target)) << m.selector << " pc " << pc << ": " << text;
    if (text.rfind("loop end", 0) == 0) {
      EXPECT_EQ(at[target], "loop head") << m.selector << " pc " << pc;
      EXPECT_LT(target, pc);
    }
  }
  for (const MkMethod& b : m.blocks) checkStructure(b);
}

TEST(MkCompile_Structure, KernelAndExamplesDecodeCleanly) {
  std::vector<MkSource> ex;
  for (const char* f : {"Hello", "Arithmetic", "Recursion", "Collections", "Blocks", "Errors", "LargeInt",
                        "Processes", "Args", "Sleep", "Files", "Strings", "Unwind"})
    ex.push_back({std::string(f) + ".som", readText(std::string(MKIMAGE_DIR) + "/examples/" + f + ".som")});
  MkProgram p = compileWithKernel(ex);
  int methods = 0;
  for (const MkClass& k : p.classes) {
    for (const MkMethod& m : k.methods) checkStructure(m), methods++;
    for (const MkMethod& m : k.classMethods) checkStructure(m), methods++;
  }
  EXPECT_GT(methods, 200);
}

// The frame size in the header covers arguments, temporaries and the deepest stack.
TEST(MkCompile_Header, DeepExpressionsSetTheFrameSize) {
  MkProgram p;
  const MkMethod* m = compileMethod("^x a: 1 b: 2 c: 3 d: 4 e: 5 f: 6 g: 7 h: 8 i: 9 j: 10 k: 11 l: 12", p);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->bytes[0], 0x80);
  EXPECT_EQ(m->frameSize, 1 + 13);  // the argument, the receiver and twelve arguments
  EXPECT_EQ(m->bytes[3], 14);
  const MkMethod* small = compileMethod("^x + 1", p);
  EXPECT_EQ(small->bytes, (std::vector<uint8_t>{0x04, 0x10, 0xC8, 0x65}));  // short header, no frame size
}

// `<unwind>` before or after the temporaries and the primitive sets the long header's unwind
// bit of the method, never of its blocks; in the kernel only ensure: and ifCurtailed: have it.
TEST(MkCompile_Header, UnwindMarkSetsTheHeaderBit) {
  struct Case {
    const char* body;
    int primitive;
  } cases[] = {
      {"<unwind> ^x", -1},
      {"| t | <unwind> t := x. ^[t] value", -1},
      {"<unwind> <primitive: 60> ^x", 60},
      {"<primitive: 60 error: e> | t | <unwind> ^[^e] value", 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    MkProgram p;
    const MkMethod* m = compileMethod(c.body, p);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->unwind);
    EXPECT_EQ(m->bytes[0] & 0x88, 0x88);  // long header, unwind-marked
    EXPECT_EQ(m->bytes[1], m->numArgs);
    EXPECT_EQ(m->bytes[2], m->numTemps);
    EXPECT_EQ(m->primitive, c.primitive);
    for (const MkMethod& b : m->blocks) EXPECT_EQ(b.bytes[0] & 0x88, b.bytes[0] & 0x80 ? 0x80 : 0);
  }
  MkProgram p;
  const MkMethod* plain = compileMethod("<primitive: 60> ^x", p);
  EXPECT_EQ(plain->bytes[0] & 0x08, 0);
  std::vector<std::string> marked;
  for (const MkClass& k : p.classes)
    for (const MkMethod& m : k.methods)
      if (m.unwind || ((m.bytes[0] & 0x88) == 0x88)) marked.push_back(k.name + ">>" + m.selector);
  EXPECT_EQ(marked, (std::vector<std::string>{"Block>>ensure:", "Block>>ifCurtailed:"}));
}
