// Writes the seed images of the loader fuzz target into a folder: the heap of the in-process
// load tests as a plain, a compressed, an other-byte-order and a demote image.
#include <cstdio>
#include <string>

#include "imageWriter.h"
#include "mman/loadImages.h"
#include "mman/mmImageHeader.h"

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: load_fuzz_seeds folder\n"), 2;
  std::string dir = argv[1];
  buildSpanningHeap();
  std::string why = writeHeapImage(dir + "/plain.im", loadNormal);
  if (why.empty()) why = writeHeapImage(dir + "/gzip.im", loadNormal, gzipForm);
  if (why.empty()) why = writeHeapImage(dir + "/swapped.im", loadNormal, otherOrderForm);
  if (why.empty()) why = writeHeapImage(dir + "/demote.im", loadDemote);
  iwFreeHeap();
  if (!why.empty()) return fprintf(stderr, "%s\n", why.c_str()), 1;
  return 0;
}
