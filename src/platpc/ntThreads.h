// Windows layer: the threads of threaded calls (Win32 threads, slim locks and condition
// variables) and the worker's half of the call (NBAPIInnerCall, in ntCallC.cpp).
// Owns windowsThreadPlatform. Prefix: none.
#pragma once
#include "ext/exThreads.h"

extern ThreadPlatform windowsThreadPlatform;
// Makes threadPlatform the Win32 threads'.
void installWindowsThreads();
// Runs the call package of the worker's call record under the call-out's exception frame: a
// hardware exception inside it ends the call with its code and address stored in the record.
void NBAPIInnerCall(TInfo* t);
