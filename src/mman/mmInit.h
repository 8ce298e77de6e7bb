// Object memory: kernel start-up (sizing and placing the spaces, loading the image).
// Prefix: none (startKernel).
#pragma once

// Loads the image whose header has been read and runs it; does not return.
[[noreturn]] void startKernel();

#include <cstdint>

// Regions lent to the image reader while the image loads, before the spaces they belong
// to (the native-code zone and the stack space) are in use: one for the inflate
// allocator, one for compressed input.
struct DecompressionWorkspaces {
  uint8_t* workspace;      // inflate allocator's memory
  uint64_t workspaceSize;  // bytes
  uint8_t* input;          // compressed input buffer
  uint64_t inputSize;      // bytes
};
extern DecompressionWorkspaces decompressionWorkspaces;
void getDecompressionWorkspaces(uint8_t** workspace, uint64_t* workspaceSize, uint8_t** input,
                                uint64_t* inputSize);
