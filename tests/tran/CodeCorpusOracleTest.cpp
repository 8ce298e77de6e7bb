// Emitters against GNU as and objdump (Linux): as assembles each case's text to the bytes the
// generators write, and objdump and disx86_64 read those bytes alike after the normalisation
// below.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../../tools/codecorpus/codeCorpus.h"
#include "tran/disx86_64.h"

namespace {

struct Built {
  std::vector<uint8_t> bytes;
  std::vector<int64_t> starts;  // of each case
  std::string text;
};

Built buildCorpus() {
  Built b;
  std::vector<uint8_t> buf(codeCorpusMaxCaseBytes);
  b.text = "\t.text\n";
  for (int i = 0; i < codeCorpusCount; i++) {
    CorpusSink sink{buf.data(), ""};
    codeCorpus[i].build(sink);
    b.starts.push_back((int64_t)b.bytes.size());
    b.bytes.insert(b.bytes.end(), buf.data(), sink.at);
    b.text += sink.text;
  }
  return b;
}

std::string workDir() {
  std::string dir = std::string(TESSEL_BINARY_DIR) + "/codecorpus-oracle";
  std::string cmd = "mkdir -p '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) return "";
  return dir;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------- normalisation
// 1. objdump's "# target" comments go; runs of blanks become one.
// 2. Condition names: jz/jnz/jpe/jpo (and the set/cmov forms) read as e/ne/p/np.
// 3. An immediate that disx86_64 prints negative equals objdump's unsigned form at the width
//    of objdump's digits (0xffffff80 and -0x80 at 32 bits); others must be equal.

std::string squeeze(std::string s) {
  size_t hash = s.find('#');
  if (hash != std::string::npos) s.erase(hash);
  std::string out;
  for (char c : s) {
    if (c == ' ' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string mnemonicOf(const std::string& s, std::string* rest) {
  size_t sp = s.rfind(' ');
  // Prefix words (data16, lock, rep) stay with the mnemonic.
  std::string m = sp == std::string::npos ? s : s.substr(0, sp);
  *rest = sp == std::string::npos ? "" : s.substr(sp + 1);
  if (rest->empty() || ((*rest)[0] != '%' && (*rest)[0] != '$' && (*rest)[0] != '*' &&
                        (*rest)[0] != '(' && (*rest)[0] != '-' && (*rest)[0] != '0')) {
    *rest = "";
    m = s;
  }
  static const char* const ccs[][2] = {{"z", "e"}, {"nz", "ne"}, {"pe", "p"}, {"po", "np"}};
  static const char* const heads[] = {"j", "set", "cmov"};
  for (const char* h : heads) {
    for (auto cc : ccs) {
      if (m == std::string(h) + cc[0]) m = std::string(h) + cc[1];
    }
  }
  return m;
}

std::vector<std::string> operandsOf(const std::string& s) {
  std::vector<std::string> ops;
  std::string cur;
  int depth = 0;
  for (char c : s) {
    if (c == '(') depth++;
    if (c == ')') depth--;
    if (c == ',' && depth == 0) {
      ops.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) ops.push_back(cur);
  return ops;
}

bool sameImmediate(const std::string& mine, const std::string& theirs) {
  bool negative = mine.size() > 1 && mine[1] == '-';
  uint64_t a = strtoull(mine.c_str() + (negative ? 2 : 1), nullptr, 16);
  uint64_t b = strtoull(theirs.c_str() + 1, nullptr, 16);
  if (!negative) return a == b;
  size_t digits = theirs.size() - 3;  // "$0x" then the digits
  uint64_t mask = digits >= 16 ? ~0ull : (1ull << (4 * digits)) - 1;
  return ((0 - a) & mask) == b;
}

bool sameText(const std::string& mine, const std::string& theirs) {
  std::string restA, restB;
  if (mnemonicOf(mine, &restA) != mnemonicOf(theirs, &restB)) return false;
  std::vector<std::string> a = operandsOf(restA), b = operandsOf(restB);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    bool imm = a[i][0] == '$' && b[i][0] == '$';
    if (imm ? !sameImmediate(a[i], b[i]) : a[i] != b[i]) return false;
  }
  return true;
}

uint64_t corpusBase;
int corpusOffset(char* buf, int size, uint64_t address) {
  snprintf(buf, size, "0x%" PRIx64, address - corpusBase);
  return 1;
}

}  // namespace

TEST(CodeCorpus_Oracle, GnuAsAssemblesEveryTextToTheGeneratedBytes) {
  std::string dir = workDir();
  ASSERT_FALSE(dir.empty());
  Built b = buildCorpus();
  std::ofstream(dir + "/corpus.s") << b.text;
  std::string cmd = "as --64 -o '" + dir + "/corpus.o' '" + dir + "/corpus.s' && objcopy -O binary -j .text '" +
                    dir + "/corpus.o' '" + dir + "/as.bin'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::vector<uint8_t> as = readFile(dir + "/as.bin");
  for (int i = 0; i < codeCorpusCount; i++) {
    int64_t from = b.starts[i];
    int64_t to = i + 1 < codeCorpusCount ? b.starts[i + 1] : (int64_t)b.bytes.size();
    ASSERT_LE(to, (int64_t)as.size()) << codeCorpus[i].name;
    EXPECT_EQ(corpusHex(as.data() + from, to - from), corpusHex(b.bytes.data() + from, to - from))
        << codeCorpus[i].name;
  }
  EXPECT_EQ(as.size(), b.bytes.size());
}

TEST(CodeCorpus_Oracle, ObjdumpAndTheDisassemblerAgree) {
  std::string dir = workDir();
  ASSERT_FALSE(dir.empty());
  Built b = buildCorpus();
  std::ofstream(dir + "/ours.bin", std::ios::binary).write((const char*)b.bytes.data(), (std::streamsize)b.bytes.size());
  std::string cmd = "objdump -D -b binary -mi386:x86-64 '" + dir + "/ours.bin' > '" + dir + "/ours.txt'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(dir + "/ours.txt");
  std::string line;
  corpusBase = (uint64_t)(uintptr_t)b.bytes.data();
  int64_t expectNext = 0;
  int checked = 0;
  while (std::getline(in, line)) {
    size_t t1 = line.find(":\t");
    if (t1 == std::string::npos) continue;
    size_t t2 = line.find('\t', t1 + 2);
    if (t2 == std::string::npos) continue;  // continuation of a long instruction's bytes
    int64_t offset = strtoll(line.c_str(), nullptr, 16);
    ASSERT_EQ(offset, expectNext) << "instruction boundaries differ before " << line;
    char text[200];
    const uint8_t* at = b.bytes.data() + offset;
    const uint8_t* next = disx86_64Text(at, text, sizeof text, nullptr, corpusOffset, disMode64);
    std::string theirs = squeeze(line.substr(t2 + 1)), mine = squeeze(text);
    EXPECT_TRUE(sameText(mine, theirs)) << "at 0x" << std::hex << offset << ": ours \"" << mine
                                        << "\", objdump \"" << theirs << "\"";
    expectNext = next - b.bytes.data();
    checked++;
  }
  EXPECT_EQ(expectNext, (int64_t)b.bytes.size());
  EXPECT_GT(checked, 500);
}
