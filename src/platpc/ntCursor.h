// Windows layer: pointer cursors made from two one-bit pixmaps, shown, or replaced by the
// system's own cursors by name; image objects put on drawables.
// Prefix: none (initCursorPrimitives, currentVMCursor, useSystemCursors, systemCursorSize).
#pragma once
#include <windows.h>

#include <cstdint>

// The cursor of the VM windows' client areas (null: none); the window procedure sets it on
// WM_SETCURSOR.
extern HCURSOR currentVMCursor;
extern int useSystemCursors;     // primitive 744
extern SIZE systemCursorSize;    // SM_CXCURSOR x SM_CYCURSOR, read by initCursorPrimitives
// 904, 707, 708, 744, and 993/998 (an image object put on a drawable).
void initCursorPrimitives();
