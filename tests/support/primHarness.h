// Test support: calls a registered C primitive with a receiver and arguments as the glue
// does (a pending primitive in the save area of a running segment) and reads its answer or
// its failure (error object and argument count from the save area, or, after a commit, as
// the built frame's failure hands them over).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "mman/mmObject.h"

struct PrimOutcome {
  bool failed;       // the primitive called failPrimitive
  oop result;        // its answer when it did not fail
  oop errorOop;      // the error object handed to failPrimitive
  uint64_t numArgs;  // the argument count handed to failPrimitive
  bool afterCommit;  // it failed after committing (from its built frame)
};

PrimOutcome callPrimitive(uint32_t number, oop receiver, std::initializer_list<oop> args);
// The compiled method the calling frame belongs to, for primitives that turn it into a
// context; 0 (no method) unless a test sets it.
extern oop harnessFrameMethod;
// The same with the arguments in a vector (tables of cases); up to 8 arguments, or 12.
PrimOutcome callPrimitive(uint32_t number, oop receiver, const std::vector<oop>& args);
// A variable-argument primitive (the calling method is harnessFrameMethod); up to 16 arguments.
PrimOutcome callVarArgPrimitive(uint32_t number, oop receiver, const std::vector<oop>& args);
// The same on a segment of the stack zone (allocated, current for the call) in place of the
// harness's own, for primitives that suspend and resume the active context.
PrimOutcome callPrimitiveOn(uint64_t* segment, uint32_t number, oop receiver, const std::vector<oop>& args);
