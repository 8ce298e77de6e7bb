// Translator: branch actions (pending forward jumps sorted by target, loop heads).
// Prefix: action, act, loop, opt (addAction).
#include "tran/taction.h"

#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "tran/cgenx86_64.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tstack.h"

ActionRecord* actionTable;
int32_t actionTableSize;
ActionRecord* actBump;
ActionRecord* actFree;
ActionRecord* actNext;
ActionRecord* actLoops;
int16_t tRegisterMarks[2] = {-1, -1};
uint32_t enableASOpt = 1, enableLIOpt = 1, enableROpt = 1;

void actionInit() {
  free(actionTable);
  actionTable = (ActionRecord*)calloc(actionInitialRecords, sizeof(ActionRecord));
  if (actionTable == nullptr) doPanic("src/tran/taction", __LINE__);
  actionTableSize = actionInitialRecords;
  actionTable[0].kind = actEndOfMethod;
  actionTable[0].optState = nullptr;
  actionReset(nullptr);
}

void actionReset(const uint8_t* endPC) {
  actFree = nullptr;
  actLoops = nullptr;
  actionTable[0].next = nullptr;
  actionTable[0].vPC = endPC;
  actNext = &actionTable[0];
  actBump = &actionTable[1];
}

// Moves every link into a table 20 records larger; the records keep their indices.
static void growActions() {
  int32_t size = actionTableSize + actionGrowRecords;
  ActionRecord* grown = (ActionRecord*)calloc((size_t)size, sizeof(ActionRecord));
  if (grown == nullptr) TAbortFunc("Action table allocate failed", -1, nullptr, "src/tran/taction", __LINE__);
  memcpy(grown, actionTable, (size_t)actionTableSize * sizeof(ActionRecord));
  auto move = [&](ActionRecord* p) { return p == nullptr ? nullptr : grown + (p - actionTable); };
  for (int32_t i = 0; i < actionTableSize; i++) grown[i].next = move(grown[i].next);
  actFree = move(actFree);
  actNext = move(actNext);
  actLoops = move(actLoops);
  actBump = move(actBump);
  free(actionTable);
  actionTable = grown;
  actionTableSize = size;
}

static ActionRecord* takeRecord() {
  if (actFree != nullptr) {
    ActionRecord* r = actFree;
    actFree = r->next;
    return r;
  }
  if (actBump >= actionTable + actionTableSize) growActions();
  return actBump++;
}

void actionFree(ActionRecord* record) {
  record->next = actFree;
  actFree = record;
}

// Sorted by target; among equal targets a new action goes before the older ones (after the
// head when the head has that target), and one for the end of the bytecodes directly before
// record 0, which stays last.
static void insertAction(ActionRecord* r) {
  ActionRecord* end = &actionTable[0];
  if (actNext == end || (r->vPC < actNext->vPC && r->vPC < end->vPC)) {
    r->next = actNext;
    actNext = r;
    return;
  }
  ActionRecord* p = actNext;
  if (r->vPC >= end->vPC) {
    while (p->next != end) p = p->next;
  } else {
    while (p->next->vPC < r->vPC) p = p->next;  // stops at record 0 at the latest
  }
  r->next = p->next;
  p->next = r;
}

ActionRecord* addAction(int32_t kind, const uint8_t* vPC, const OptState* state, uint64_t registerSummary,
                        const void* stackTop, uint8_t* site) {
  ActionRecord* r = takeRecord();
  r->kind = kind;
  r->vPC = vPC;
  r->depth = (int16_t)((const StackEntry*)stackTop - stackSim);
  r->registerMarks[0] = tRegisterMarks[0];
  r->registerMarks[1] = tRegisterMarks[1];
  r->optState = state;
  if (state != nullptr) r->optWords = *state;
  r->registerSummary = registerSummary;
  r->site = site;
  insertAction(r);
  return r;
}

ActionRecord* actionPop() {
  ActionRecord* r = actNext;
  if (r != &actionTable[0]) actNext = r->next;
  return r;
}

ActionRecord* loopBegin(const uint8_t* vPC, uint64_t registerSummary, uint8_t* site) {
  ActionRecord* r = takeRecord();
  memset(r, 0, sizeof *r);
  r->vPC = vPC;
  r->registerSummary = registerSummary;
  r->site = site;
  r->registerMarks[0] = tRegisterMarks[0];
  r->registerMarks[1] = tRegisterMarks[1];
  r->next = actLoops;
  actLoops = r;
  return r;
}

ActionRecord* loopEnd(const uint8_t* vPC) {
  ActionRecord* r = actLoops;
  if (r == nullptr || r->vPC != vPC) return nullptr;
  actLoops = r->next;
  actionFree(r);
  return r;
}

void optReFix(OptState* state, uint8_t* here, const char* name) {
  size_t n = strlen(name);
  bool enabled = (n > 1 && name[1] == 'A' && enableASOpt != 0) ||
                 (n > 5 && name[1] == 'L' && name[5] == 'I' && enableLIOpt != 0) ||
                 (n > 1 && name[1] == 'R' && enableROpt != 0);
  if (!enabled || state->jumpSite == nullptr) return;
  int64_t d = here - state->jumpSite;
  if (state->isLong != 0) {
    cgenPutL((uint64_t)d, state->jumpSite - 4);
  } else {
    if (d >= 128 || d < -128) return;  // an 8-bit jump cannot reach: the old target stays
    state->jumpSite[-1] = (uint8_t)d;
  }
  state->target = here;
}

uint8_t* tBxp(const uint8_t* branchPC, const uint8_t* target, int sense, StackEntry* top, const OptState* state,
              uint8_t* at) {
  if (top - 1 > stackEmpty) at = tStackFlush(top - 1, 3, at);
  bool isShort = target - branchPC <= effectiveMaxVBytesJumpShort;
  int32_t kind;
  if (top->kind == skConst && (top->payload == tTrue || top->payload == tFalse)) {
    if ((top->payload == tTrue) != (sense != 0)) return at;  // never taken
    at = isShort ? emitJmpRel8(at, 0) : emitJmpRel32(at, at + 5);
    kind = isShort ? actShortJump : actLongJump;
  } else if (top->kind == skCond) {
    int cond = (int)top->payload ^ (sense != 0 ? 0 : 1);  // branch if false: the inverse
    at = isShort ? emitJccRel8(at, cond, 0) : emitJccRel32(at, cond, 0);
    kind = isShort ? actShortCondJump : actLongCondJump;
  } else {
    // Any other value: loaded into rbx and tested against both Booleans.
    at = tStackLoad(top, rBX, at);
    return tBxpTest(sense, branchPC, target, top, state, at);
  }
  addAction(kind, target, state, assignedRegSummary, top - 1, at);
  return at;
}
