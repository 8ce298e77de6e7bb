// X11 window system: input methods. Routines the image finds by name in the link registry
// and calls through its C call-out: opening an input method, input contexts for its windows
// (pre-edit spot, status area, focus), font sets, and the text the input method composed for
// a key event, queued by event translation under the event's serial until the image asks.
// Their object answers and failures go through the user-primitive interface, found by name
// in the program when the routines first need it (see the seam below).
// Owns the context map and the conversion queue.
// Prefix: none (registerX11InputManagerRoutines, keyPressToXIC, recordConversion; the
// routines by their registered names).
#include <dlfcn.h>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "prim/prLinkRegistry.h"
#include "x11/x11.h"

// ---- The seam to the user-primitive interface ----------------------------------------------------
// The routines answer objects and failures through the program's UP functions. They are
// looked up by name (the program exports its symbols), so the routines work wherever those
// exist and, where they do not, answer 0: the image's call sees a failure.

static struct {
  bool bound;
  // As include/tessel/oe.h declares them.
  void (*fail)(int32_t code);
  oop (*nil)();
  oop (*allocArray)(oop value, int64_t n);
  void (*basicAtPut)(oop object, int64_t index, oop value);
  oop (*ctoSTint)(int64_t value);
  oop (*allocByteArray)(char byte, int64_t n);
  oop (*copyCtoSTbytes)(oop object, const void* buffer, int64_t length, int64_t start, int64_t* count);
  oop (*copySTtoCbytes)(oop object, void* buffer, int64_t length, int64_t start, int64_t* count);
} up;

static bool bindUP() {
  if (up.bound) return up.fail != nullptr;
  up.bound = true;
  struct {
    const char* name;
    void** slot;
  } const names[] = {{"UPfail", reinterpret_cast<void**>(&up.fail)},
                     {"UPnil", reinterpret_cast<void**>(&up.nil)},
                     {"UPallocArray", reinterpret_cast<void**>(&up.allocArray)},
                     {"UPbasicAtPut", reinterpret_cast<void**>(&up.basicAtPut)},
                     {"UPCtoSTint", reinterpret_cast<void**>(&up.ctoSTint)},
                     {"UPallocByteArray", reinterpret_cast<void**>(&up.allocByteArray)},
                     {"UPcopyCtoSTbytes", reinterpret_cast<void**>(&up.copyCtoSTbytes)},
                     {"UPcopySTtoCbytes", reinterpret_cast<void**>(&up.copySTtoCbytes)}};
  bool all = true;
  for (const auto& n : names) all = (*n.slot = dlsym(RTLD_DEFAULT, n.name)) != nullptr && all;
  if (!all) up.fail = nullptr;  // a partial interface is none
  return all;
}

// UPfail(1) where the interface exists; the routine then answers 0.
static int64_t failed() {
  if (bindUP()) up.fail(1);
  return 0;
}

// ---- The lists --------------------------------------------------------------------------------------

struct ListNode {
  void* value;
  ListNode* next;
};
struct ContextPair {
  Window window;
  XIC context;
};
struct Conversion {
  int32_t length;
  char* text;
  unsigned long serial;
  Window window;  // of the key event: its context's destruction drops what was never asked for
};

static ListNode contexts, conversions;  // heads; values from the first node after the head
static bool listsMade;

static void appendNode(ListNode* head, void* value) {
  ListNode* at = head;
  while (at->next != nullptr) at = at->next;
  ListNode* node = static_cast<ListNode*>(malloc(sizeof(ListNode)));
  node->value = value, node->next = nullptr;
  at->next = node;
}

static void initializeX11InputManager() {
  if (listsMade) return;
  listsMade = true;
  contexts.next = nullptr, conversions.next = nullptr;
}

XIC keyPressToXIC(XKeyEvent* event) {
  for (ListNode* n = contexts.next; n != nullptr; n = n->next) {
    ContextPair* p = static_cast<ContextPair*>(n->value);
    if (p->window == event->window) return p->context;
  }
  return nullptr;
}

void recordConversion(XKeyEvent* event, const char* text, int count) {
  if (count < 0) return;
  Conversion* c = static_cast<Conversion*>(malloc(sizeof(Conversion)));
  c->length = count;
  c->text = static_cast<char*>(malloc((size_t)count + 1));
  memcpy(c->text, text, (size_t)count);
  c->text[count] = 0;
  c->serial = event->serial;
  c->window = event->window;
  appendNode(&conversions, c);
}

// Unlinks and answers the first node whose value the test accepts (its node freed), or null.
template <typename Test>
static void* unlinkFirst(ListNode* head, Test accepts) {
  for (ListNode* prev = head; prev->next != nullptr; prev = prev->next) {
    ListNode* n = prev->next;
    if (!accepts(n->value)) continue;
    prev->next = n->next;
    void* value = n->value;
    free(n);
    return value;
  }
  return nullptr;
}

static void freeConversion(Conversion* c) {
  free(c->text);
  free(c);
}

// ---- The routines -----------------------------------------------------------------------------------

static int64_t mapWindowXIC(Window window, XIC context) {
  for (ListNode* n = contexts.next; n != nullptr; n = n->next) {
    ContextPair* p = static_cast<ContextPair*>(n->value);
    if (p->window != window) continue;
    XUnsetICFocus(p->context);
    p->context = context;
    XSetICFocus(context);
    return 1;
  }
  ContextPair* p = static_cast<ContextPair*>(malloc(sizeof(ContextPair)));
  p->window = window, p->context = context;
  appendNode(&contexts, p);
  XSetICFocus(context);
  return 1;
}

static void unmapXIC(XIC context) {
  void* pair = unlinkFirst(&contexts, [&](void* v) { return static_cast<ContextPair*>(v)->context == context; });
  if (pair == nullptr) return;
  XUnsetICFocus(context);
  free(pair);
}

// The text composed for the event a byte object holds, once; nil when none is queued or the
// object is shorter than an event.
static oop retrieveConversion(oop eventBytes) {
  if (!bindUP()) return 0;
  XEvent event;
  int64_t copied = 0;
  if (!isByteObject(eventBytes) || byteSizeOf(headerOf(eventBytes)) < sizeof event) return up.nil();
  up.copySTtoCbytes(eventBytes, &event, int64_t(sizeof event), 1, &copied);
  if (copied < int64_t(sizeof event)) return up.nil();
  unsigned long serial = event.xkey.serial;
  Conversion* c = static_cast<Conversion*>(
      unlinkFirst(&conversions, [&](void* v) { return static_cast<Conversion*>(v)->serial == serial; }));
  if (c == nullptr) return up.nil();
  oop bytes = up.allocByteArray(0, c->length);
  int64_t count = 0;
  if (bytes != 0 && c->length > 0) up.copyCtoSTbytes(bytes, c->text, int64_t(c->length), 1, &count);
  freeConversion(c);
  return bytes;
}

static XIM openXIM(Display* display) {
  XIM im = XOpenIM(display, nullptr, nullptr, nullptr);
  if (im == nullptr) failed();
  return im;
}

static int64_t closeXIM(XIM im) { return XCloseIM(im); }

static oop getXIMStyles(XIM im) {
  if (!bindUP()) return 0;
  XIMStyles* styles = nullptr;
  if (XGetIMValues(im, XNQueryInputStyle, &styles, nullptr) != nullptr) styles = nullptr;
  int64_t n = styles != nullptr ? styles->count_styles : 0;
  oop list = up.allocArray(up.nil(), n);
  for (int64_t i = 0; list != 0 && i < n; i++) up.basicAtPut(list, i + 1, up.ctoSTint((int64_t)styles->supported_styles[i]));
  if (styles != nullptr) XFree(styles);
  return list;
}

static XVaNestedList preeditList(XRectangle* area, XPoint* spot, unsigned long* fg, unsigned long* bg, XFontSet fonts) {
  return XVaCreateNestedList(0, XNSpotLocation, spot, XNArea, area, XNForeground, *fg, XNBackground, *bg, XNFontSet,
                             fonts, nullptr);
}

static XIC createIC(XIM im, Window window, int64_t style, int64_t x, int64_t y, int64_t w, int64_t h, int64_t sx,
                    int64_t sy, int64_t fg, int64_t bg, XFontSet fonts) {
  XRectangle area = {(short)x, (short)y, (unsigned short)w, (unsigned short)h};
  XPoint spot = {(short)sx, (short)sy};
  unsigned long f = (unsigned long)fg, b = (unsigned long)bg;
  XVaNestedList preedit = preeditList(&area, &spot, &f, &b, fonts);
  XIC ic = XCreateIC(im, XNInputStyle, (long)style, XNClientWindow, window, XNFocusWindow, window, XNPreeditAttributes,
                     preedit, nullptr);
  XFree(preedit);
  if (ic == nullptr) failed();
  return ic;
}

static oop getPreferredXICStatusArea(XIC ic, int64_t x, int64_t y, int64_t w, int64_t h) {
  if (!bindUP()) return 0;
  XRectangle asked = {(short)x, (short)y, (unsigned short)w, (unsigned short)h};
  XVaNestedList set = XVaCreateNestedList(0, XNAreaNeeded, &asked, nullptr);
  char* bad = XSetICValues(ic, XNStatusAttributes, set, nullptr);
  XFree(set);
  if (bad != nullptr) return (oop)failed();
  XRectangle* needed = nullptr;
  XVaNestedList get = XVaCreateNestedList(0, XNAreaNeeded, &needed, nullptr);
  bad = XGetICValues(ic, XNStatusAttributes, get, nullptr);
  XFree(get);
  if (bad != nullptr || needed == nullptr) return (oop)failed();
  const int64_t v[4] = {needed->x, needed->y, needed->width, needed->height};
  XFree(needed);
  oop list = up.allocArray(up.nil(), 4);
  for (int i = 0; list != 0 && i < 4; i++) up.basicAtPut(list, i + 1, up.ctoSTint(v[i]));
  return list;
}

static int64_t setXICStatusArea(XIC ic, int64_t x, int64_t y, int64_t w, int64_t h, int64_t fg, int64_t bg) {
  XRectangle area = {(short)x, (short)y, (unsigned short)w, (unsigned short)h};
  XVaNestedList status = XVaCreateNestedList(0, XNArea, &area, XNForeground, (unsigned long)fg, XNBackground,
                                             (unsigned long)bg, nullptr);
  char* bad = XSetICValues(ic, XNStatusAttributes, status, nullptr);
  XFree(status);
  return bad != nullptr ? failed() : 1;
}

static int64_t setXICxy(XIC ic, int64_t x, int64_t y) {
  XPoint spot = {(short)x, (short)y};
  XVaNestedList preedit = XVaCreateNestedList(0, XNSpotLocation, &spot, nullptr);
  char* bad = XSetICValues(ic, XNPreeditAttributes, preedit, nullptr);
  XFree(preedit);
  return bad != nullptr ? failed() : 1;
}

static int64_t updateXIC(XIC ic, int64_t x, int64_t y, int64_t w, int64_t h, int64_t sx, int64_t sy, int64_t fg,
                         int64_t bg) {
  XRectangle area = {(short)x, (short)y, (unsigned short)w, (unsigned short)h};
  XPoint spot = {(short)sx, (short)sy};
  XVaNestedList preedit = XVaCreateNestedList(0, XNArea, &area, XNSpotLocation, &spot, XNForeground, (unsigned long)fg,
                                              XNBackground, (unsigned long)bg, nullptr);
  char* bad = XSetICValues(ic, XNPreeditAttributes, preedit, nullptr);
  XFree(preedit);
  return bad != nullptr ? failed() : 1;
}

// Its conversions go with it: no later event can ask for them.
static void destroyXIC(XIC ic) {
  Window window = None;
  for (ListNode* n = contexts.next; n != nullptr; n = n->next)
    if (static_cast<ContextPair*>(n->value)->context == ic) window = static_cast<ContextPair*>(n->value)->window;
  unmapXIC(ic);
  XDestroyIC(ic);
  if (window == None) return;
  while (void* c = unlinkFirst(&conversions, [&](void* v) { return static_cast<Conversion*>(v)->window == window; }))
    freeConversion(static_cast<Conversion*>(c));
}

// For the tests: conversions waiting.
extern "C" __attribute__((visibility("default"))) int64_t x11QueuedConversions() {
  int64_t n = 0;
  for (ListNode* c = conversions.next; c != nullptr; c = c->next) n++;
  return n;
}

static XFontSet createFontSet(Display* display, const char* names) {
  char** missing = nullptr;
  int missingCount = 0;
  char* defaultString = nullptr;
  XFontSet set = XCreateFontSet(display, names, &missing, &missingCount, &defaultString);
  if (missing != nullptr) XFreeStringList(missing);
  if (set != nullptr && missingCount > 0) {
    XFreeFontSet(display, set);
    set = nullptr;
  }
  if (set == nullptr) failed();
  return set;
}

static void freeFontSet(Display* display, XFontSet set) { XFreeFontSet(display, set); }

static const char* primSetLocale() {
  if (!XSupportsLocale()) return (const char*)failed();
  XSetLocaleModifiers("");
  return setlocale(LC_ALL, nullptr);
}

void registerX11InputManagerRoutines() {
  struct {
    const char* name;
    void* handle;
  } const routines[] = {
      {"mapWindowXIC", reinterpret_cast<void*>(mapWindowXIC)},
      {"unmapXIC", reinterpret_cast<void*>(unmapXIC)},
      {"retrieveConversion", reinterpret_cast<void*>(retrieveConversion)},
      {"openXIM", reinterpret_cast<void*>(openXIM)},
      {"closeXIM", reinterpret_cast<void*>(closeXIM)},
      {"getXIMStyles", reinterpret_cast<void*>(getXIMStyles)},
      {"createIC", reinterpret_cast<void*>(createIC)},
      {"getPreferredXICStatusArea", reinterpret_cast<void*>(getPreferredXICStatusArea)},
      {"setXICStatusArea", reinterpret_cast<void*>(setXICStatusArea)},
      {"setXICxy", reinterpret_cast<void*>(setXICxy)},
      {"updateXIC", reinterpret_cast<void*>(updateXIC)},
      {"destroyXIC", reinterpret_cast<void*>(destroyXIC)},
      {"createFontSet", reinterpret_cast<void*>(createFontSet)},
      {"freeFontSet", reinterpret_cast<void*>(freeFontSet)},
      {"primSetLocale", reinterpret_cast<void*>(primSetLocale)},
      {"initializeX11InputManager", reinterpret_cast<void*>(initializeX11InputManager)},
  };
  for (const auto& r : routines) UPRegisterSymbolAndHandle(r.name, r.handle);
}
