// Windows layer: what the file, path, platform, error-name and library primitives share.
// Prefix: nt (failures and answers), none (initNewIO and the registration functions).
#pragma once
#include <windows.h>

#include <cstdint>

#include "ext/exError.h"
#include "mman/mmObject.h"
#include "mman/mmSysOop.h"

struct IOChannel;

oop ntFail(uint32_t code, uint64_t numArgs);
oop ntFailCarrying(uint32_t code, int64_t value, uint64_t numArgs);  // a copy carrying value
oop ntFailLastError(uint64_t numArgs);                               // 9 carrying GetLastError
oop ntAnswerServing(oop result);  // through the pending requests, when there are any
oop ntAnswerOrNoSpace(oop answer, uint64_t numArgs);  // failure 1 for a 0 answer

// The live channel of the handle object in the receiver's slot 1; null for a closed one, a
// foreign one or anything else.
IOChannel* channelOf(oop receiver);
oop newHandleObject(IOChannel* channel);  // 0, the channel freed, when none can be made
void closeHandleObject(oop receiver, IOChannel* channel);
// A platform string as a zero-terminated path of at most 259 units; false for another
// object, one too long, or one holding a zero.
bool widePathOf(oop string, wchar_t* buffer);
bool receiverWidePath(oop holder, wchar_t* buffer);  // the holder's slot 0

void initNewIO();
void initPathPrims();
void initPlatformInfoPrims();
void initErrorNamePrims();
void initDynamicLoadPrimitives();
void initAlarmPrims();
