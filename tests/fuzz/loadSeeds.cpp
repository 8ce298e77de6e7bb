// Writes the seed images of the loader fuzz target into a folder: the heap of the in-process
// load tests as a plain, a compressed, an other-byte-order and a promote image.
#include <cstdio>
#include <string>

#include "mman/loadImages.h"
#include "mman/mmImageHeader.h"
#include "mman/testHeap.h"

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: load_fuzz_seeds folder\n"), 2;
  std::string dir = argv[1];
  SpanningHeap heap = buildSpanningHeap();
  std::vector<oop> bytes;
  for (size_t i = 0; i < heap.graph.size(); i++)
    if (heap.graph[i].slots.empty()) bytes.push_back(heap.oops[i]);
  std::string why = writeHeapImage(dir + "/plain.im", loadNormal);
  if (why.empty()) why = writeHeapImage(dir + "/reversed.tmp", loadNormal, bytes);
  if (why.empty()) why = writeHeapImage(dir + "/demote.im", loadDemote);
  if (!why.empty()) return fprintf(stderr, "%s\n", why.c_str()), 1;
  gzipImageFile(dir + "/plain.im", dir + "/gzip.im");
  otherOrderImageFile(dir + "/reversed.tmp", dir + "/swapped.im");
  remove((dir + "/reversed.tmp").c_str());
  freeTestHeap();
  return 0;
}
