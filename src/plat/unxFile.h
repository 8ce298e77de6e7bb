// Unix layer: helpers the descriptor-level primitive groups share (failures, descriptors,
// paths). Prefix: none.
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

enum : uint64_t {
  pathCapacity = 4095,               // bytes of a path, the terminating 0 not counted
  openPathCapacity = 4096,           // primitive 1610's
  secondsFrom1901To1970 = 2177452800,
};

oop failCode(uint32_t code, uint64_t numArgs);
oop failErrno(int error, uint64_t numArgs);  // code 9 carrying errno
oop answerServingRequests(oop result);
int descriptorOf(oop holder);  // -1 when slot 1 is no descriptor below max_fds
bool copyPath(oop s, char* buffer, uint64_t capacity);
