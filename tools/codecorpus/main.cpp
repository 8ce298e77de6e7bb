// Test tooling: writes the emitter corpus as assembler text and as bytes, to check by hand
// (as out.s && objcopy -O binary -j .text a.out x.bin && cmp x.bin out.bin).
// With --golden it prints the table rows with the bytes the emitters write now.
#include <cstdio>
#include <cstring>
#include <vector>

#include "codeCorpus.h"

int main(int argc, char** argv) {
  bool golden = argc == 2 && strcmp(argv[1], "--golden") == 0;
  if (argc != 3 && !golden) {
    fprintf(stderr, "usage: codecorpus out.s out.bin | codecorpus --golden\n");
    return 2;
  }
  std::vector<uint8_t> all;
  std::string text = "\t.text\n";
  std::vector<uint8_t> buf(codeCorpusMaxCaseBytes);
  for (int i = 0; i < codeCorpusCount; i++) {
    CorpusSink sink{buf.data(), ""};
    codeCorpus[i].build(sink);
    int64_t n = sink.at - buf.data();
    if (golden && codeCorpus[i].golden != nullptr) printf("{\"%s\", %s, \"%s\"},\n", codeCorpus[i].name, codeCorpus[i].name,
                       corpusHex(buf.data(), n).c_str());
    all.insert(all.end(), buf.data(), buf.data() + n);
    text += "# " + std::string(codeCorpus[i].name) + "\n" + sink.text;
  }
  if (golden) return 0;
  FILE* s = fopen(argv[1], "w");
  FILE* b = fopen(argv[2], "wb");
  if (s == nullptr || b == nullptr) {
    fprintf(stderr, "codecorpus: cannot write the output files\n");
    return 1;
  }
  fputs(text.c_str(), s);
  fwrite(all.data(), 1, all.size(), b);
  fclose(s);
  fclose(b);
  return 0;
}
