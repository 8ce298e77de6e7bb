// Windows layer: the error-name table of primitives 696 and 697.
// Prefix: none (errorNameTable, errorNameRowFor).
#pragma once
#include <cstdint>

// One row: a Windows system or Winsock error code, or one of the engine's own (below 0).
struct ErrorNameRow {
  int32_t code;
  const char* className;     // errno style: "ENOENT", "EWOULDBLOCK", ... (most are "EINVAL")
  const char* symbolicName;  // the SDK's name: "ERROR_FILE_NOT_FOUND", "WSAEWOULDBLOCK", ...
};
enum { errorNameRows = 474 };
extern ErrorNameRow errorNameTable[errorNameRows];
const ErrorNameRow* errorNameRowFor(int64_t code);  // null for a code not in the table
