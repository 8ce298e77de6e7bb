// Object memory: kernel start-up (sizing and placing the spaces, loading the image).
// Prefix: none (startKernel).
#pragma once

// Loads the image whose header has been read and runs it; does not return.
[[noreturn]] void startKernel();
