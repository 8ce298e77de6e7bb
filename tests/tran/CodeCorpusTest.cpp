// Emitters: every corpus case writes its golden bytes (all builds, Windows included).
#include <gtest/gtest.h>

#include <vector>

#include "../../tools/codecorpus/codeCorpus.h"

TEST(CodeCorpus_GoldenBytes, EveryCaseWritesItsBytes) {
  std::vector<uint8_t> buf(codeCorpusMaxCaseBytes + 64);
  for (int i = 0; i < codeCorpusCount; i++) {
    // An odd start: the emitters owe nothing to alignment and targets are relative.
    CorpusSink sink{buf.data() + 3, ""};
    codeCorpus[i].build(sink);
    int64_t n = sink.at - (buf.data() + 3);
    ASSERT_LE(n, (int64_t)codeCorpusMaxCaseBytes) << codeCorpus[i].name;
    if (codeCorpus[i].golden == nullptr) continue;  // checked against GNU as only
    EXPECT_EQ(corpusHex(buf.data() + 3, n), codeCorpus[i].golden) << codeCorpus[i].name;
  }
}
