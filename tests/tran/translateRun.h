// Test support: translated methods run in-process against the doubles of translateRun.S,
// which record sends and loop ends instead of performing them.
#pragma once

#include <cstdint>

#include "ext/platform.h"
#include "stack/glue.h"
#include "stack/stackzone.h"
#include "tran/nmalloc.h"
#include "tran/tloop.h"
#include "tran/tmain.h"

extern "C" {
uint64_t tranCall(uint64_t entry, uint64_t receiver, const uint64_t* args, uint64_t numArgs);
void recordSend();
void recordEndLoop();
extern uint64_t tranRspBefore, tranRspAfter, recReceiver, recArg, recSelector, recCount, recAnswer;
extern uint64_t recForceLimit, recEndLoops;
}

// The translator's hooks, a fresh native-method zone in area, every send site's glue and the
// loop end recorded by the doubles, and a stack of the given segments at its root.
inline void startRecordedRun(uint8_t* area, uint64_t areaBytes, uint64_t* segments, int32_t segmentCount) {
  installTranslatorHooks();
  pdSetMemExecPerm(area, areaBytes);
  initNMethods(reinterpret_cast<uint64_t>(area), areaBytes);
  for (SendTypeRow& row : sendTypeTable) row.glue = reinterpret_cast<uint64_t>(&recordSend);
  tRt.endLoop = reinterpret_cast<const void*>(&recordEndLoop);
  initStacks(segments, segmentCount);
  stackAlloc(0);
  currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
  currentStack[shFp] = rootFpOf(currentStack);
  restoreStackLimit(int64_t(currentStack[shRealLim]));
  recCount = recEndLoops = recForceLimit = 0;
}
