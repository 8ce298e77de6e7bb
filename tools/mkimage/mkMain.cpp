// mkimage: command line: compiles class sources and lists them; image writing comes later.
// Owns no globals. Prefix none.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mkCompiler.h"

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

static int usage() {
  fprintf(stderr, "usage: mkimage [--list] [-o image] file.som ... [--args arg ...]\n");
  return 2;
}

int main(int argc, char **argv) {
  bool list = false;
  const char *output = nullptr;
  bool haveArgs = false;
  std::vector<MkSource> sources;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--list") == 0) {
      list = true;
    } else if (strcmp(argv[i], "-o") == 0) {
      if (++i >= argc) return usage();
      output = argv[i];
    } else if (strcmp(argv[i], "--args") == 0) {
      haveArgs = true;
      break;  // everything after it belongs to the image
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
  if (output || haveArgs) {
    fprintf(stderr, "mkimage: writing images is not built yet; use --list\n");
    return 3;
  }
  return 0;
}
