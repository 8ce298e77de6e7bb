// Test tooling: the selection peer (see selPeer.h).
#include "x11/selPeer.h"

#include <X11/Xatom.h>

#include <cstring>
#include <ctime>

static void pause5ms() {
  struct timespec t = {0, 5000000};
  nanosleep(&t, nullptr);
}

// The next event of the type for the window within about 5 s.
static bool nextEvent(Display* d, Window w, int type, XEvent* ev) {
  for (int i = 0; i < 1000; i++) {
    if (XCheckTypedWindowEvent(d, w, type, ev)) return true;
    pause5ms();
  }
  return false;
}

// The whole property; its type and format through the pointers.
static std::string readAll(Display* d, Window w, Atom property, Atom* type, int* format, bool remove,
                           std::vector<long>* items) {
  std::string out;
  long offset = 0;
  for (;;) {
    unsigned long n, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, offset, 65536, False, AnyPropertyType, type, format, &n, &after, &data) != Success)
      break;
    if (*type == None) break;
    if (*format == 32 && items != nullptr)
      for (unsigned long i = 0; i < n; i++) items->push_back(reinterpret_cast<long*>(data)[i]);
    else if (*format == 8)
      out.append(reinterpret_cast<char*>(data), n);
    offset += (long)(n * (unsigned long)*format / 32);
    XFree(data);
    if (after == 0) break;
  }
  if (remove) XDeleteProperty(d, w, property);
  return out;
}

PeerConversion peerConvert(const char* server, const char* selection, const char* target,
                           const std::vector<const char*>& pairs) {
  PeerConversion c;
  Display* d = XOpenDisplay(server);
  if (d == nullptr) return c;
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(d, w, PropertyChangeMask);
  Atom property = XInternAtom(d, "PEER_RESULT", False), incr = XInternAtom(d, "INCR", False);
  if (!pairs.empty()) {
    std::vector<long> list;
    for (const char* p : pairs) list.push_back((long)XInternAtom(d, p, False));
    XChangeProperty(d, w, property, XInternAtom(d, "ATOM_PAIR", False), 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(list.data()), (int)list.size());
  }
  XConvertSelection(d, XInternAtom(d, selection, False), XInternAtom(d, target, False), property, w, CurrentTime);
  XEvent ev;
  if (nextEvent(d, w, SelectionNotify, &ev) && ev.xselection.property != None) {
    c.answered = true;
    int format;
    Atom type;
    bool multiple = !pairs.empty();
    c.text = readAll(d, w, property, &type, &format, !multiple, &c.items);
    c.type = type;
    if (type == incr) {
      c.text.clear();
      // The announcement's own notices come first: chunks follow the deletion that read it.
      bool deleted = false;
      for (;;) {
        if (!nextEvent(d, w, PropertyNotify, &ev)) break;
        if (ev.xproperty.atom != property) continue;
        if (ev.xproperty.state == PropertyDelete) deleted = true;
        if (!deleted || ev.xproperty.state != PropertyNewValue) continue;
        std::string chunk = readAll(d, w, property, &type, &format, true, nullptr);
        if (chunk.empty()) break;
        c.text += chunk;
        c.chunks++;
      }
    }
  }
  XCloseDisplay(d);
  return c;
}

void peerServe(const char* server, const char* selection, const std::string& text, long chunk, bool silent,
               std::atomic<bool>* ready, std::atomic<bool>* stop, long announced) {
  Display* d = XOpenDisplay(server);
  if (d == nullptr) return;
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  Atom sel = XInternAtom(d, selection, False), incr = XInternAtom(d, "INCR", False);
  XSetSelectionOwner(d, sel, w, CurrentTime);
  XSync(d, False);
  ready->store(true);
  while (!stop->load()) {
    XEvent ev;
    if (!XCheckTypedWindowEvent(d, w, SelectionRequest, &ev)) {
      pause5ms();
      continue;
    }
    if (silent) continue;
    XSelectionRequestEvent r = ev.xselectionrequest;
    XEvent notify = {};
    notify.xselection.type = SelectionNotify;
    notify.xselection.requestor = r.requestor, notify.xselection.selection = r.selection;
    notify.xselection.target = r.target, notify.xselection.time = r.time, notify.xselection.property = None;
    if (r.target != XA_STRING) {
      XSendEvent(d, r.requestor, False, 0, &notify);
      XFlush(d);
      continue;
    }
    notify.xselection.property = r.property;
    bool incremental = chunk > 0 && (long)text.size() > chunk;
    if (!incremental) {
      XChangeProperty(d, r.requestor, r.property, XA_STRING, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(text.data()), (int)text.size());
      XSendEvent(d, r.requestor, False, 0, &notify);
      XFlush(d);
      continue;
    }
    XSelectInput(d, r.requestor, PropertyChangeMask);
    long size = announced >= 0 ? announced : (long)text.size();
    XChangeProperty(d, r.requestor, r.property, incr, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&size), 1);
    XSendEvent(d, r.requestor, False, 0, &notify);
    XFlush(d);
    for (size_t sent = 0; !stop->load();) {
      // Each deletion asks for the next chunk; the last one is empty.
      if (!nextEvent(d, r.requestor, PropertyNotify, &ev)) break;
      if (ev.xproperty.state != PropertyDelete || ev.xproperty.atom != r.property) continue;
      size_t n = text.size() - sent < (size_t)chunk ? text.size() - sent : (size_t)chunk;
      XChangeProperty(d, r.requestor, r.property, XA_STRING, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(text.data() + sent), (int)n);
      XFlush(d);
      if (n == 0) break;
      sent += n;
    }
    XSelectInput(d, r.requestor, NoEventMask);
  }
  XCloseDisplay(d);
}
