// Test tooling: compresses a plain image file into the compressed form the engine loads
// (the header as it was but for its format byte and checksum, then the body as one gzip
// member).
#pragma once
#include <string>

// level 1..9; answers "" or what went wrong. The output is written whole before it
// replaces out, so in and out may be the same file.
std::string zipImageFile(const std::string& in, const std::string& out, int level);
