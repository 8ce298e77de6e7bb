// Object memory: the heap verifier, and the scavenge stress switch that brackets scavenges
// with it. Owns scavengeStressInterval. Prefix: none (verifyHeap, initScavengeStress, ...).
#pragma once
#include <cstdint>
#include <string>

// Walks new space (eden and past space), perm space, old space with its free lists and size
// tree, the object tables, the large and fixed block chains and their owners, the remembered
// tables, the registry, the class table, the finalization queue's window and the incremental
// collector's marks for its state, and checks every invariant they state. Answers "" when the heap is sound, else one line per fault. Spaces
// that are not set up are skipped. Outside a scavenge future space is empty and FSS is 0.
std::string verifyHeap();
// Right after a global collection (verifyHeap checks the other direction always): every old
// RT entry is a live perm object that refers to an old one. "" or one line per fault.
std::string verifyOldRtAfterCollection();

// TESSEL_SCAVENGE_STRESS=N: every Nth new-space allocation posts the scavenge request (eden's
// warning limit is held at its start, so every allocation takes the counted slow path), and
// every scavenge is bracketed by verifyHeap; a fault is a fatal report naming it. 0 = off.
extern uint64_t scavengeStressInterval;
extern uint64_t scavengeStressCount;  // new-space allocations since the last post
// Reads the variable (start-up); answers the interval.
uint64_t initScavengeStress();
void verifyBeforeScavenge();
void verifyAfterScavenge();
// The switch also verifies after every incremental quantum and when marking ends (state 'n').
void verifyAfterIncQuantum();
void verifyAtEndOfIncMark();
