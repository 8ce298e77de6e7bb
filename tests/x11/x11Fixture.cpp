// Test support: the in-process x11 fixture.
#include "x11/x11Fixture.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxMain.h"

static uint32_t gcClass;
static std::vector<Display*> openedDisplays;  // this case's, flushed by pump as the idle wait would

void X11::SetUpTestSuite() {
  // Output goes out with each XSync and pump the tests make: no flush timer (it would need the
  // engine's signal handlers).
  qrxOptions |= uint64_t(1) << 25;
  snprintf(guiLibraryFilename, sizeof guiLibraryFilename, "%s", TESSEL_GUI_LIBRARY);
  setupNewIO();  // the descriptor bookkeeping each display connection joins
  signal(SIGIO, SIG_IGN);  // connections signal readiness; these tests read without waiting
}

void X11::SetUp() {
  newIOTestHeap(1 << 18);
  gcClass = newTestClass(formatPointers | 14);
  ASSERT_EQ(loadGUILibrary(), 0u) << "the GUI library binds";
  own = XOpenDisplay(getenv("TESSEL_X24"));
  ASSERT_NE(own, nullptr) << "the script's 24-bit server";
}

void X11::TearDown() {
  for (oop w : windows) callPrimitive(940, w, {});
  if (own != nullptr) XCloseDisplay(own);
  openedDisplays.clear();
  freeTestHeap();
}

oop X11::openScreen(const char* serverVariable, const char* environmentFile) {
  const char* server = getenv(serverVariable);
  EXPECT_NE(server, nullptr) << serverVariable;
  if (environmentFile != nullptr) setenv("XENVIRONMENT", environmentFile, 1);
  PrimOutcome r = callPrimitive(960, nilOop(), {byteString(server != nullptr ? server : "")});
  unsetenv("XENVIRONMENT");
  EXPECT_FALSE(r.failed);
  if (!r.failed) openedDisplays.push_back(*reinterpret_cast<Display**>(bodyOf(headerOf(r.result))));
  oop screen = newOldObject(testClasses.threeSlots, 3);
  setSlot(screen, 0, r.failed ? nilOop() : r.result);
  return screen;
}

Display* X11::displayOf(oop screen) {
  return *reinterpret_cast<Display**>(bodyOf(headerOf(slotOf(screen, 0))));
}

oop X11::point(int64_t x, int64_t y) {
  oop p = newOldObject(sysPointClass, 2);
  setSlot(p, 0, smallIntegerFor(x));
  setSlot(p, 1, smallIntegerFor(y));
  return p;
}

oop X11::array(const std::vector<oop>& slots) {
  oop a = newOldObject(classIndexArray, slots.size());
  for (uint64_t i = 0; i < slots.size(); i++) setSlot(a, i, slots[i]);
  return a;
}

oop X11::bytes(uint64_t n) { return newOldObject(classIndexByteArray, n); }

void X11::setSlot(oop o, uint64_t index, oop value) { bodyOf(headerOf(o))[index] = value; }

// A drawable receiver: the handle, then width and height (what a mask needs).
static oop drawableReceiver(oop handle, int64_t w, int64_t h) {
  oop r = newOldObject(testClasses.threeSlots, 3);
  X11::setSlot(r, 0, handle);
  X11::setSlot(r, 1, smallIntegerFor(w));
  X11::setSlot(r, 2, smallIntegerFor(h));
  return r;
}

oop X11::window(oop screen, int64_t x, int64_t y, int64_t w, int64_t h, int64_t flags) {
  PrimOutcome r = callPrimitive(906, screen, {point(x, y), point(w, h), nilOop(), nilOop(), smallIntegerFor(flags), nilOop()});
  EXPECT_FALSE(r.failed) << "906";
  if (r.failed) return nilOop();
  windows.push_back(drawableReceiver(r.result, w, h));
  return windows.back();
}

oop X11::pixmap(oop screen, int64_t w, int64_t h) {
  PrimOutcome r = callPrimitive(900, screen, {point(w, h)});
  EXPECT_FALSE(r.failed) << "900";
  return r.failed ? nilOop() : drawableReceiver(r.result, w, h);
}

oop X11::graphicsContext(oop drawable, oop paint) {
  oop gc = newOldObject(gcClass, 14);
  const oop zero = smallIntegerFor(0), one = smallIntegerFor(1);
  const oop slots[14] = {drawable, zero, zero, nilOop(), nilOop(), one, one, one, nilOop(),
                         paint != 0 ? paint : zero, zero, zero, zero, zero};
  for (uint64_t i = 0; i < 14; i++) setSlot(gc, i, slots[i]);
  return gc;
}

void X11::registerInput() {
  inputHolder = newOldObject(testClasses.threeSlots, 3);
  setSlot(inputHolder, 0, bytes(8));
  PrimOutcome r = callPrimitive(913, inputHolder, {newSemaphore()});
  ASSERT_FALSE(r.failed);
}

std::vector<X11::Event> X11::drainEvents() {
  std::vector<Event> events;
  oop record = newOldObject(classIndexArray, 11), raw = bytes(192);
  setSlot(record, 9, raw);
  for (;;) {
    PrimOutcome r = callPrimitive(914, inputHolder, {record});
    if (r.failed || r.result != trueOop()) break;
    auto v = [&](int i) { return smallIntegerValue(slotOf(record, (uint64_t)i)); };
    int rawType;
    memcpy(&rawType, bodyOf(headerOf(raw)), sizeof rawType);
    events.push_back(Event{v(0), v(2), v(3), v(4), v(5), v(6), rawType, (uint64_t)v(1), slotOf(record, 7), slotOf(record, 10)});
  }
  return events;
}

double X11::doubleValue(oop d) {
  if (isSmallDouble(d)) return loadSmallDoubleFromOop(d);
  double v;
  memcpy(&v, bodyOf(headerOf(d)), sizeof v);
  return v;
}

// With the flush timer off, output goes out when the engine waits idle; the tests never do.
void X11::pump() {
  for (Display* d : openedDisplays) XFlush(d);
  pdSynchronizeInput();
}

bool X11::waitForEvent(int64_t type, uint64_t window, std::vector<Event>* seen) {
  for (int i = 0; i < 400; i++) {
    pump();
    size_t before = seen->size();
    std::vector<Event> more = drainEvents();
    seen->insert(seen->end(), more.begin(), more.end());
    for (size_t k = before; k < seen->size(); k++)
      if ((*seen)[k].type == type && (*seen)[k].window == window) return true;
    struct timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
  return false;
}
