// Test support: image files of a test heap, written with the engine's own snapshot writers,
// their gzip and other-byte-order variants, and loading one in process as start-up does.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "mman/mmObject.h"
#include "mman/modelGraph.h"

// Where a node of a placed graph lives.
enum class Place { old1, old2, perm, past, large, fixed1, fixed2 };

// A heap spanning every space: perm and past objects, two old segments, large and fixed
// bodies (the first body of each fixed segment sits under its table's topmost entry), and
// entries in both remembered tables. The graph's node 0 is the root, kept in registry slot 3.
struct SpanningHeap {
  ModelGraph graph;
  std::vector<Place> places;
  std::vector<oop> oops;
};
SpanningHeap buildSpanningHeap();
oop loadedRoot();

// Writes the current heap as a snapshot of the given kind; answers "" or what failed. The
// bodies of byteObjects are written in the form that, once every word of the file is
// reversed (otherOrderImageFile), is how a machine of the other byte order stores them.
std::string writeHeapImage(const std::string& path, uint32_t kind, const std::vector<oop>& byteObjects = {});
// The same image with its body as one gzip member (format byte 1).
void gzipImageFile(const std::string& plain, const std::string& out);
// An image as a machine of the other byte order writes it: header fields and every body
// word reversed, flags bit 0 clear; plain was written with its byte bodies prepared (above).
void otherOrderImageFile(const std::string& plain, const std::string& out);

// Reads the header and loads the image in this process; false when the header was refused.
bool loadImageInProcess(const std::string& path);
// Gives back what a load took (the kernel block and the headroom) and clears the globals.
void freeLoadedKernel();

std::string tempImagePath(const char* name);
std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
