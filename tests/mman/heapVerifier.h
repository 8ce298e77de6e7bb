// Test support: the heap verifier now lives in the engine (mman/mmVerify.h); tests keep
// including this header for it and for EXPECT_HEAP_VALID.
#pragma once
#include "mman/mmVerify.h"

#define EXPECT_HEAP_VALID() EXPECT_EQ(verifyHeap(), "")
