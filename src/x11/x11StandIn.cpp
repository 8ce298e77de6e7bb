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


