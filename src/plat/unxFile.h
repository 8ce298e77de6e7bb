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
oop failCarrying(uint32_t code, int64_t value, uint64_t numArgs);  // a copy carrying value
oop failErrno(int error, uint64_t numArgs);  // code 9 carrying errno
oop answerServingRequests(oop result);
int descriptorOf(oop holder);       // -1 when slot 1 is no descriptor below max_fds
int smallDescriptorOf(oop holder);  // -1 when slot 1 is no SmallInteger in 0 .. 2^31-1
// A string as a C string of at most capacity bytes (buffer: capacity + 1); false for no
// string, a longer one, or one holding a zero byte.
bool copyPath(oop s, char* buffer, uint64_t capacity);
bool hasArrayFormat(oop o);      // a pointer object whose class has Array's format
bool hasByteArrayFormat(oop o);  // a ByteArray, or of a class with ByteArray's format
// The bytes [start - 1, start - 1 + count) of a byte object, *n := count; null when the
// buffer is no byte object, start < 1, count < minCount or the range passes the end.
uint8_t* bufferRange(oop buffer, oop start, oop count, int64_t minCount, int64_t* n);
