// Test tooling: the emitter corpus. Each case pairs generator calls with the AT&T text that
// GNU as must assemble to the same bytes, and keeps the bytes it must produce (golden, hex).
#pragma once

#include <cstdint>
#include <string>

// What one case writes: code at `at` and, for each instruction, a line of assembler text.
struct CorpusSink {
  uint8_t* at;
  std::string text;
  void line(const char* format, ...);
};

struct CorpusCase {
  const char* name;
  void (*build)(CorpusSink& sink);
  const char* golden;  // the bytes, two hex digits each; null where build addresses are embedded
};

extern const CorpusCase codeCorpus[];
extern const int codeCorpusCount;
// Room one case may need, in bytes.
enum { codeCorpusMaxCaseBytes = 4096 };

// Lower-case hex of n bytes.
std::string corpusHex(const uint8_t* bytes, int64_t n);
