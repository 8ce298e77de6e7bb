// Windows layer: clipboard text (Unicode text only) and the primitives that exchange it.
// The clipboard is opened with the command window as owner: without one, SetClipboardData may
// refuse the data.
// Prefix: none (putClipboardText, getClipboardText, initClipboardPrimitives).
#pragma once
#include <windows.h>

#include <cstdint>

#include "mman/mmObject.h"

// Places byteLength bytes of platform-string text on the clipboard as CF_UNICODETEXT; the
// first argument is not read. Failures of the clipboard calls are not reported.
void putClipboardText(oop ignored, const char* bytes, int64_t byteLength);
// *result := the clipboard's Unicode text as a platform string, or nil when it holds none
// (or an empty one); 0 with *result the no-space error (carrying the unit count) when the
// string cannot be allocated, else 1.
int getClipboardText(oop ignored1, oop ignored2, oop* result);
// 910 (get) and 911 (put).
void initClipboardPrimitives();
