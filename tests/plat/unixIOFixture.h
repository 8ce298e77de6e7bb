// Test support for the Unix socket and child-process tests: a fresh I/O test heap with the
// descriptor-level groups registered, the engine's signal dispositions put back afterwards,
// and the registry indices of the socket-address and I/O-accessor classes forgotten (the
// previous heap's slots mean nothing in the next).
#pragma once
#include <gtest/gtest.h>

#include <signal.h>
#include <vector>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxMain.h"
#include "support/ioKernel.h"

class UnixIOTest : public testing::Test {
 protected:
  struct sigaction savedActions[65];
  void SetUp() override {
    for (int s = 1; s <= 64; s++) sigaction(s, nullptr, &savedActions[s]);
    newIOTestHeap();
    sa_classX = ioa_classX = -1;
    initNewIO();
  }
  void TearDown() override {
    for (int s = 1; s <= 64; s++)
      if (s != SIGKILL && s != SIGSTOP) sigaction(s, &savedActions[s], nullptr);
    sa_classX = ioa_classX = -1;
    freeTestHeap();
  }
  static FailureInfo failure(uint32_t number, oop receiver, const std::vector<oop>& args) {
    return failureOf(callPrimitive(number, receiver, args));
  }
  static oop bytesOf(const void* bytes, uint64_t n) {
    oop o = newOldObject(testClasses.bytes, n);
    memcpy(bodyOf(headerOf(o)), bytes, n);
    return o;
  }
  // The two descriptors of a pair primitive's answer (656 pipe, 652/654 loopback pair).
  static bool newPair(uint32_t number, int* first, int* second) {
    PrimOutcome pair = callPrimitive(number, nilOop(), {});
    if (pair.failed) return false;
    *first = (int)smallIntegerValue(slotOf(pair.result, 0));
    *second = (int)smallIntegerValue(slotOf(pair.result, 1));
    return true;
  }
  static oop arrayOf(const std::vector<oop>& slots) {
    oop a = newOldObject(classIndexArray, slots.size());
    for (uint64_t i = 0; i < slots.size(); i++) bodyOf(headerOf(a))[i] = slots[i];
    return a;
  }
};
