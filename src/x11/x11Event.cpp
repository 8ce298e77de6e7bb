// X11 window system: X events into the engine's input queue (keys, modifiers and buttons in
// the engine's codes, the raw event kept beside each record), the X error handlers, and the
// GUI versions of the idle-wait and long-computation hooks. Owns the event filter
// (KLPXcanProcessEvent), activeWindow, the alloc-error flag and fKeyMap.
// Prefix: none (pdDispatchEvent, translateKey, x11Error, ...), pd...GUI for the hooks.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "plat/unxMain.h"
#include "prim/prInQueue.h"
#include "prim/prLinkRegistry.h"
#include "x11/x11.h"

#include <X11/Xproto.h>
#include <X11/keysym.h>

Window activeWindow;
uint32_t x11AllocErrorFlag;

static int acceptEvent(XEvent*) { return 1; }
int (*KLPXcanProcessEvent)(XEvent* event) = acceptEvent;

extern "C" int (*OEsetCanProcessEventHook(int (*filter)(XEvent*)))(XEvent*) {
  int (*previous)(XEvent*) = KLPXcanProcessEvent;
  KLPXcanProcessEvent = filter != nullptr ? filter : acceptEvent;
  return previous;
}

void initX11EventPrims() {
  UPRegisterSymbolAndHandle("OEsetCanProcessEventHook", reinterpret_cast<void*>(OEsetCanProcessEventHook));
}
void initX11ErrorPrims() {}

// ---- Key codes ---------------------------------------------------------------------------------

// Keys without text: the engine's codes (bit 0x20000), Delete's 127 aside.
const FKeyEntry fKeyMap[] = {
    {XK_Multi_key, 0x20000}, {XK_Home, 0x20001}, {XK_Left, 0x20002}, {XK_Right, 0x20003},
    {XK_Up, 0x20004}, {XK_Down, 0x20005}, {XK_Prior, 0x20006}, {XK_Next, 0x20007},
    {XK_End, 0x20008}, {XK_Begin, 0x20009}, {XK_Insert, 0x2000E}, {XK_Shift_L, 0x2000F},
    {XK_Shift_R, 0x20010}, {XK_Control_L, 0x20011}, {XK_Control_R, 0x20011}, {XK_Caps_Lock, 0x20012},
    {XK_Meta_L, 0x20013}, {XK_Meta_R, 0x20014}, {XK_Alt_L, 0x20015}, {XK_Alt_R, 0x20016},
    {XK_Help, 0x20017}, {XK_Num_Lock, 0x2001B}, {XK_KP_F1, 0x2000A}, {XK_KP_F2, 0x2000B},
    {XK_KP_F3, 0x2000C}, {XK_KP_F4, 0x2000D}, {XK_KP_Home, 0x20001}, {XK_KP_Left, 0x20002},
    {XK_KP_Up, 0x20004}, {XK_KP_Right, 0x20003}, {XK_KP_Down, 0x20005}, {XK_KP_Prior, 0x20006},
    {XK_KP_Next, 0x20007}, {XK_KP_End, 0x20008}, {XK_KP_Begin, 0x20009}, {XK_KP_Insert, 0x2000E},
    {XK_KP_Delete, 0x2001A}, {XK_ISO_Left_Tab, 0x2001C}, {XK_Mode_switch, 0x20016}, {XK_KP_Enter, 0x20018},
    {0, 0}};

static const struct ExtraKeyName {
  const char* name;
  uint32_t code;
} extraKeyNames[] = {{"SunF36", 0x2002A},       {"SunF37", 0x2002B},        {"hpBackTab", 0x2001C},
                     {"hpKP_BackTab", 0x2001C}, {"hpInsertChar", 0x2000E}, {"hpDeleteChar", 127}};

enum : uint32_t { specialKeyBit = 0x20000, functionKeyBase = 0x20020 };
enum : KeySym { keypadFirst = 0xFF80, keypadLast = 0xFFBD };  // KP_Space .. KP_Equal

// Keyboard mapping, the modifier rows of Meta, Alt and Num Lock, and the extra keys the
// server's keyboard has.
void initializeEvents(Display* display) {
  DisplayResourceNode* node = findDisplay(display);
  if (node == nullptr) return;
  int minKey, maxKey;
  XDisplayKeycodes(display, &minKey, &maxKey);
  if (node->keyboardMap != nullptr) XFree(node->keyboardMap);
  node->keyboardMap = XGetKeyboardMapping(display, (KeyCode)minKey, maxKey - minKey + 1, &node->keysymsPerKeycode);
  node->minKeycode = minKey;
  node->metaMask = node->altMask = node->numLockMask = 0;
  XModifierKeymap* mods = XGetModifierMapping(display);
  for (int row = Mod1MapIndex; mods != nullptr && node->keyboardMap != nullptr && row <= Mod5MapIndex; row++)
    for (int k = 0; k < mods->max_keypermod; k++) {
      KeyCode kc = mods->modifiermap[row * mods->max_keypermod + k];
      if (kc < minKey || kc > maxKey) continue;
      KeySym ks = node->keyboardMap[(kc - minKey) * node->keysymsPerKeycode];
      if (ks == XK_Meta_L || ks == XK_Meta_R) node->metaMask |= 1u << row;
      if (ks == XK_Alt_L || ks == XK_Alt_R) node->altMask |= 1u << row;
      if (ks == XK_Num_Lock) node->numLockMask |= 1u << row;
    }
  if (mods != nullptr) XFreeModifiermap(mods);
  node->extraKeyCount = 0;
  for (const ExtraKeyName& e : extraKeyNames) {
    KeySym ks = XStringToKeysym(e.name);
    if (ks != NoSymbol && XKeysymToKeycode(display, ks) != 0)
      node->extraKeys[node->extraKeyCount++] = ExtraKey{ks, e.code};
  }
}

uint32_t translateModifiers(Display* display, unsigned int state) {
  DisplayResourceNode* node = findDisplay(display);
  uint32_t word = (state >> 8) & 0x1F;  // Button1Mask .. Button5Mask
  if (state & ShiftMask) word |= 0x100;
  if (state & ControlMask) word |= 0x200;
  if (node != nullptr && (state & node->metaMask)) word |= 0x400;
  if (node != nullptr && (state & node->altMask)) word |= 0x800;
  return word;
}

static uint32_t specialCodeFor(const DisplayResourceNode* node, KeySym ks) {
  if (ks >= XK_F1 && ks <= XK_F35) return functionKeyBase + (uint32_t)(ks - XK_F1);
  for (const FKeyEntry* e = fKeyMap; e->keysym != 0; e++)
    if (e->keysym == ks) return e->code;
  for (int i = 0; node != nullptr && i < node->extraKeyCount; i++)
    if (node->extraKeys[i].keysym == ks) return node->extraKeys[i].code;
  return 0;
}

// With Num Lock held, a keypad keysym of the keycode's columns stands for the key.
static void numLockKeypad(const DisplayResourceNode* node, XKeyEvent* e, KeySym* ks, char* text, int* n) {
  if (node == nullptr || node->keyboardMap == nullptr || !(e->state & node->numLockMask)) return;
  if (*ks >= keypadFirst && *ks <= keypadLast) return;
  int row = (int)e->keycode - node->minKeycode;
  if (row < 0) return;
  for (int c = 0; c < node->keysymsPerKeycode; c++) {
    KeySym k = node->keyboardMap[row * node->keysymsPerKeycode + c];
    if (k < keypadFirst || k > keypadLast) continue;
    *ks = k;
    text[0] = k == XK_KP_Space ? ' ' : char(k & 127);
    *n = 1;
    return;
  }
}

// The text and keysym of a key event: through the window's input context when it has one
// (the buffer grows to what the input method asks for), else XLookupString.
static char staticText[512];
static char* lookupText(XKeyEvent* e, int useInputMethod, KeySym* ks, int* n, bool* viaInputMethod) {
  XIC ic = useInputMethod && e->type == KeyPress ? keyPressToXIC(e) : nullptr;
  *viaInputMethod = ic != nullptr;
  *ks = NoSymbol;
  if (ic == nullptr) {
    *n = XLookupString(e, staticText, sizeof staticText - 1, ks, nullptr);
    return staticText;
  }
  char* text = staticText;
  int size = (int)sizeof staticText;
  Status status;
  *n = XmbLookupString(ic, e, text, size - 1, ks, &status);
  if (status == XBufferOverflow) {
    char* bigger = (char*)malloc((size_t)*n + 1);
    if (bigger == nullptr) return *n = 0, *ks = NoSymbol, staticText;
    text = bigger;
    *n = XmbLookupString(ic, e, text, *n, ks, &status);
  }
  if (status != XLookupChars && status != XLookupBoth) *n = 0;
  if (status != XLookupKeySym && status != XLookupBoth) *ks = NoSymbol;
  return text;
}

// The key value: a special key's code, a Character for one byte of text, 0 when an input
// method took the text, else the keysym negated (keysymOut gets the code or -keysym).
oop translateKey(XKeyEvent* e, long* keysymOut, int useInputMethod) {
  KeySym ks;
  int n;
  bool viaIM;
  char* text = lookupText(e, useInputMethod, &ks, &n, &viaIM);
  oop answer;
  if (ks == NoSymbol) {
    *keysymOut = 0;
    answer = !viaIM && n == 1 ? characterFor((uint8_t)text[0]) : smallIntegerFor(0);
  } else {
    DisplayResourceNode* node = findDisplay(e->display);
    numLockKeypad(node, e, &ks, text, &n);
    uint32_t code = specialCodeFor(node, ks);
    if (code & specialKeyBit) {
      *keysymOut = code;
      answer = smallIntegerFor(code);
    } else {
      if (code != 0) text[0] = char(code), n = 1;
      *keysymOut = -(long)ks;
      if (viaIM && n >= 1) recordConversion(e, text, n), answer = smallIntegerFor(0);
      else if (!viaIM && n == 1) answer = characterFor((uint8_t)text[0]);
      else answer = smallIntegerFor(*keysymOut);
    }
  }
  if (text != staticText) free(text);
  return answer;
}

// ---- Events into the queue -------------------------------------------------------------------

static void queueEvent(int type, Window window, uint64_t second, const int32_t* fields, const oop* pair, XEvent* ev) {
  extendedQueueTypedEvent(nullptr, smallIntegerFor(type), window, second, fields, pair, ev);
}

static void setHeldKeys(DisplayResourceNode* node, uint32_t mods) {
  if (node == nullptr) return;
  node->heldShift = (mods & 0x100) != 0, node->heldControl = (mods & 0x200) != 0;
  node->heldMeta = (mods & 0x400) != 0, node->heldAlt = (mods & 0x800) != 0;
}

// A modifier key counted up on press, down on release; its bit holds while any is down.
static void countModifierKey(DisplayResourceNode* node, long keysym, bool press, uint32_t* mods) {
  int32_t* counter;
  uint32_t bit;
  if (keysym == 0x2000F || keysym == 0x20010) counter = &node->heldShift, bit = 0x100;
  else if (keysym == 0x20011) counter = &node->heldControl, bit = 0x200;
  else if (keysym == 0x20013 || keysym == 0x20014) counter = &node->heldMeta, bit = 0x400;
  else if (keysym == 0x20015 || keysym == 0x20016) counter = &node->heldAlt, bit = 0x800;
  else return;
  if (press) ++*counter;
  else if (*counter > 0) --*counter;
  *mods = *counter > 0 ? *mods | bit : *mods & ~bit;
}

static void dispatchKey(Display* dpy, XEvent* ev) {
  XKeyEvent* e = &ev->xkey;
  DisplayResourceNode* node = findDisplay(dpy);
  if (e->keycode == 0 || (e->x_root == 0 && e->y_root == 0) || e->x_root < 0 || e->y_root < 0) {
    Window root, child;  // a synthetic event: where the pointer is
    XQueryPointer(dpy, e->window, &root, &child, &e->x_root, &e->y_root, &e->x, &e->y, &e->state);
  }
  uint32_t mods = translateModifiers(dpy, e->state);
  long keysym = 0;
  oop value = translateKey(e, &keysym, 1);
  bool press = e->type == KeyPress;
  if (node != nullptr) countModifierKey(node, keysym, press, &mods);
  oop plain = smallIntegerFor(0);
  if (e->keycode != 0) {
    XKeyEvent bare = *e;
    bare.state = 0;
    long ignored;
    oop v = translateKey(&bare, &ignored, 0);
    if (v != value && v != smallIntegerFor(0)) plain = v;
  }
  extendedQueueNewAscii(nullptr, e->window, e->time, e->x, e->y, e->x_root, e->y_root, press, (int32_t)mods, value,
                        plain, ev);
}

static void dispatchButton(Display* dpy, XEvent* ev) {
  XButtonEvent* e = &ev->xbutton;
  uint32_t mods = translateModifiers(dpy, e->state);
  bool press = e->type == ButtonPress;
  if (e->button >= 1 && e->button <= 5) mods = press ? mods | (1u << (e->button - 1)) : mods & ~(1u << (e->button - 1));
  if (press && e->button == 1) {
    uint32_t type = xWindowType(e->window, dpy);
    if (type != 0 && type != 6) safeSetInputFocus(dpy, e->window, e->time);
  }
  int32_t fields[5] = {e->x, e->y, e->x_root, e->y_root, (int32_t)e->button};
  oop pair[2] = {smallIntegerFor(mods), smallIntegerFor(0)};
  queueEvent(press ? 3 : 4, e->window, e->time, fields, pair, ev);
}

static void dispatchCrossing(Display* dpy, XEvent* ev) {
  XCrossingEvent* e = &ev->xcrossing;
  uint32_t mods = translateModifiers(dpy, e->state);
  setHeldKeys(findDisplay(dpy), mods);
  activeWindow = e->type == EnterNotify ? e->window : 0;
  int32_t fields[5] = {e->x, e->y, e->x_root, e->y_root, (int32_t)mods};
  queueEvent(e->type == EnterNotify ? 6 : 7, e->window, e->time, fields, nullptr, ev);
}

static void dispatchMotion(Display* dpy, XEvent* ev) {
  XMotionEvent* e = &ev->xmotion;
  int32_t fields[5] = {e->x, e->y, e->x_root, e->y_root, (int32_t)translateModifiers(dpy, e->state)};
  queueEvent(5, e->window, e->time, fields, nullptr, ev);
}

static int dispatchClientMessage(Display* dpy, XEvent* ev) {
  XClientMessageEvent* e = &ev->xclient;
  DisplayResourceNode* node = findDisplay(dpy);
  if (node == nullptr || e->message_type != node->wmProtocols || e->format != 32) return 0;
  if ((Atom)e->data.l[0] == node->wmDeleteWindow) return 10;
  if ((Atom)e->data.l[0] == node->wmTakeFocus) safeSetInputFocus(dpy, e->window, (Time)e->data.l[1]);
  return 0;
}

// The structure events: the type to queue (0 no event) after their side effects.
static int structureEventType(Display* dpy, XEvent* ev) {
  switch (ev->type) {
    case ConfigureNotify: configureNotify(dpy, ev->xconfigure.window); return 9;
    case MapNotify:
      noteIconificationState(dpy, ev->xmap.window, 0);
      mapNotify(dpy, ev->xmap.window);
      return 12;
    case UnmapNotify:
      if (!(xWindowMapState(ev->xunmap.window, dpy) & mapStateMapped)) return 0;
      noteIconificationState(dpy, ev->xunmap.window, 1);
      unmapNotify(dpy, ev->xunmap.window);
      return 11;
    case ClientMessage: return dispatchClientMessage(dpy, ev);
    case SelectionClear: pdClearSelection(&ev->xselectionclear); return 0;
    case SelectionRequest: pdRequestSelection(&ev->xselectionrequest); return 0;
    case MappingNotify:
      XRefreshKeyboardMapping(&ev->xmapping);
      initializeEvents(dpy);
      return 0;
    default: return 0;
  }
}

static void dispatchOther(Display* dpy, XEvent* ev) {
  int32_t fields[5] = {0, 0, 0, 0, 0};
  Window window = ev->xany.window;
  if (ev->type == Expose) {
    XExposeEvent* e = &ev->xexpose;
    int32_t expose[5] = {e->x, e->y, e->width, e->height, e->count};
    return queueEvent(8, e->window, 0, expose, nullptr, ev);
  }
  int type = structureEventType(dpy, ev);
  if (type == 9) {
    XConfigureEvent* e = &ev->xconfigure;
    fields[0] = e->x, fields[1] = e->y, fields[2] = e->width, fields[3] = e->height;
    window = e->window;
  } else if (type == 11 || type == 12) {
    window = type == 11 ? ev->xunmap.window : ev->xmap.window;
  }
  queueEvent(type, window, 0, fields, nullptr, ev);
}

// One event off the connection into the queue, unless the filter or an input method takes it.
void pdDispatchEvent(Display* display) {
  XEvent ev;
  XNextEvent(display, &ev);
  xDisplayTick++;
  if (!KLPXcanProcessEvent(&ev) || XFilterEvent(&ev, None)) return;
  switch (ev.type) {
    case KeyPress:
    case KeyRelease: return dispatchKey(display, &ev);
    case ButtonPress:
    case ButtonRelease: return dispatchButton(display, &ev);
    case MotionNotify: return dispatchMotion(display, &ev);
    case EnterNotify:
    case LeaveNotify: return dispatchCrossing(display, &ev);
    default: return dispatchOther(display, &ev);
  }
}

// Where the pointer is, as an Enter event of the root, after a drag has held the modifiers.
void updateMetaState(Display* display) {
  Window root = RootWindow(display, DefaultScreen(display)), r, child;
  int rx, ry, wx, wy;
  unsigned int state;
  if (!XQueryPointer(display, root, &r, &child, &rx, &ry, &wx, &wy, &state)) return;
  uint32_t mods = translateModifiers(display, state);
  setHeldKeys(findDisplay(display), mods);
  int32_t fields[5] = {rx, ry, rx, ry, (int32_t)mods};
  queueEvent(6, root, 0, fields, nullptr, nullptr);
}

// ---- Errors ----------------------------------------------------------------------------------

int x11Error(Display* display, XErrorEvent* error) {
  printf("\nX11 Error:\nDisplay:\t0x%08x\nSerial:\t0x%08x\n", (unsigned)(uintptr_t)display, (unsigned)error->serial);
  printf("Major:\t%d", error->request_code);
  if (error->request_code < 128) {
    char number[16], name[100];
    snprintf(number, sizeof number, "%d", error->request_code);
    XGetErrorDatabaseText(display, "XRequest", number, "", name, sizeof name);
    printf(" (%s)", name);
  }
  char text[100];
  XGetErrorText(display, error->error_code, text, sizeof text);
  printf("\nMinor:\t%d\nXID:\t0x%08x\nError:\t%s\n", error->minor_code, (unsigned)error->resourceid, text);
  fflush(stdout);
  if (error->error_code == BadAlloc) x11AllocErrorFlag = 1;
  return 0;
}

int x11ErrorIO(Display* display) {
  char text[128];
  snprintf(text, sizeof text, "\nFatal X11 I/O error (display 0x%lx, errno = %d)\n", (unsigned long)(uintptr_t)display,
           errno);
  doReportError(text, errPlatformLayer | errCausePlatform | errFatal, "src/plat/x11Error.c", __LINE__);
  return 0;
}

int pdAllocErrorOccurred(Display* display) {
  XSync(display, False);
  return (int)x11AllocErrorFlag;
}

void pdClearAllocErrorFlag(Display* display) {
  XSync(display, False);
  x11AllocErrorFlag = 0;
}

static int focusErrorCode;
static XErrorHandler focusPreviousHandler;

static int focusErrorHandler(Display* display, XErrorEvent* error) {
  focusErrorCode = error->error_code;
  if (error->request_code == X_SetInputFocus) return 0;
  return focusPreviousHandler != nullptr ? focusPreviousHandler(display, error) : 0;
}

// The X error the focus change caused (0 none); its own error is not printed.
int safeSetInputFocus(Display* display, Window window, Time time) {
  focusErrorCode = 0;
  focusPreviousHandler = XSetErrorHandler(focusErrorHandler);
  XSetInputFocus(display, window, RevertToParent, time);
  XSync(display, False);
  XSetErrorHandler(focusPreviousHandler);
  return focusErrorCode;
}

int waitForXEvent(Display* display, Window window, int eventType, XEvent* out, int timeoutMs) {
  uint64_t deadline = pdMicrosecondClock() + (uint64_t)timeoutMs * 1000;
  for (;;) {
    if (XCheckTypedWindowEvent(display, window, eventType, out)) return 1;
    uint64_t now = pdMicrosecondClock();
    if (now >= deadline) return 0;
    waitForIOWithTimeout(ConnectionNumber(display), 1, nullptr, (int)((deadline - now + 999) / 1000));
  }
}

// ---- Hooks -----------------------------------------------------------------------------------

static int64_t longCompNesting;
static uint32_t inputReduced;

void pdStartLongCompGUI(uint64_t expectedMs) {
  longCompNesting++;
  if (expectedMs >= 1001 && !inputReduced) {
    inputReduced = 1;
    deselectXEvents();
  }
}

void pdFinishLongCompGUI() {
  if (--longCompNesting > 0 || !inputReduced) return;
  reselectXEvents();
  inputReduced = 0;
  longCompNesting = 0;
}

static uint32_t anyQueued;
static void flushAndLook(Display* display) {
  XFlush(display);
  if (XQLength(display) > 0) anyQueued = 1;
}

// Events Xlib already read (during an XSync, say) would not wake the poll: they are served
// at once instead of waiting for the next arrival.
void pdBlockUntilEventGUI() {
  anyQueued = 0;
  xDisplaysDo(flushAndLook);
  if (anyQueued) {
    setRequest(requestInput);
    return;
  }
  waitForIO();
}
