// Unix layer: the threads of threaded calls (POSIX threads) and the worker's half of the
// call (NBAPIInnerCall, in unx86_64CallC.cpp). Owns unixThreadPlatform. Prefix: none.
#pragma once
#include "ext/exThreads.h"

extern ThreadPlatform unixThreadPlatform;
// Makes threadPlatform the POSIX threads'.
void installUnixThreads();
// Runs the call package of the worker's call record; a fault inside it jumps back here with
// its error stored in the record.
void NBAPIInnerCall(TInfo* t);
// A fault on a worker thread: its error goes into the call record and the worker goes back
// to its jump point. Returns when the thread is not a worker inside a call.
void nbapiFaultOnWorker(int signal, int64_t value);
