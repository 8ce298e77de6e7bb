// Test support: object graphs built from a description, and a structural comparison of a
// heap against the description (what collectors must preserve).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "mman/mmObject.h"

struct ModelSlot {
  int64_t node;  // index of the referenced node, or -1 for an immediate / nil
  oop value;     // the immediate when node is -1; 0 stands for nil
  static ModelSlot ref(int64_t n) { return {n, 0}; }
  static ModelSlot imm(oop v) { return {-1, v}; }
  static ModelSlot nil() { return {-1, 0}; }
};

struct ModelNode {
  uint32_t classIndex;           // a pointer or byte class of the test heap
  bool inNew;                    // allocate in the stand-in new space
  std::vector<ModelSlot> slots;  // pointer objects
  std::vector<uint8_t> bytes;    // byte objects
  bool perm = false;             // mark the old object as perm
};

typedef std::vector<ModelNode> ModelGraph;

// Allocates every node and stores every slot through the store check; answers the oops.
std::vector<oop> buildModelGraph(const ModelGraph& graph);
// "" when the objects reachable from root match the graph reachable from rootNode in
// classes, sizes, immediates, bytes and the shape of their references; else the first
// difference.
std::string compareWithModel(oop root, const ModelGraph& graph, int64_t rootNode);
