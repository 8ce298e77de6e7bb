// mkimage tests: shared helpers for reading sources and compiling them.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mkCompiler.h"

inline std::string readText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs a shell command; answers its exit status (-1 when it did not exit) and appends its
// standard output and error to out.
inline int runCommand(const std::string& cmd, std::string& out) {
  FILE* f = popen((cmd + " 2>&1").c_str(), "r");
  if (!f) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  int status = pclose(f);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::vector<MkSource> kernelSources() {
  static const char* files[] = {"Object", "Nil",   "Boolean", "Class",   "Block", "Integer", "Double",
                                "String", "Array", "System",  "Process", "File",  "Memory"};
  std::vector<MkSource> out;
  for (const char* f : files) {
    std::string path = std::string(MKIMAGE_DIR) + "/kernel/" + f + ".som";
    out.push_back({std::string("kernel/") + f + ".som", readText(path)});
  }
  return out;
}

// Compiles the kernel plus extra sources; fails the test on a compile error.
inline MkProgram compileWithKernel(const std::vector<MkSource>& extra) {
  std::vector<MkSource> all = kernelSources();
  all.insert(all.end(), extra.begin(), extra.end());
  MkProgram p;
  MkError err;
  EXPECT_TRUE(mkCompile(all, p, err)) << mkFormatError(err);
  return p;
}

inline const MkClass* findClass(const MkProgram& p, const std::string& name) {
  for (const MkClass& k : p.classes)
    if (k.name == name) return &k;
  return nullptr;
}

inline const MkMethod* findMethod(const MkProgram& p, const std::string& cls, const std::string& sel) {
  const MkClass* k = findClass(p, cls);
  if (!k) return nullptr;
  for (const MkMethod& m : k->methods)
    if (m.selector == sel) return &m;
  for (const MkMethod& m : k->classMethods)
    if (m.selector == sel) return &m;
  return nullptr;
}

// The bytecodes of a method, without its header.
inline std::vector<uint8_t> codeOf(const MkMethod& m) {
  size_t h = (m.bytes[0] & 0x80) ? 4 : 1;
  return std::vector<uint8_t>(m.bytes.begin() + long(h), m.bytes.end());
}

inline const MkMethod* compileMethod(const std::string& body, MkProgram& p) {
  p = compileWithKernel({{"t.som", "T = ( | f0 | m: x = ( " + body + " ) )"}});
  return findMethod(p, "T", "m:");
}
