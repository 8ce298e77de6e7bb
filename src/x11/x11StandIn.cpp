// X11 window system: weak stand-ins for the parts of the window system not built yet
// (selections, input methods, the herald, fonts, images, cursors and drag loops). Each real
// definition replaces its stand-in when its file joins the library.
// Prefix: as the real parts (pdInitSelection, keyPressToXIC, pdHeraldScreenGUI, ...).
#include "ext/exError.h"
#include "mman/mmSysOop.h"
#include "x11/x11.h"

#define STAND_IN __attribute__((weak))

// Input methods: no input context, so key text comes from XLookupString.
STAND_IN void registerX11InputManagerRoutines() {}
STAND_IN XIC keyPressToXIC(XKeyEvent*) { return nullptr; }
STAND_IN void recordConversion(XKeyEvent*, const char*, int) {}

// Selections: the engine owns none, so no request or clear concerns it; reading and taking
// one fail (primitives 910 and 911 then run their fall-back code).
STAND_IN void pdInitSelection(Display*) {}
STAND_IN int pdGetSelection(Display*, int64_t, oop* resultOut) {
  *resultOut = primErrorAt(primErrGeneral);
  return 0;
}
STAND_IN int pdSetSelection(Display*, const uint8_t*, uint64_t, int64_t) { return 0; }
STAND_IN void pdClearSelection(XSelectionClearEvent*) {}
STAND_IN void pdRequestSelection(XSelectionRequestEvent*) {}
STAND_IN void pdTerminateSelection() {}

