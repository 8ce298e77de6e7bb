// Primitive utilities: the platform string encoding and copies between string objects
// and C buffers. Owns the encoding table and platformStringClassX.
// Prefix: none (STStringWithSize, copySubStringToC, copyToCString, platformByteFor,
// setStringEncoding, isValidPlatformString, tempCString).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// The class index of the platform-string class (a byte class); ByteString until the
// image chooses another.
extern uint32_t platformStringClassX;

// A new platform string of n bytes copied from bytes; 0 for a null buffer or no space.
oop STStringWithSize(const char* bytes, uint64_t n);
// Copies the first n characters of a string into buffer; 0 when the object is not a
// string of a known class, is shorter than n, or holds a character the platform lacks.
char* copySubStringToC(oop string, char* buffer, uint64_t n);
// The whole string and a terminating 0; buffer holds capacity + 1 bytes; 0 when the
// string is longer than capacity or cannot be copied.
char* copyToCString(oop string, char* buffer, uint64_t capacity);
// The reference class index (15 Array, 17 ByteString, 22 ByteArray, 23 TwoByteString) whose
// basic-access methods the class's instances share, or 0.
uint32_t basicAccessClass(uint32_t classIndex, int withAtPut);
// The platform byte of a character code, or -1 when the encoding has none.
int platformByteFor(uint32_t code);
// Makes cls (an entered class whose instances are accessed like ByteString or ByteArray)
// the platform-string class and codes (256 character codes; platform byte i stands for
// codes[i]) the encoding; copy, when given, receives the codes. 0 when cls is refused.
int setStringEncoding(oop cls, const uint16_t* codes, uint16_t* copy);
// 1 when C code may take the string's own bytes: a platform string with a fixed-space body,
// or a byte or two-byte string with a 0 (unit) in its body whose every character is its
// own platform byte.
int isValidPlatformString(oop string);
// The bytes of a new ByteArray holding the string as a C string, or 0.
char* tempCString(oop string);
