// Test tooling: writes an image file that holds only a header, for the demo, the fuzz
// seed corpus and by-hand checks of start-up. Not part of the engine.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mman/mmImageHeader.h"

static int usage() {
  fprintf(stderr,
          "usage: mkheader [--type N] [--subtype N] [--format N] [--policy N] [--swap]\n"
          "                [--herald TEXT] file.im\n");
  return 1;
}

int main(int argc, char** argv) {
  ImageHeader h;
  memset(&h, 0, sizeof h);
  h.imageType = imageType64;
  h.imageSubType = 2;
  h.flags = imageFlagSameOrder;
  h.firstFreeRegistryIndex = 64;
  h.marker = 'D';
  const char* path = nullptr;
  bool swap = false;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (strcmp(a, "--swap") == 0) swap = true;
    else if (v != nullptr && strcmp(a, "--type") == 0) h.imageType = (uint8_t)atoi(v), i++;
    else if (v != nullptr && strcmp(a, "--subtype") == 0) h.imageSubType = (uint8_t)atoi(v), i++;
    else if (v != nullptr && strcmp(a, "--format") == 0) h.fileFormat = (uint8_t)atoi(v), i++;
    else if (v != nullptr && strcmp(a, "--policy") == 0) h.snapshotKind = (uint8_t)atoi(v), i++;
    else if (v != nullptr && strcmp(a, "--herald") == 0)
      snprintf(h.heraldString, sizeof h.heraldString, "%s", v), i++;
    else if (a[0] != '-' && path == nullptr) path = a;
    else return usage();
  }
  if (path == nullptr) return usage();
  if (swap) {
    swapImageHeader(&h);
    h.flags &= (uint8_t)~imageFlagSameOrder;
  }
  sealImageHeader(&h);
  FILE* f = fopen(path, "wb");
  if (f == nullptr || fwrite(&h, sizeof h, 1, f) != 1 || fclose(f) != 0) {
    perror(path);
    return 1;
  }
  return 0;
}
