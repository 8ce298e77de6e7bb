// Execution engine: frames and hybrid contexts: giving a frame its context, copying a frame
// into its context, telling live hybrid contexts from dead ones and reading context slots.
// Prefix: frame (frames), none (isLiveHybrid, contextInstVarNoReify).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// A hybrid context (class 8 or 9) is live while its frame is: fp = sender slot - 1 lies in
// a segment of the zone above that segment's sp, fp[-2] carries the hybrid bit, fp[-1] is the
// context and the pc slot - 1 is fp's saved caller fp. Any other hybrid context is dead.

// Gives the frame at fp its context (a bottom frame's also goes to the root and gets its
// arguments copied); 0 when mayFail and no room, else fatal on no room.
oop frameMakeHybrid(uint64_t fp, int mayFail);
// The frame's context, made when it has none: a frame has one context, whatever asks for it
// (thisContext, a full block, a return), so that identity and liveness hold across them.
oop frameContextOf(uint64_t fp);
// Copies the frame's stacked arguments and its words from fp[-4] down to stackTop into the
// context's frame contents (made when nil); answers 0 when the Array cannot be made.
int frameEnsureStack(uint64_t fp, uint64_t stackTop);
// Answers 1 for a live hybrid context; a dead hybrid one is made stable and dead on the spot.
int isLiveHybrid(oop context);
// Slot index (0-5) without allocating: live hybrids derive pc, sender and depth from the frame.
oop contextInstVarNoReify(oop context, uint32_t index);
// For translated code (glue LoadContextInstVar, the slow path of rtLoadContextInstVar: rbx
// context, r9 the slot's byte offset; the answer goes to rbx): as contextInstVarNoReify, but
// the sender of a live hybrid is made when its frame has none, and the frame contents are
// brought up to date. May allocate.
extern "C" oop CLoadContextInstVar(oop context, uint64_t byteOffset);
// thisContext of the top frame when it has no context yet (glue LoadThisContext, the slow path
// of rtLoadThisContext): makes the frame's hybrid context, answered in rbx. May allocate.
extern "C" oop CLoadThisContext();
// The live frame of a hybrid context, or 0.
uint64_t liveFrameOf(oop context);

// Every frame of the segment gets its context holding a copy of the frame; 0 on no room.
int stackReify(uint64_t* segment);
// Every frame becomes a stable context (resume pcs kept as native offsets, senders linked);
// the segment is freed.
int stackStabilize(uint64_t* segment);
// Rebuilds a stable context's frame: on its sender's segment when the sender's frame is that
// segment's top and there is room, else on a fresh segment. Answers the segment.
uint64_t* stableToHybrid(oop context);

// The translator's services (filled by the translator; tests fill them): the nmethod of a
// method (0 when none), translating one (0 on failure), and a bytecode pc's native offset
// (0 or less when none).
extern uint64_t (*vToNMethodHook)(oop method);
extern uint64_t (*addNMethodHook)(oop method);
extern int64_t (*mapVToNPCHook)(oop context, int64_t vpc, uint64_t nmethod);
extern int64_t (*mapNToVPCHook)(uint64_t nmethod, int64_t offset);  // bytecode pc, 0 none, -1 no room
// A method's nmethod, translated when it has none (0 when it cannot be).
uint64_t mustAddNMethod(oop method);
// A bytecode pc's native offset in the nmethod (primitive restart, return and first
// non-primitive points served here); 0 or less when unmappable. Compacts and retries.
int64_t mustMapVToNPC(oop context, int64_t vpc, uint64_t nmethod);

// The context of the running segment's top frame (made when it has none).
oop suspendTopContext();
// The top frame becomes a stable context (dead: sender nil, cannot resume) and is popped;
// an emptied segment is freed.
oop stabilizeTopFrame(uint64_t* segment, int dead);
// A live hybrid context becomes stable: frames above it move away first. 0 when mayFail and
// no segment is free.
int stabilizeThisContext(oop context, int mayFail);
// Every frame running the method becomes a stable context (segments are scanned again after
// each, as stabilizing moves frames); 0 at the first that finds no room, else 1.
int stabilizeContextsWithMethod(oop vmethod);
// Stores a context slot keeping frame and object consistent (see contexts.h).
void storeContextInstVar(oop context, oop value, uint32_t index);

// Frames of the segment are dropped from the top until the context's frame is on top (1) or
// the segment empties and is freed (0; *rootSender gets its root's sender).
int popToHybridFrame(uint64_t* segment, oop context, oop* rootSender);
// Every context from start down to stop (exclusive) becomes dead: live ones by dropping their
// frames, stable ones by sender nil and the cannot-resume pc.
void nilContexts(oop start, oop stop);
// The sender of a live hybrid context becomes value: its frame moves to a segment's bottom.
void storeLiveSender(oop context, oop value);

// Makes the context's frame the top frame of the running segment (a live hybrid's frames
// above it are dropped); a stable context is first rebuilt as a frame (stableToHybrid).
void resumeContext(oop context);

extern "C" {
// A segment's bottom frame returned (glue rootReturn, the result in rbx): frees the segment and
// continues in the root's sender (resumeContext: the glue returns into the segment it makes
// current); with no sender, rebuilds the segment's root context as a frame (stableToHybrid).
// May allocate.
void CrootReturn();
}
