// Test support: frames built by hand on segments of the stack zone, for the walkers, the
// scavenger and the collectors: fake native methods and a builder that pushes frames of any
// shape and notes every slot the GC walkers must visit.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "stack/glue.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"

// A fake native method: a header, and a primitive call site whose offset word leads back to it.
struct alignas(16) FakeNMethod {
  NMethodHeader h;
  uint8_t code[216];
};

inline uint64_t frameAddr(const void* p) { return reinterpret_cast<uint64_t>(p); }

inline void makeNMethod(FakeNMethod& nm, uint8_t numArgs, uint64_t vmethod, uint64_t selector) {
  memset(&nm, 0, sizeof nm);
  nm.h.usedSize = sizeof nm;
  nm.h.numArgs = numArgs;
  nm.h.vmethod = vmethod;
  nm.h.selector = selector;
  uint32_t word = 102;  // the failure jump at 100, its offset word at 102
  nm.code[100 - 40] = 0xEB;
  memcpy(nm.code + 102 - 40, &word, 4);
}

// Pushes frames onto a segment, noting the address of every slot the walkers must visit.
struct SegmentBuilder {
  uint64_t* s;
  uint64_t sp, fp;
  std::vector<uint64_t> expected;
  std::vector<uint64_t> fps;  // frames, bottom first
  uint64_t next = 0x1000;     // distinct even values

  explicit SegmentBuilder(uint64_t* seg) : s(seg), sp(seg[shSp]), fp(seg[shFp]) {
    s[shRootSender] = value();
    expected.push_back(frameAddr(s + shRootSender));
  }
  void push(uint64_t v, bool root) {
    sp -= 8;
    *reinterpret_cast<uint64_t*>(sp) = v;
    if (root) expected.push_back(sp);
  }
  uint64_t value() { return next += 16; }
  void frame(FakeNMethod& nm, bool hybrid, int temps, int stackWords) {
    uint32_t n = nm.h.numArgs;
    bool bottom = fp == rootFpOf(s);
    if (n >= 3) {
      if (bottom) {  // the receiver takes the root return word's place, which moves below
        sp += 8;
        push(value(), true);
      } else {
        push(value(), true);
      }
      for (uint32_t i = 0; i + 2 < n; i++) push(value(), true);
      push(rootReturnPC, false);
    } else if (!bottom) {
      push(0x7777, false);  // return pc into the caller
    }
    push(fp, false);
    fp = sp;
    fps.push_back(fp);
    push(hybrid ? value() : 0, false);
    if (hybrid) expected.push_back(fp - 8);
    push(frameAddr(&nm) | (hybrid ? uint64_t(frameHybridBit) : 0), false);
    expected.push_back(frameAddr(&nm.h.vmethod));
    if (nm.h.selector != 0) expected.push_back(frameAddr(&nm.h.selector));
    push(value(), true);  // receiver
    for (uint32_t i = 0; i < n && i < 2; i++) push(value(), true);
    for (int i = 0; i < temps + stackWords; i++) push(value(), true);
  }
  void finish() {
    if (fp != rootFpOf(s)) push(0x8888, false);  // resume pc; an empty segment's sp stays at its root
    s[shSp] = sp;
    s[shFp] = fp;
  }
  // The root slots that lie in the segment itself (not the native methods' fields).
  std::vector<oop*> segmentSlots() const {
    std::vector<oop*> out;
    for (uint64_t a : expected)
      if (a >= frameAddr(s) && a < frameAddr(s + stackSegmentWords)) out.push_back(reinterpret_cast<oop*>(a));
    return out;
  }
};
