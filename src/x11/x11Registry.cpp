// X11 window system: the registry of open displays and of the top-level windows the engine
// made, the decoration offsets per window type (shared through a root property) and the
// Motif state. Owns x11Displays and the two one-entry caches.
// Prefix: none (registerXDisplay, findDisplay, registerXWindow, xWindowType, ...).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "x11/x11.h"

#include <X11/Xatom.h>

DisplayResourceNode* x11Displays;
static DisplayResourceNode* lastDisplay;
static WindowResourceNode* lastWindow;

// ---- Displays --------------------------------------------------------------------------------

DisplayResourceNode* registerXDisplay(Display* display) {
  DisplayResourceNode* node = (DisplayResourceNode*)calloc(1, sizeof(DisplayResourceNode));
  if (node == nullptr) {
    REPORT_ERROR("display resource node allocation failed", errPlatformLayer | errCauseLimit | errNote);
    return nullptr;
  }
  node->display = display;
  node->adjustWindowPositions = 1;
  node->next = x11Displays;
  x11Displays = node;
  return node;
}

DisplayResourceNode* findDisplay(Display* display) {
  if (lastDisplay != nullptr && lastDisplay->display == display) return lastDisplay;
  DisplayResourceNode* n = x11Displays;
  while (n != nullptr && n->display != display) n = n->next;
  lastDisplay = n;
  return n;
}

int xDisplayInRegistry(Display* display) { return findDisplay(display) != nullptr; }

void xDisplaysDo(void (*function)(Display*)) {
  if (function == nullptr) return;
  for (DisplayResourceNode* n = x11Displays; n != nullptr; n = n->next) function(n->display);
}

// ---- Windows ---------------------------------------------------------------------------------

WindowResourceNode* registerXWindow(Window window, Display* display) {
  DisplayResourceNode* d = findDisplay(display);
  if (d == nullptr) return nullptr;
  WindowResourceNode* w = (WindowResourceNode*)calloc(1, sizeof(WindowResourceNode));
  if (w == nullptr) {
    REPORT_ERROR("window resource node allocation failed", errPlatformLayer | errCauseLimit | errNote);
    return nullptr;
  }
  w->display = display;
  w->window = window;
  w->maxWidth = w->maxHeight = unboundedSize;
  w->next = d->windows;
  d->windows = w;
  return w;
}

void unregisterXWindow(Window window, Display* display) {
  DisplayResourceNode* d = findDisplay(display);
  if (d == nullptr) return;
  for (WindowResourceNode** at = &d->windows; *at != nullptr; at = &(*at)->next) {
    if ((*at)->window != window) continue;
    WindowResourceNode* gone = *at;
    *at = gone->next;
    if (lastWindow == gone) lastWindow = nullptr;
    free(gone);
    return;
  }
}

WindowResourceNode* findXWindow(Window window, Display* display) {
  if (lastWindow != nullptr && lastWindow->window == window && lastWindow->display == display) return lastWindow;
  DisplayResourceNode* d = findDisplay(display);
  WindowResourceNode* w = d != nullptr ? d->windows : nullptr;
  while (w != nullptr && w->window != window) w = w->next;
  lastWindow = w;
  return w;
}

int xWindowInRegistry(Window window, Display* display) { return findXWindow(window, display) != nullptr; }

void noteXWindowType(Window window, Display* display, uint32_t type) {
  if (WindowResourceNode* w = findXWindow(window, display)) w->type = type;
}

uint32_t xWindowType(Window window, Display* display) {
  WindowResourceNode* w = findXWindow(window, display);
  return w != nullptr ? w->type : 2;
}

void noteXWindowEventMask(Window window, Display* display, long mask) {
  if (WindowResourceNode* w = findXWindow(window, display)) w->eventMask = mask;
}

long xWindowEventMask(Window window, Display* display) {
  WindowResourceNode* w = findXWindow(window, display);
  return w != nullptr ? w->eventMask : 0;
}

void noteXWindowCursor(Window window, Display* display, Cursor cursor) {
  if (WindowResourceNode* w = findXWindow(window, display)) w->cursor = cursor;
}

void noteUndefinedCursor(Cursor cursor, Display* display) {
  DisplayResourceNode* d = findDisplay(display);
  for (WindowResourceNode* w = d != nullptr ? d->windows : nullptr; w != nullptr; w = w->next)
    if (w->cursor == cursor) w->cursor = 0;
}

void setXCursor(Display* display, Cursor cursor) {
  DisplayResourceNode* d = findDisplay(display);
  if (d == nullptr) return;
  d->cursor = cursor;
  for (WindowResourceNode* w = d->windows; w != nullptr; w = w->next) XDefineCursor(display, w->window, cursor);
}

void noteXWindowSizeConstraints(Window window, Display* display, const int64_t limits[4]) {
  WindowResourceNode* w = findXWindow(window, display);
  if (w == nullptr) return;
  w->minWidth = limits[0], w->maxWidth = limits[1], w->minHeight = limits[2], w->maxHeight = limits[3];
}

void xWindowSizeConstraints(int64_t out[4], Window window, Display* display) {
  WindowResourceNode* w = findXWindow(window, display);
  out[0] = w != nullptr ? w->minWidth : 0;
  out[1] = w != nullptr ? w->maxWidth : unboundedSize;
  out[2] = w != nullptr ? w->minHeight : 0;
  out[3] = w != nullptr ? w->maxHeight : unboundedSize;
}

void setXWindowDesiredPosition(Window window, Display* display, const DesiredPosition* p) {
  if (WindowResourceNode* w = findXWindow(window, display)) w->desired = *p;
}

void getXWindowDesiredPosition(Window window, Display* display, DesiredPosition* out) {
  WindowResourceNode* w = findXWindow(window, display);
  if (w != nullptr) *out = w->desired;
  else memset(out, 0, sizeof *out);
}

void xWindowBeMapped(Window window, Display* display, uint8_t state) {
  if (WindowResourceNode* w = findXWindow(window, display)) w->mapState = state;
}

uint8_t xWindowMapState(Window window, Display* display) {
  WindowResourceNode* w = findXWindow(window, display);
  return w != nullptr ? w->mapState : 0;
}

void xWindowsOnDisplayDo(void (*function)(Window, void*), Display* display, void* data) {
  DisplayResourceNode* d = findDisplay(display);
  for (WindowResourceNode* w = d != nullptr ? d->windows : nullptr; w != nullptr; w = w->next)
    function(w->window, data);
}

// ---- Input reduced during long computations ----------------------------------------------------

// Motion events are what a busy image cannot keep up with: they are cut from every window's
// mask and kept from propagating until the computation ends.
void deselectXEvents() {
  for (DisplayResourceNode* d = x11Displays; d != nullptr; d = d->next) {
    for (WindowResourceNode* w = d->windows; w != nullptr; w = w->next) {
      XWindowAttributes a;
      if (XGetWindowAttributes(d->display, w->window, &a)) {
        w->savedEventMask = a.your_event_mask;
        w->savedDontPropagate = a.do_not_propagate_mask;
      } else {
        w->savedEventMask = w->eventMask;
      }
      XSetWindowAttributes set;
      set.event_mask = w->savedEventMask & ~PointerMotionMask;
      set.do_not_propagate_mask = w->savedDontPropagate | PointerMotionMask;
      XChangeWindowAttributes(d->display, w->window, CWEventMask | CWDontPropagate, &set);
    }
    XFlush(d->display);
  }
}

void reselectXEvents() {
  for (DisplayResourceNode* d = x11Displays; d != nullptr; d = d->next) {
    for (WindowResourceNode* w = d->windows; w != nullptr; w = w->next) {
      XSetWindowAttributes set;
      set.event_mask = w->savedEventMask;
      set.do_not_propagate_mask = w->savedDontPropagate;
      XChangeWindowAttributes(d->display, w->window, CWEventMask | CWDontPropagate, &set);
    }
    XFlush(d->display);
  }
}

// ---- Decoration offsets ------------------------------------------------------------------------

void noteWindowPositionOffset(Display* display, uint32_t type, uint32_t kind, const int64_t* xy, int tentative) {
  DisplayResourceNode* d = findDisplay(display);
  if (d == nullptr || xy == nullptr || type >= windowTypeCount || kind > 1) return;
  d->offsets[type][kind] = WindowOffset{xy[0], xy[1], tentative ? 0u : 1u};
}

void windowPositionOffset(int64_t out[2], Display* display, uint32_t type, uint32_t kind) {
  DisplayResourceNode* d = findDisplay(display);
  bool known = d != nullptr && type < windowTypeCount && kind <= 1;
  out[0] = known ? d->offsets[type][kind].x : 0;
  out[1] = known ? d->offsets[type][kind].y : 0;
}

uint32_t windowPositionOffsetIsInitialized(Display* display, uint32_t type, uint32_t kind) {
  DisplayResourceNode* d = findDisplay(display);
  return d != nullptr && type < windowTypeCount && kind <= 1 ? d->offsets[type][kind].initialised : 0;
}

int readWindowOffsetsProperty(DisplayResourceNode* node, long items[32]) {
  Display* dpy = node->display;
  Atom type;
  int format;
  unsigned long count, left;
  unsigned char* data = nullptr;
  int r = XGetWindowProperty(dpy, RootWindow(dpy, DefaultScreen(dpy)), node->winOffsets, 0, 32, False,
                             node->winOffsets, &type, &format, &count, &left, &data);
  bool valid = r == Success && type == node->winOffsets && format == 32 && count == 32 && left == 0 && data != nullptr;
  if (valid) memcpy(items, data, 32 * sizeof(long));  // format 32 comes as longs
  if (data != nullptr) XFree(data);
  return valid;
}

// ---- Motif -------------------------------------------------------------------------------------

static Atom motifAtom(Display* display, const char* name) {
  Atom a = XInternAtom(display, name, False);
  if (a == None) {
    char text[96];
    snprintf(text, sizeof text, "Unable to obtain ATOM for %s.", name);
    REPORT_ERROR(text, errPlatformLayer | errCausePlatform | errNote);
  }
  return a;
}

static void initializeMotifState(DisplayResourceNode* node) {
  MotifState* m = (MotifState*)calloc(1, sizeof(MotifState));
  if (m == nullptr) return;
  Display* dpy = node->display;
  m->hints = motifAtom(dpy, "_MOTIF_WM_HINTS");
  m->messages = motifAtom(dpy, "_MOTIF_WM_MESSAGES");
  m->info = motifAtom(dpy, "_MOTIF_WM_INFO");
  m->offset = motifAtom(dpy, "_MOTIF_WM_OFFSET");
  Atom type;
  int format;
  unsigned long count, left;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(dpy, RootWindow(dpy, DefaultScreen(dpy)), m->info, 0, 100, False, AnyPropertyType, &type,
                         &format, &count, &left, &data) == Success && data != nullptr) {
    m->wmRuns = 1;
    XFree(data);
  }
  node->motif = m;
}

// Dialog-like windows tell a Motif window manager their modality and decoration.
void setMotifProperties(Display* display, Window window, uint32_t type) {
  DisplayResourceNode* d = findDisplay(display);
  if (d == nullptr || d->motif == nullptr || !d->motif->wmRuns || type < 3 || type > 5) return;
  static const long hints[3][5] = {{4, 0, 0, 0, 0}, {4, 0, 0, 3, 0}, {11, 36, 26, 0, 1}};
  XChangeProperty(display, window, d->motif->hints, d->motif->hints, 32, PropModeReplace,
                  (const unsigned char*)hints[type - 3], 5);
}

// ---- A new display's window data ---------------------------------------------------------------

void initWindowData(DisplayResourceNode* node) {
  Display* dpy = node->display;
  node->wmDeleteWindow = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  node->wmProtocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
  node->wmTakeFocus = XInternAtom(dpy, "WM_TAKE_FOCUS", False);
  node->winOffsets = XInternAtom(dpy, "_ZNR_WIN_OFFSETS", False);
  int adjust;
  if (getBooleanX11Resource(dpy, "adjustWindowPositions", "AdjustWindowPositions", &adjust))
    node->adjustWindowPositions = (uint32_t)adjust;
  long items[32];
  if (readWindowOffsetsProperty(node, items)) {
    for (uint32_t t = 0; t < windowTypeCount; t++)
      for (uint32_t k = 0; k < 2; k++) {
        int64_t xy[2] = {items[4 * t + 2 * k], items[4 * t + 2 * k + 1]};
        noteWindowPositionOffset(dpy, t, k, xy, 1);
      }
  }
  const int64_t zero[2] = {0, 0};
  for (uint32_t k = 0; k < 2; k++) {
    noteWindowPositionOffset(dpy, 0, k, zero, 0);
    noteWindowPositionOffset(dpy, 6, k, zero, 0);
  }
  initializeMotifState(node);
}
