// X11 window system: selections and cut buffers. Offers the image's text as PRIMARY,
// SECONDARY and CLIPBOARD (answering other clients' requests, long texts through INCR and
// MULTIPLE lists), gives it up when another client takes the selection, fetches other
// clients' selections (INCR too) with cut buffer 0 as the last resort, and keeps cut buffer
// 0 filled with the offered text. Text is Latin-1 bytes of type STRING. Every wait for the
// server is bounded by the display's selection timeout.
// Owns each display's SelectionState.
// Prefix: none (pdInitSelection, pdSetSelection, pdGetSelection, pdRequestSelection,
// pdClearSelection, serverTimestamp).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "x11/x11.h"

#include <X11/Xatom.h>

enum {
  atomClipboard, atomAtomPair, atomIncr, atomLength, atomMultiple, atomTargets, atomTimestamp, atomFirst,
  atomFirstUnit, atomLast, atomLastUnit, atomYield, atomText, atomString, atomCount
};
static const char* const atomNames[atomCount] = {
    "CLIPBOARD",      "ATOM_PAIR",     "INCR",           "LENGTH",           "MULTIPLE",
    "TARGETS",        "TIMESTAMP",     "_SUN_SELN_FIRST", "_SUN_SELN_FIRST_UNIT", "_SUN_SELN_LAST",
    "_SUN_SELN_LAST_UNIT", "_SUN_SELN_YIELD", "TEXT",      "STRING"};
enum : uint32_t { ownPrimary = 1, ownSecondary = 2, ownClipboard = 4 };

struct SelectionState {
  Atom atoms[atomCount];
  uint8_t* received;  // the last fetch's text (may be the own buffer)
  uint64_t receivedLength;
  uint8_t* own;       // the offered text and a zero byte
  int32_t ownCapacity;
  int32_t ownLength;
  Time ownedSince;    // 0: not owned
  uint32_t owned;     // ownPrimary | ownSecondary | ownClipboard
  int64_t timeout;    // ms
  int64_t cutBufferLimit, incrChunk;
};
static_assert(sizeof(SelectionState) == 184, "the selection record");

static SelectionState* stateOf(Display* d) {
  DisplayResourceNode* node = findDisplay(d);
  return node != nullptr ? node->selection : nullptr;
}

static Window privateWindowOf(Display* d) {
  DisplayResourceNode* node = findDisplay(d);
  return node != nullptr ? node->privateWindow : None;
}

// Bytes a property request may carry: twice the plain limit where BIG-REQUESTS lifts it.
static uint64_t propertyChunk(Display* d) {
  uint64_t plain = (uint64_t)XMaxRequestSize(d);
  return XExtendedMaxRequestSize(d) != 0 ? 8 * plain - 100 : 4 * plain - 100;
}

static void dropReceived(SelectionState* s) {
  if (s->received != nullptr && s->received != s->own) free(s->received);
  s->received = nullptr, s->receivedLength = 0;
}

void pdInitSelection(Display* d) {
  DisplayResourceNode* node = findDisplay(d);
  if (node == nullptr || node->selection != nullptr) return;
  SelectionState* s = static_cast<SelectionState*>(calloc(1, sizeof(SelectionState)));
  if (s == nullptr) return;
  long v;
  s->timeout = getLongIntegerX11Resource(d, "selectionTimeout", "SelectionTimeout", &v) ? (v < 0 ? 0 : v) : 5000;
  int64_t fallback = (int64_t)propertyChunk(d);
  s->incrChunk = getLongIntegerX11Resource(d, "incrSelectionTransferSize", "IncrSelectionTransferSize", &v) ? v : fallback;
  s->cutBufferLimit = getLongIntegerX11Resource(d, "maxCutBufferLength", "MaxCutBufferLength", &v) ? v : fallback;
  if (s->cutBufferLimit > 0)
    for (Atom buffer = XA_CUT_BUFFER0; buffer <= XA_CUT_BUFFER7; buffer++)
      XChangeProperty(d, RootWindow(d, 0), buffer, XA_STRING, 8, PropModeAppend, (const unsigned char*)"", 0);
  for (int i = 0; i < atomCount; i++) {
    s->atoms[i] = XInternAtom(d, atomNames[i], False);
    if (s->atoms[i] == None) {
      char text[96];
      snprintf(text, sizeof text, "Unable to obtain ATOM for %s.", atomNames[i]);
      REPORT_ERROR(text, errPlatformLayer | errCausePlatform | errNote);
    }
  }
  node->selection = s;
}

void pdTerminateSelection() {}
void pdGetSelectionDone() {}

// ---- Properties -----------------------------------------------------------------------------------

// Replaced by the first chunk, the rest appended; false (the property deleted) on a server
// allocation error.
static bool writeProperty(Display* d, Window w, Atom property, Atom type, int format, const void* data, uint64_t items) {
  uint64_t unit = (uint64_t)format / 8, bytes = items * unit, chunk = propertyChunk(d) / unit * unit;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t done = 0;
  pdClearAllocErrorFlag(d);
  do {
    uint64_t n = bytes - done < chunk ? bytes - done : chunk;
    XChangeProperty(d, w, property, type, format, done == 0 ? PropModeReplace : PropModeAppend, p + done, (int)(n / unit));
    if (pdAllocErrorOccurred(d)) {
      XDeleteProperty(d, w, property);
      return false;
    }
    done += n;
  } while (done < bytes);
  return true;
}

// Format 32 items from longs (Xlib's form) for a list of 32-bit values.
static bool writeLongs(Display* d, Window w, Atom property, Atom type, const long* values, uint64_t n) {
  return writeProperty(d, w, property, type, 32, values, n);
}

struct PropertyData {
  uint8_t* bytes;  // malloc'd; for format 32 the items as longs
  uint64_t size;   // bytes gathered
  uint64_t items;
  Atom type;
  int format;
};

// The whole property, appended to out->bytes at out->size (grown as needed). Type: the one
// asked (AnyPropertyType for any) or INCR when allowed.
static bool readProperty(Display* d, Window w, Atom property, Atom type, bool incrAllowed, bool remove, Atom incr,
                         PropertyData* out) {
  long chunk = (long)(propertyChunk(d) / 8);
  long offset = 0;
  out->items = 0;
  for (;;) {
    Atom actual;
    int format;
    unsigned long n, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, offset, chunk, False, AnyPropertyType, &actual, &format, &n, &after, &data) !=
        Success)
      return false;
    if (actual == None) {
      if (data != nullptr) XFree(data);
      break;
    }
    if (type != AnyPropertyType && actual != type && !(incrAllowed && actual == incr)) {
      XFree(data);
      return false;
    }
    uint64_t unit = format == 32 ? sizeof(long) : (uint64_t)format / 8, bytes = n * unit;
    uint8_t* grown = static_cast<uint8_t*>(realloc(out->bytes, out->size + bytes + 1));
    if (grown == nullptr) {
      XFree(data);
      return false;
    }
    memcpy(grown + out->size, data, bytes);
    out->bytes = grown, out->size += bytes, out->items += n, out->type = actual, out->format = format;
    XFree(data);
    offset += (long)(n * (uint64_t)format / 32);
    if (after == 0) break;
  }
  if (remove && !(out->type == incr)) XDeleteProperty(d, w, property);
  return true;
}

// ---- Time -----------------------------------------------------------------------------------------

static bool addPropertyMask(Display* d, Window w, long* saved, const char* what) {
  XWindowAttributes a;
  if (!XGetWindowAttributes(d, w, &a)) {
    REPORT_ERROR(what, errPlatformLayer | errCauseVMBug | errNote);
    return false;
  }
  *saved = a.your_event_mask;
  XSelectInput(d, w, a.your_event_mask | PropertyChangeMask);
  XEvent ev;
  while (XCheckTypedWindowEvent(d, w, PropertyNotify, &ev)) {
  }
  return true;
}

Time serverTimestamp(Display* d) {
  SelectionState* s = stateOf(d);
  Window w = privateWindowOf(d);
  long saved;
  if (s == nullptr || w == None || !addPropertyMask(d, w, &saved, "Can't read event mask for the Smalltalk window."))
    return 0;
  XChangeProperty(d, w, XA_WM_HINTS, XA_WM_HINTS, 32, PropModeAppend, (const unsigned char*)"", 0);
  XEvent ev;
  Time t = waitForXEvent(d, w, PropertyNotify, &ev, (int)s->timeout) ? ev.xproperty.time : 0;
  XSelectInput(d, w, saved);
  return t;
}

// ---- Owning ---------------------------------------------------------------------------------------

int pdSetSelection(Display* d, const uint8_t* bytes, uint64_t length, int64_t number) {
  SelectionState* s = stateOf(d);
  Window w = privateWindowOf(d);
  if (s == nullptr || w == None || length > 0x7FFFFF00u) return 0;
  if (s->cutBufferLimit > 0) {
    XRotateBuffers(d, 1);
    uint64_t n = length < (uint64_t)s->cutBufferLimit ? length : (uint64_t)s->cutBufferLimit;
    writeProperty(d, RootWindow(d, 0), XA_CUT_BUFFER0, XA_STRING, 8, bytes, n);
  }
  if ((uint64_t)s->ownCapacity <= length) {
    if (s->received == s->own) s->received = nullptr, s->receivedLength = 0;
    free(s->own);
    s->own = static_cast<uint8_t*>(malloc(length + 100));
    s->ownCapacity = s->own != nullptr ? (int32_t)(length + 100) : 0;
    s->ownLength = 0;
  }
  if (s->own == nullptr) return 0;
  s->ownedSince = serverTimestamp(d);
  memcpy(s->own, bytes, length);
  s->ownLength = (int32_t)length;
  s->own[length] = 0;
  auto take = [&](Atom selection, uint32_t flag) {
    XSetSelectionOwner(d, selection, w, s->ownedSince);
    if (XGetSelectionOwner(d, selection) == w) s->owned |= flag;
  };
  switch (number) {
    case 0: take(XA_PRIMARY, ownPrimary), take(s->atoms[atomClipboard], ownClipboard); break;
    case 1: take(XA_PRIMARY, ownPrimary); break;
    case 2: take(XA_SECONDARY, ownSecondary); break;
    case 3: take(s->atoms[atomClipboard], ownClipboard); break;
    default: break;
  }
  return 1;
}

static uint32_t flagOf(SelectionState* s, Atom selection) {
  if (selection == XA_PRIMARY) return ownPrimary;
  if (selection == XA_SECONDARY) return ownSecondary;
  if (selection == s->atoms[atomClipboard]) return ownClipboard;
  return 0;
}

void pdClearSelection(XSelectionClearEvent* e) {
  SelectionState* s = stateOf(e->display);
  if (s == nullptr) return;
  s->owned &= ~flagOf(s, e->selection);
  dropReceived(s);
  if (s->owned == 0 && s->own != nullptr) s->own[0] = 0;
}

// ---- Answering requests ---------------------------------------------------------------------------

struct IncrTransfer {
  Atom property, target;
};

// One target into the requestor's property; false refuses it.
static bool convertTarget(Display* d, SelectionState* s, Window requestor, Atom selection, Atom target, Atom property,
                          IncrTransfer* incr, bool* usesIncr) {
  const Atom* a = s->atoms;
  long length = s->ownLength;
  if (target == XA_STRING || target == a[atomText]) {
    if (s->incrChunk > 0 && s->incrChunk < length) {
      *usesIncr = true, incr->property = property, incr->target = target;
      return writeLongs(d, requestor, property, a[atomIncr], &length, 1);
    }
    return writeProperty(d, requestor, property, target, 8, s->own, (uint64_t)s->ownLength);
  }
  if (target == a[atomTimestamp]) {
    long t = (long)s->ownedSince;
    return t != 0 && writeLongs(d, requestor, property, XA_INTEGER, &t, 1);
  }
  if (target == a[atomLength]) return writeLongs(d, requestor, property, XA_INTEGER, &length, 1);
  if (target == a[atomTargets]) {
    static const int offered[11] = {atomLength, atomMultiple, atomTargets, atomTimestamp, atomFirst, atomFirstUnit,
                                    atomLast,   atomLastUnit, atomYield,   atomText,      atomString};
    long list[11];
    for (int i = 0; i < 11; i++) list[i] = (long)a[offered[i]];
    return writeLongs(d, requestor, property, XA_ATOM, list, 11);
  }
  if (target == a[atomFirst] || target == a[atomFirstUnit] || target == a[atomLast] || target == a[atomLastUnit]) {
    long v = target == a[atomFirst] || target == a[atomFirstUnit] ? 0 : length - 1;
    return writeLongs(d, requestor, property, XA_INTEGER, &v, 1);
  }
  if (target == a[atomYield]) {
    if (s->ownedSince != 0) XSetSelectionOwner(d, selection, None, s->ownedSince);
    s->ownedSince = 0;
    s->owned &= ~flagOf(s, selection);
    dropReceived(s);
    return writeLongs(d, requestor, property, XA_INTEGER, nullptr, 0);
  }
  return false;
}

// Waits for the requestor to delete the property; false (the property deleted) on a timeout.
static bool awaitDeletion(Display* d, SelectionState* s, Window requestor, Atom property) {
  XEvent ev;
  for (;;) {
    if (!waitForXEvent(d, requestor, PropertyNotify, &ev, (int)s->timeout)) {
      XDeleteProperty(d, requestor, property);
      return false;
    }
    if (ev.xproperty.state == PropertyDelete && ev.xproperty.atom == property) return true;
  }
}

static void serveIncr(Display* d, SelectionState* s, Window requestor, const IncrTransfer& t) {
  uint64_t sent = 0, total = (uint64_t)s->ownLength;
  while (sent < total) {
    if (!awaitDeletion(d, s, requestor, t.property)) return;
    uint64_t n = total - sent < (uint64_t)s->incrChunk ? total - sent : (uint64_t)s->incrChunk;
    if (!writeProperty(d, requestor, t.property, t.target, 8, s->own + sent, n)) return;
    sent += n;
  }
  if (!awaitDeletion(d, s, requestor, t.property)) return;
  XChangeProperty(d, requestor, t.property, t.target, 8, PropModeReplace, (const unsigned char*)"", 0);
}

void pdRequestSelection(XSelectionRequestEvent* e) {
  Display* d = e->display;
  SelectionState* s = stateOf(d);
  if (s == nullptr) return;
  Atom property = e->property;
  enum { maxIncr = 64 };
  IncrTransfer transfers[maxIncr];
  int incrCount = 0;
  bool answered = false;
  if ((s->owned & flagOf(s, e->selection)) != 0 && s->own != nullptr) {
    if (e->target != s->atoms[atomMultiple]) {
      if (property == None) property = e->target;  // clients of before the property's time
      bool usesIncr = false;
      answered = convertTarget(d, s, e->requestor, e->selection, e->target, property, &transfers[0], &usesIncr);
      incrCount = answered && usesIncr ? 1 : 0;
    } else if (property != None) {
      PropertyData pairs = {};
      if (readProperty(d, e->requestor, property, s->atoms[atomAtomPair], false, false, s->atoms[atomIncr], &pairs) &&
          pairs.items % 2 == 0) {
        long* list = reinterpret_cast<long*>(pairs.bytes);
        bool anyFailed = false;
        for (uint64_t i = 0; i < pairs.items; i += 2) {
          bool usesIncr = false;
          IncrTransfer t;
          if (!convertTarget(d, s, e->requestor, e->selection, (Atom)list[i], (Atom)list[i + 1], &t, &usesIncr)) {
            list[i + 1] = None;
            anyFailed = true;
          } else if (usesIncr && incrCount < maxIncr) {
            transfers[incrCount++] = t;
          }
        }
        if (anyFailed) writeLongs(d, e->requestor, property, s->atoms[atomAtomPair], list, pairs.items);
        answered = true;
      }
      free(pairs.bytes);
    }
  }
  XEvent notify = {};
  notify.xselection.type = SelectionNotify;
  notify.xselection.display = d;
  notify.xselection.requestor = e->requestor;
  notify.xselection.selection = e->selection;
  notify.xselection.target = e->target;
  notify.xselection.time = e->time;
  notify.xselection.property = answered ? property : None;
  long saved = 0;
  bool serving = incrCount > 0 && addPropertyMask(d, e->requestor, &saved, "Can't read event mask for the selection window.");
  XSendEvent(d, e->requestor, False, 0, &notify);
  XFlush(d);
  if (!serving) return;
  for (int i = 0; i < incrCount; i++) serveIncr(d, s, e->requestor, transfers[i]);
  XSelectInput(d, e->requestor, saved);
  XFlush(d);
}

// ---- Fetching -------------------------------------------------------------------------------------

// The INCR transfer announced in the private window's property: chunk after chunk, the
// buffer grown past the announced size when the sender sends more.
static bool receiveIncr(Display* d, SelectionState* s, Window w, Atom property, PropertyData* out) {
  long saved;
  if (!addPropertyMask(d, w, &saved, "Can't read event mask for the selection window.")) return false;
  XDeleteProperty(d, w, property);  // starts the transfer
  XFlush(d);
  bool ok = true;
  for (;;) {
    XEvent ev;
    if (!waitForXEvent(d, w, PropertyNotify, &ev, (int)s->timeout)) {
      ok = false;
      break;
    }
    if (ev.xproperty.state != PropertyNewValue || ev.xproperty.atom != property) continue;
    uint64_t before = out->size;
    PropertyData chunk = {out->bytes, out->size, 0, None, 0};
    if (!readProperty(d, w, property, XA_STRING, false, true, s->atoms[atomIncr], &chunk)) {
      out->bytes = chunk.bytes;
      ok = false;
      break;
    }
    out->bytes = chunk.bytes, out->size = chunk.size;
    if (chunk.size == before) break;  // the zero-length end
  }
  XSelectInput(d, w, saved);
  return ok;
}

// The text of one selection in s->received, or false for nothing.
static bool fetchSelection(Display* d, SelectionState* s, Atom selection) {
  Window w = privateWindowOf(d);
  Window owner = XGetSelectionOwner(d, selection);
  if (owner == None) return false;
  if (owner == w) {
    if (s->own == nullptr || s->ownLength == 0 || s->own[0] == 0) return false;
    s->received = s->own, s->receivedLength = (uint64_t)s->ownLength;
    return true;
  }
  XEvent ev;
  while (XCheckTypedWindowEvent(d, w, SelectionNotify, &ev)) {
  }
  XConvertSelection(d, selection, XA_STRING, XA_STRING, w, CurrentTime);
  if (!waitForXEvent(d, w, SelectionNotify, &ev, (int)s->timeout) || ev.xselection.property == None ||
      ev.xselection.target != XA_STRING)
    return false;
  Atom property = ev.xselection.property;
  PropertyData data = {};
  if (!readProperty(d, w, property, XA_STRING, true, true, s->atoms[atomIncr], &data)) {
    free(data.bytes);
    return false;
  }
  if (data.type == s->atoms[atomIncr]) {
    if (data.format != 32 || data.items < 1) {
      XDeleteProperty(d, w, property);
      free(data.bytes);
      return false;
    }
    uint64_t announced = (uint64_t)reinterpret_cast<long*>(data.bytes)[0];
    free(data.bytes);
    data = PropertyData{static_cast<uint8_t*>(malloc(announced + 1)), 0, 0, None, 0};
    if (data.bytes == nullptr || !receiveIncr(d, s, w, property, &data)) {
      free(data.bytes);
      return false;
    }
  }
  s->received = data.bytes, s->receivedLength = data.size;
  return true;
}

int pdGetSelection(Display* d, int64_t number, oop* resultOut) {
  SelectionState* s = stateOf(d);
  if (s == nullptr) {
    *resultOut = primErrorAt(primErrGeneral);
    return 0;
  }
  dropReceived(s);
  Atom clipboard = s->atoms[atomClipboard];
  bool got = false;
  switch (number) {
    case 0:
      got = fetchSelection(d, s, XA_PRIMARY) || fetchSelection(d, s, clipboard);
      if (!got) {
        int n = 0;
        char* bytes = XFetchBytes(d, &n);
        if (bytes != nullptr && n > 0) {
          s->received = static_cast<uint8_t*>(malloc((size_t)n));
          if (s->received != nullptr) memcpy(s->received, bytes, (size_t)n), s->receivedLength = (uint64_t)n, got = true;
        }
        if (bytes != nullptr) XFree(bytes);
      }
      break;
    case 1: got = fetchSelection(d, s, XA_PRIMARY); break;
    case 2: got = fetchSelection(d, s, XA_SECONDARY); break;
    case 3: got = fetchSelection(d, s, clipboard); break;
    default: break;
  }
  oop result = nilOop();
  if (got && s->receivedLength > 0) {
    result = STStringWithSize(reinterpret_cast<const char*>(s->received), s->receivedLength);
    if (result == 0) {
      *resultOut = cloneErrorWith(primErrorAt(primErrNoSpace), smallIntegerFor((int64_t)s->receivedLength));
      dropReceived(s);
      return 0;
    }
  }
  dropReceived(s);
  *resultOut = result;
  return 1;
}
