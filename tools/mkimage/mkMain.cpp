// mkimage: command line: compiles class sources, lists them and writes an image of the kernel
// heap built from them. Owns no globals. Prefix none.
#ifndef _WIN32
#include <sys/personality.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mkCompiler.h"
#include "mkHeap.h"

static bool readFile(const char* path, std::string& out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// The heap's addresses go into the image, so the same input gives the same file only when
// the address space is laid out the same way every run: run once more without address
// randomisation. Where that is refused the image is as sound, only not reproducible. The
// Windows program is linked without address randomisation.
static void fixAddressSpace(char** argv) {
#ifdef _WIN32
  (void)argv;
#else
  int now = personality(0xffffffff);
  if (now == -1 || (now & ADDR_NO_RANDOMIZE)) return;
  if (personality(static_cast<unsigned long>(now) | ADDR_NO_RANDOMIZE) == -1) return;
  execv("/proc/self/exe", argv);
  personality(static_cast<unsigned long>(now));  // exec failed: go on as we are
#endif
}

static int usage() {
  fprintf(stderr,
          "usage: mkimage [--list] [-o image] [--registry slot=nil|slot=#selector] [--no-active-process]\n"
          "               [--bad-bytecode Class>>selector] file.som ... [--args arg ...]\n");
  return 2;
}

int main(int argc, char** argv) {
  bool list = false;
  const char* output = nullptr;
  bool haveArgs = false;
  std::vector<std::string> imageArgs;
  std::vector<MkSource> sources;
  MkPatches patches;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--list") == 0) {
      list = true;
    } else if (strcmp(argv[i], "-o") == 0) {
      if (++i >= argc) return usage();
      output = argv[i];
    } else if (strcmp(argv[i], "--registry") == 0) {
      if (++i >= argc || !mkParseRegistryPatch(argv[i], patches)) return usage();
    } else if (strcmp(argv[i], "--no-active-process") == 0) {
      patches.noActiveProcess = true;
    } else if (strcmp(argv[i], "--bad-bytecode") == 0) {
      if (++i >= argc) return usage();
      patches.badBytecodes.push_back(argv[i]);
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
  if (sources.empty() || (haveArgs && output == nullptr)) return usage();  // --args belong to an image
  if (output != nullptr) fixAddressSpace(argv);
  MkProgram program;
  MkError err;
  if (!mkCompile(sources, program, err)) {
    fprintf(stderr, "%s\n", mkFormatError(err).c_str());
    return 1;
  }
  std::string why;
  if (!mkPatchProgram(program, patches, why)) {
    fprintf(stderr, "mkimage: %s\n", why.c_str());
    return 1;
  }
  if (list) fputs(mkListProgram(program).c_str(), stdout);
  if (output == nullptr) return 0;
  if (!mkWriteImage(program, imageArgs, output, why, patches)) {
    fprintf(stderr, "mkimage: %s\n", why.c_str());
    return 1;
  }
  return 0;
}
