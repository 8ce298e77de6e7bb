// X11 window system: the library's entry (initGUI binds the platform hooks and registers the
// primitives), opening a display (primitive 960), the bell, the input pump and the deferred
// flush of output. Owns the flush state (xWakeupPending, xWakeupPosted, xDisplayTick).
// Prefix: none (initGUI, pdInitWindow, getXinput, pendXwakeup) and pd...GUI for the hooks.
#include <cstdio>
#include <cstring>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmImageHeader.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "plat/unxMain.h"
#include "prim/prEnviron.h"
#include "prim/prInQueue.h"
#include "prim/prTimer.h"
#include "stack/nsupport.h"
#include "x11/x11.h"

uint32_t xWakeupPending, xWakeupPosted, xDisplayTick;

enum : uint64_t {
  optFlushLeftToXlib = uint64_t(1) << 25,  // no flush timer: Xlib's own flushing and the idle wait
  optSynchronousX = uint64_t(1) << 26,     // XSynchronize every display
};

// ---- Helpers the primitives share ----------------------------------------------------------

oop x11Fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

oop x11FailWith(uint32_t code, int64_t value, uint64_t numArgs) {
  return failPrimitive(cloneErrorWith(primErrorAt(code), smallIntegerFor(value)), numArgs);
}

bool isByteObject(oop o) { return isHeapObject(o) && !hasPtrs(headerOf(o)); }

bool pointArgument(oop o, int64_t* x, int64_t* y) {
  if (isImmediate(o) || !isKindOf(o, sysOop(sysPointClass)) || bodyWordsOf(headerOf(o)) < 2) return false;
  oop px = slotOf(o, 0), py = slotOf(o, 1);
  if (!isSmallInteger(px) || !isSmallInteger(py)) return false;
  *x = smallIntegerValue(px), *y = smallIntegerValue(py);
  return true;
}

Display* displayOfReceiver(oop receiver) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1) return nullptr;
  oop handle = slotOf(receiver, 0);
  if (!isByteObject(handle) || byteSizeOf(headerOf(handle)) < 8) return nullptr;
  return *reinterpret_cast<Display**>(bodyOf(headerOf(handle)));
}

DisplayResourceNode* nodeOfReceiver(oop receiver) {
  Display* d = displayOfReceiver(receiver);
  return d != nullptr ? findDisplay(d) : nullptr;
}

// ---- Hooks -----------------------------------------------------------------------------------

static void closeDisplay(Display* display) {
  freeLiveGCs(display);
  XCloseDisplay(display);
}

static void pdTerminateWindowGUI() {
  pdTerminateSelection();
  xDisplaysDo(closeDisplay);
}

// The bell of the display registered first (the list holds the most recent first).
static void pdRingBellGUI() {
  DisplayResourceNode* first = x11Displays;
  while (first != nullptr && first->next != nullptr) first = first->next;
  if (first != nullptr) XBell(first->display, 0);
}

static void pdStringEncodingGUI(const char** name, uint16_t** characterTable) {
  *name = "ISO8859L1";
  *characterTable = nullptr;
}

static void pdSynchronizeInputGUI() {
  getXinput();
  signal_userfds();
}

void getXinputForDisplay(Display* display) {
  int fd = ConnectionNumber(display), ready = 0;
  if (bytesReadable(fd) <= 0 && XQLength(display) == 0 &&
      (waitForIOWithTimeout(fd, 1, &ready, 0) <= 0 || !(ready & 1)))
    return;
  int n = XPending(display);
  while (n > 0) {
    for (int i = 0; i < n; i++) pdDispatchEvent(display);
    n = XEventsQueued(display, QueuedAfterReading);
  }
}

void getXinput() { xDisplaysDo(getXinputForDisplay); }

// ---- Deferred flush ----------------------------------------------------------------------------

static void flushDisplay(Display* display) { XFlush(display); }

static void flushOutput(uint64_t) {
  xWakeupPending = 0;
  if (!(qrxOptions & optFlushLeftToXlib)) xDisplaysDo(flushDisplay);
}

// Output waits up to 40 ms so that a burst of drawing goes out in one write.
void pendXwakeup() {
  xWakeupPending = 1;
  if (qrxOptions & optFlushLeftToXlib) return;
  xWakeupPosted = xDisplayTick;
  setTimer(40000, flushOutput);
}

// ---- Binding ---------------------------------------------------------------------------------

struct HookBinding {
  const char* name;
  void* function;
};
static const HookBinding hookBindings[] = {
    {"pdBlockUntilEvent", reinterpret_cast<void*>(pdBlockUntilEventGUI)},
    {"pdFinishLongComp", reinterpret_cast<void*>(pdFinishLongCompGUI)},
    {"pdHeraldScreen", reinterpret_cast<void*>(pdHeraldScreenGUI)},
    {"pdInformSystemReady", reinterpret_cast<void*>(pdTearDownHerald)},
    {"pdRingBell", reinterpret_cast<void*>(pdRingBellGUI)},
    {"pdStartLongComp", reinterpret_cast<void*>(pdStartLongCompGUI)},
    {"pdStringEncoding", reinterpret_cast<void*>(pdStringEncodingGUI)},
    {"pdSynchronizeInput", reinterpret_cast<void*>(pdSynchronizeInputGUI)},
    {"pdTerminateWindow", reinterpret_cast<void*>(pdTerminateWindowGUI)},
};

// Called once by the core with its hook table: every hook named here is rebound to its GUI
// version (names compared whole; pdSizeOfEvent is only read), then the primitives and the
// input queue come.
extern "C" int initGUI(void* functions, int count) {
  registerX11InputManagerRoutines();
  InitFunctionEntry* table = static_cast<InitFunctionEntry*>(functions);
  for (int i = count - 1; i >= 0; i--)
    for (const HookBinding& b : hookBindings)
      if (table[i].name != nullptr && strcmp(table[i].name, b.name) == 0)
        *reinterpret_cast<void**>(table[i].address) = b.function;
  if (showHerald) pdHeraldScreen(viHeraldString[0] != 0 ? viHeraldString : versionString);
  initGUIPrimitives();
  initInput();
  return 1;
}

// ---- Opening a display -------------------------------------------------------------------------

// The deepest of the default visual's matches (the first on ties).
static void copyDefaultVisual(DisplayResourceNode* node) {
  Display* dpy = node->display;
  XVisualInfo want = {};
  want.visualid = XVisualIDFromVisual(DefaultVisual(dpy, DefaultScreen(dpy)));
  int n = 0;
  XVisualInfo* found = XGetVisualInfo(dpy, VisualIDMask, &want, &n);
  if (found == nullptr || n == 0) REPORT_ERROR("Unable to obtain attributes of the default Visual.", errCausePlatform | errFatal);
  int best = 0;
  for (int i = 1; i < n; i++)
    if (found[i].depth > found[best].depth) best = i;
  node->visualInfo = found[best];
  XFree(found);
}

static void makePrivateWindow(DisplayResourceNode* node) {
  Display* dpy = node->display;
  node->privateWindow = XCreateWindow(dpy, RootWindow(dpy, DefaultScreen(dpy)), 0, 0, 100, 100, 0, CopyFromParent,
                                      InputOutput, CopyFromParent, 0, nullptr);
}

// A private colormap is what XCopyColormapAndFree would make here, the engine holding no cells
// yet; that call deadlocks on the display's lock in libX11 1.8 (its colour-management copy
// interns an atom with the lock held), so the map is created empty instead.
static void chooseColormap(DisplayResourceNode* node) {
  Display* dpy = node->display;
  node->colormap = DefaultColormap(dpy, DefaultScreen(dpy));
  int own = 0;
  if (getBooleanX11Resource(dpy, "useOwnColormap", "UseOwnColormap", &own) && own)
    node->colormap = XCreateColormap(dpy, RootWindow(dpy, DefaultScreen(dpy)), node->visualInfo.visual, AllocNone);
}

// nil opens $DISPLAY; a name that is no C string of at most 255 bytes stores entry 3 in
// errorSlot and answers null. A server that cannot be reached is fatal.
Display* pdInitWindow(oop name, oop* errorSlot) {
  char text[256];
  if (name != nilOop() && copyToCString(name, text, 255) == nullptr) {
    *errorSlot = primErrorAt(primErrBadArgument);
    return nullptr;
  }
  Display* dpy = XOpenDisplay(name == nilOop() ? nullptr : text);
  if (dpy == nullptr) REPORT_ERROR("Unable to connect to X11 server.", errCauseUser | errFatal);
  DisplayResourceNode* node = registerXDisplay(dpy);
  if (node == nullptr) REPORT_ERROR("Unable to connect to X11 server.", errCauseUser | errFatal);
  prepareSfd(ConnectionNumber(dpy));
  XSynchronize(dpy, (qrxOptions & optSynchronousX) != 0);
  makePrivateWindow(node);
  XSetErrorHandler(x11Error);
  XSetIOErrorHandler(x11ErrorIO);
  node->database = loadResourceDatabase(dpy);
  copyDefaultVisual(node);
  chooseColormap(node);
  allocateColorCells(node);
  initializeWidgetColors(node);
  pdInitSelection(dpy);
  initWindowData(node);
  initializeEvents(dpy);
  snprintf(graphicsPlatformName, sizeof graphicsPlatformName, "%s", "X11");
  return dpy;
}

// ---- Primitives ----------------------------------------------------------------------------

// 960: the handle (an 8-byte ByteArray holding the Display*) of a display opened by name.
static oop primOpenDisplay(oop, oop name) {
  char probe[256];
  if (name != nilOop() && copyToCString(name, probe, 255) == nullptr) return x11Fail(primErrBadArgument, 1);
  ObjectHeader* handle = allocVSObj(sysOop(sysByteArrayClass), 8);
  if (handle == nullptr) return x11Fail(primErrNoSpace, 1);
  oop error = 0;
  Display* dpy = pdInitWindow(name, &error);
  if (dpy == nullptr) return failPrimitive(error, 1);
  memcpy(bodyOf(handle), &dpy, sizeof dpy);
  return oopOf(handle);
}

static oop primRingBell(oop receiver) {
  if (displayOfReceiver(receiver) == nullptr) return x11Fail(primErrGeneral, 0);
  pdRingBell();
  return receiver;
}

static bool selectionNumber(oop o, int64_t* number) {
  if (o == nilOop()) return *number = 0, true;
  if (!isSmallInteger(o)) return false;
  *number = smallIntegerValue(o);
  return true;
}

static oop primGetSelection(oop receiver, oop which) {
  Display* dpy = displayOfReceiver(receiver);
  int64_t number;
  if (dpy == nullptr) return x11Fail(primErrBadReceiver, 1);
  if (!selectionNumber(which, &number)) return x11Fail(primErrBadArgument, 1);
  oop result = 0;
  if (!pdGetSelection(dpy, number, &result)) return failPrimitive(result, 1);
  return result;
}

static oop primSetSelection(oop receiver, oop text, oop which) {
  Display* dpy = displayOfReceiver(receiver);
  int64_t number;
  if (dpy == nullptr) return x11Fail(primErrBadReceiver, 2);
  if (!isByteObject(text) || classTagOf(headerOf(text)) != platformStringClassX || !selectionNumber(which, &number))
    return x11Fail(primErrBadArgument, 2);
  if (!pdSetSelection(dpy, (const uint8_t*)bodyOf(headerOf(text)), byteSizeOf(headerOf(text)), number))
    return x11Fail(primErrGeneral, 2);
  return receiver;
}

static oop primMoveMouse(oop receiver, oop point) {
  Display* dpy = displayOfReceiver(receiver);
  int64_t x, y;
  if (dpy == nullptr) return x11Fail(primErrBadReceiver, 1);
  if (isImmediate(point) || classOf(point) != sysOop(sysPointClass) || !pointArgument(point, &x, &y))
    return x11Fail(primErrBadArgument, 1);
  pdMoveMouse(dpy, ((uint64_t)y << 32) + ((uint64_t)x & 0xFFFFFFFFu));
  return receiver;
}

// The pointer to a root position: x in the low 32 bits, y in the high.
void pdMoveMouse(Display* display, uint64_t packedPosition) {
  XWarpPointer(display, None, RootWindow(display, DefaultScreen(display)), 0, 0, 0, 0,
               (int)(int32_t)(packedPosition & 0xFFFFFFFFu), (int)(int32_t)(packedPosition >> 32));
  XFlush(display);
}

void initDisplayPrimitives() {
  addCPrimitive(705, reinterpret_cast<const void*>(primRingBell), 0);
  addCPrimitive(960, reinterpret_cast<const void*>(primOpenDisplay), 1);
}

static RegisteredNamedObject xlibRelease = {"XlibSpecificationRelease", 6, nullptr, 0, namedConstInt, 0};

// 949 stays the core's: it answers the platform name this library sets on the first open.
void initWindowPrimitives() {
  initColorPalettePrimitive();
  initX11ErrorPrims();
  initX11GCPrims();
  initX11ImagePrims();
  initX11FontPrims();
  initX11CanvasPrims();
  initX11AnimationPrims();
  initX11CursPrims();
  initX11EventPrims();
  if (findRegisteredName(xlibRelease.name, strlen(xlibRelease.name)) == nullptr) addRegisteredNamedObject(&xlibRelease);
}

void initGUIPrimitives() {
  addCPrimitive(910, reinterpret_cast<const void*>(primGetSelection), 1);
  addCPrimitive(911, reinterpret_cast<const void*>(primSetSelection), 2);
  addCPrimitive(912, reinterpret_cast<const void*>(primMoveMouse), 1);
  initDisplayPrimitives();
  initWindowPrimitives();
}
