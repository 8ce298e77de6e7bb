// Test support: the heap verifier, one for every space. Walks new space (eden and past
// space), perm space, old space with its free lists and size tree, the object tables, the
// large and fixed block chains and their owners, the remembered tables, the registry and
// the class table, and checks every invariant they state. Answers "" when the heap is
// sound, else one line per fault. Spaces that are not set up are skipped.
#pragma once
#include <string>

std::string verifyHeap();

#define EXPECT_HEAP_VALID() EXPECT_EQ(verifyHeap(), "")
