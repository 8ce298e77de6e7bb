// Test support: model object graphs.
#include "mman/modelGraph.h"

#include <cinttypes>
#include <cstring>
#include <map>

#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

std::vector<oop> buildModelGraph(const ModelGraph& graph) {
  std::vector<oop> oops;
  for (const ModelNode& n : graph) {
    bool ptrs = (classFormatOf(classAt(n.classIndex)) & formatPointers) != 0;
    uint64_t size = ptrs ? n.slots.size() : n.bytes.size();
    oop o = n.inNew ? newNewObject(n.classIndex, size) : newOldObject(n.classIndex, size);
    if (!ptrs && !n.bytes.empty()) memcpy(bodyOf(headerOf(o)), n.bytes.data(), n.bytes.size());
    if (n.perm) makePerm(o);
    oops.push_back(o);
  }
  for (size_t i = 0; i < graph.size(); i++)
    for (size_t s = 0; s < graph[i].slots.size(); s++) {
      const ModelSlot& m = graph[i].slots[s];
      oop v = m.node >= 0 ? oops[m.node] : (m.value == 0 ? nilOop() : m.value);
      storeSlot(oops[i], s, v, __FILE__, __LINE__);
    }
  return oops;
}

namespace {

struct Matcher {
  const ModelGraph& graph;
  std::map<int64_t, oop> nodeToOop;
  std::map<oop, int64_t> oopToNode;
  std::string difference;

  bool fail(const char* what, int64_t node) {
    char line[160];
    snprintf(line, sizeof line, "node %" PRId64 ": %s", node, what);
    difference = line;
    return false;
  }

  bool match(oop o, int64_t node) {
    auto seen = nodeToOop.find(node);
    if (seen != nodeToOop.end()) return seen->second == o || fail("reached as two objects", node);
    if (oopToNode.count(o)) return fail("object shared where the model has two nodes", node);
    nodeToOop[node] = o;
    oopToNode[o] = node;
    const ModelNode& n = graph[node];
    ObjectHeader* h = headerOf(o);
    if (classTagOf(h) != n.classIndex) return fail("class differs", node);
    if (!hasPtrs(h)) {
      if (byteSizeOf(h) != n.bytes.size()) return fail("byte size differs", node);
      if (!n.bytes.empty() && memcmp(bodyOf(h), n.bytes.data(), n.bytes.size()) != 0)
        return fail("bytes differ", node);
      return true;
    }
    if (bodyWordsOf(h) != n.slots.size()) return fail("slot count differs", node);
    for (size_t s = 0; s < n.slots.size(); s++) {
      oop v = bodyOf(h)[s];
      const ModelSlot& m = n.slots[s];
      if (m.node < 0) {
        if (v != (m.value == 0 ? nilOop() : m.value)) return fail("immediate or nil slot differs", node);
      } else if (!isHeapObject(v) || v == nilOop() || !match(v, m.node)) {
        return difference.empty() ? fail("reference slot differs", node) : false;
      }
    }
    return true;
  }
};

}  // namespace

std::string compareWithModel(oop root, const ModelGraph& graph, int64_t rootNode) {
  Matcher m{graph, {}, {}, {}};
  m.match(root, rootNode);
  return m.difference;
}
