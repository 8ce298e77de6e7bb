// Execution engine: context primitives: Smalltalk code reads contexts as ordinary objects;
// the primitives derive a live hybrid context's slots from its frame.
// Prefix: none (initContextPrimitives, findContextInChain).
#pragma once
#include "mman/mmObject.h"

// Walks from context through frames and senders (root senders, live hybrids by frame,
// stable contexts by their sender slot); answers the first of a or b met, or 0 at nil.
oop findContextInChain(oop context, oop a, oop b);
void initContextPrimitives();
// Glue rtStoreContextInstVar (r12 context, rbx value, r9 the 0-based slot index; the value
// stays in rbx): storeContextInstVar for translated code. May allocate (a live context's
// frame may be made stable first).
extern "C" oop CrtStoreContextInstVar(oop context, oop value, uint64_t index);
