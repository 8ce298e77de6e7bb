// mkimage tests: golden listings of the corpus, the kernel and every bytecode form, and
// determinism of the listing and the command line.
#include <cstdio>
#include <cstdlib>

#include "mkTestUtil.h"

// Compares with the golden file; MKIMAGE_UPDATE_GOLDEN=1 rewrites it instead.
static void expectGolden(const std::string& name, const std::string& listing) {
  std::string path = std::string(MKIMAGE_DIR) + "/tests/golden/" + name;
  if (getenv("MKIMAGE_UPDATE_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << listing;
    return;
  }
  std::string golden = readText(path);
  ASSERT_FALSE(golden.empty()) << "missing golden file " << path;
  EXPECT_EQ(golden, listing) << "listing differs from " << path;
}

static std::string listClasses(const MkProgram& p, const std::vector<std::string>& names) {
  MkProgram part;
  for (const std::string& n : names)
    if (const MkClass* k = findClass(p, n)) part.classes.push_back(*k);
  return mkListProgram(part);
}

TEST(MkGolden_Listing, CorpusMatchesGolden) {
  MkProgram p = compileWithKernel(
      {{"corpus/Corpus.som", readText(std::string(MKIMAGE_DIR) + "/tests/corpus/Corpus.som")}});
  expectGolden("Corpus.txt", listClasses(p, {"Corpus"}));
}

TEST(MkGolden_Listing, CaptureCorpusMatchesGolden) {
  MkProgram p = compileWithKernel(
      {{"corpus/Capture.som", readText(std::string(MKIMAGE_DIR) + "/tests/corpus/Capture.som")}});
  expectGolden("Capture.txt", listClasses(p, {"Capture"}));
}

TEST(MkGolden_Listing, KernelMatchesGolden) {
  MkProgram p = compileWithKernel({});
  expectGolden("kernel.txt", mkListProgram(p));
}

// Forms the compiler does not choose for any source, built with the test helper, and header
// variants; the listing decodes each from its bytes.
TEST(MkGolden_Listing, HelperFormsMatchGolden) {
  std::vector<MkLiteral> lits(3);
  lits[0].kind = mkLitClass, lits[0].text = "Foo";
  lits[1].kind = mkLitSymbol, lits[1].text = "bar";
  lits[2].kind = mkLitSmallInt, lits[2].small = 7;
  struct Case {
    MkHeaderFields h;
    std::vector<uint8_t> code;
  } cases[] = {
      {{}, {0x34, 0x3F, 0xD3, 0x02, 0xC9, 0x01, 0xD3, 0x00, 0x66, 0x66, 0x66, 0x65}},
      {{}, {0x40, 0x4A, 0x4B, 0xD5, 0x02, 0x6A, 0x60}},
      {{}, {0xF8, 0x01, 0x00, 0xD5, 0x03, 0x60}},
      {{}, {0xC9, 0x01, 0xF9, 0x80, 0x00, 0xC9, 0xFF, 0xF9, 0x7F, 0xFF, 0x60}},
      {{0, 0, 0, false, false, false, false, true}, {0x44, 0x65}},
      {{1, 1, 12}, {0xFE, 0x00, 0x3C, 0x66, 0x60}},
      {{2, 0, 40, false, true, true, true}, {0xC9, 0x00, 0xC9, 0x01, 0xF3, 0x01, 0x05, 0x65}},
      {{0, 0, 0, true}, {0x49, 0xC9, 0x00, 0xC9, 0x00, 0xF7, 0x00, 0x00, 0x65}},
      {{}, {0xC9, 0x01, 0xC9, 0x01, 0xC9, 0x01, 0x60}},
      {{}, {0xC9, 0x01, 0x44, 0x60}},
      {{}, {0x2C, 0x41, 0x55, 0xCA, 0xD6, 0xDD, 0xFB, 0xFF}},
  };
  std::string out;
  for (const Case& c : cases) out += mkListMethod(mkAssemble(c.h, c.code, lits));
  expectGolden("forms.txt", out);
}

TEST(MkGolden_Determinism, SameInputSameOutput) {
  std::vector<MkSource> extra = {
      {"corpus/Corpus.som", readText(std::string(MKIMAGE_DIR) + "/tests/corpus/Corpus.som")}};
  std::string first = mkListProgram(compileWithKernel(extra));
  std::string second = mkListProgram(compileWithKernel(extra));
  EXPECT_EQ(first, second);
  EXPECT_GT(first.size(), 1000u);
}

TEST(MkGolden_CommandLine, ListsDeterministicallyAndReportsErrors) {
  std::string dir = MKIMAGE_DIR;
  std::string cmd = std::string(MKIMAGE_EXE) + " --list " + dir + "/kernel/*.som " + dir + "/examples/*.som";
  std::string a, b;
  EXPECT_EQ(runCommand(cmd, a), 0);
  EXPECT_EQ(runCommand(cmd, b), 0);
  EXPECT_EQ(a, b);
  EXPECT_NE(a.find("Hello>>run:"), std::string::npos);

  std::string bad = testing::TempDir() + "mk_bad.som";
  std::ofstream(bad) << "Bad = nil (\n  m = ( ^zork := 1 )\n)\n";
  std::string err;
  EXPECT_EQ(runCommand(std::string(MKIMAGE_EXE) + " --list " + bad, err), 1);
  EXPECT_EQ(err, bad + ":2:10: cannot assign to 'zork'\n");
}
