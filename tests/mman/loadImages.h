// Test support: image files of a heap spanning every space, written with the image writer
// (tools/imagewriter), and loading one in process as start-up does.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "mman/mmObject.h"
#include "mman/modelGraph.h"

// Where a node of a placed graph lives.
enum class Place { old1, old2, perm, past, large, fixed1, fixed2 };

// A heap spanning every space: perm and past objects, two old segments, large and fixed
// bodies in two fixed segments (the first body of each under its table's topmost entry),
// byte objects whose bytes the other byte order keeps in units of 1, 2, 4 and 8, and entries
// in both remembered tables. The graph's node 0 is the root, kept in registry slot 3. The
// image has no finalization queue: loading makes one.
struct SpanningHeap {
  ModelGraph graph;
  std::vector<Place> places;
  std::vector<oop> oops;
};
SpanningHeap buildSpanningHeap();
// Enters a weak class in registry slot 26, from which loading makes the finalization queue.
void addWeakArrayClass();
oop loadedRoot();

enum ImageForm : uint32_t { plainForm = 0, gzipForm = 1, otherOrderForm = 2 };
// Writes the current heap as a snapshot of the given kind in the given form; answers "" or
// what failed.
std::string writeHeapImage(const std::string& path, uint32_t kind, ImageForm form = plainForm);

// Reads the header and loads the image in this process; false when the header was refused.
bool loadImageInProcess(const std::string& path);
// Gives back what a load took (the kernel block and the headroom) and clears the globals.
void freeLoadedKernel();

std::string tempImagePath(const char* name);
std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
