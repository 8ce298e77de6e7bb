// mkimage: command line: compiles class sources, lists them and builds the kernel heap for an
// image. Owns no globals. Prefix none.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mkCompiler.h"
#include "mkHeap.h"
#include "mman/mmOldSpace.h"

static bool readFile(const char *path, std::string &out) {
  FILE *f = fopen(path, "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// Builds the kernel objects in a fresh old space; the image file itself needs the image
// writer, which is not there yet.
static int writeImage(const MkProgram &program, const std::vector<std::string> &args) {
  oldNewSpaceBoundary = 4096;  // no new space: every object is old
  if (!growOldSpace(int64_t(1) << 20)) {
    fprintf(stderr, "mkimage: no memory for the heap\n");
    return 1;
  }
  MkBuilt built;
  std::string err;
  if (!mkBuildHeap(program, args, built, err)) {
    fprintf(stderr, "mkimage: %s\n", err.c_str());
    return 1;
  }
  fprintf(stderr, "mkimage: the kernel heap was built, but writing image files is not available yet\n");
  return 3;
}

static int usage() {
  fprintf(stderr, "usage: mkimage [--list] [-o image] file.som ... [--args arg ...]\n");
  return 2;
}

int main(int argc, char **argv) {
  bool list = false;
  const char *output = nullptr;
  bool haveArgs = false;
  std::vector<std::string> imageArgs;
  std::vector<MkSource> sources;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--list") == 0) {
      list = true;
    } else if (strcmp(argv[i], "-o") == 0) {
      if (++i >= argc) return usage();
      output = argv[i];
    } else if (strcmp(argv[i], "--args") == 0) {
      haveArgs = true;
      imageArgs.assign(argv + i + 1, argv + argc);  // everything after it belongs to the image
      break;
    } else if (argv[i][0] == '-') {
      return usage();
    } else {
      MkSource s;
      s.name = argv[i];
      if (!readFile(argv[i], s.text)) {
        fprintf(stderr, "mkimage: cannot read %s\n", argv[i]);
        return 1;
      }
      sources.push_back(std::move(s));
    }
  }
  if (sources.empty()) return usage();
  MkProgram program;
  MkError err;
  if (!mkCompile(sources, program, err)) {
    fprintf(stderr, "%s\n", mkFormatError(err).c_str());
    return 1;
  }
  if (list) fputs(mkListProgram(program).c_str(), stdout);
  if (output || haveArgs) return writeImage(program, imageArgs);
  return 0;
}
