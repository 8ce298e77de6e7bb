// Test support: the heap verifier. Walks old space, the free lists and size tree, the object
// tables, the remembered tables, the registry and the class table, and checks every
// invariant they state. Answers "" when the heap is sound, else one line per fault.
#pragma once
#include <string>

std::string verifyHeap();
