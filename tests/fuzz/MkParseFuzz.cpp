// libFuzzer target: any class source goes through mkimage's lexer, parser, analysis and
// code generator without a crash, a stack overflow or undefined behaviour: it compiles, or
// it is refused with a positioned message. What compiles is listed as well.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mkCompiler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 200000) return 0;
  MkProgram program;
  MkError err;
  if (mkCompile({{"f.som", std::string(reinterpret_cast<const char*>(data), size)}}, program, err)) {
    mkListProgram(program);
  } else if (err.line < 1 || err.column < 1 || err.message.empty()) {
    abort();  // every refusal says where and what
  }
  return 0;
}
