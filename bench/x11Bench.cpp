// Benchmarks of the X11 window system against an Xvfb server of their own: 10,000 rectangle
// fills through primitive 988 beside the same XFillRectangle calls from C on one connection,
// 10,000 key events queued and drained through 914 beside a raw XNextEvent loop, and 1000
// strings of 1024 characters drawn through 957 beside XDrawString. Without
// Xvfb they are skipped with a message.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxMain.h"
#include "support/ioKernel.h"
#include "support/primHarness.h"

extern char** environ;

namespace {

constexpr int operations = 10000;

oop newPoint(int64_t x, int64_t y) {
  oop p = newOldObject(sysPointClass, 2);
  bodyOf(headerOf(p))[0] = smallIntegerFor(x);
  bodyOf(headerOf(p))[1] = smallIntegerFor(y);
  return p;
}

oop holding(oop handle) {
  oop r = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(r))[0] = handle;
  return r;
}

uint64_t xidOf(oop receiver) { return *reinterpret_cast<uint64_t*>(bodyOf(headerOf(slotOf(receiver, 0)))); }

// An Xvfb on a free display number, the library bound and a mapped window of the engine's;
// own is a plain connection of the benchmark's on the same server.
struct X11Fixture {
  pid_t server = 0;
  char name[16] = "";
  Display* own = nullptr;
  Display* engine = nullptr;
  oop window = 0, gc = 0, inputHolder = 0, record = 0;
  const char* problem = nullptr;

  X11Fixture() { problem = setUp(); }

  const char* setUp() {
    if (!startServer()) return problem;
    qrxOptions |= uint64_t(1) << 25;  // no flush timer: the benchmarks flush and sync themselves
    snprintf(guiLibraryFilename, sizeof guiLibraryFilename, "%s", TESSEL_GUI_LIBRARY);
    setupNewIO();
    signal(SIGIO, SIG_IGN);
    newIOTestHeap(1 << 20);
    if (loadGUILibrary() != 0) return "the GUI library does not bind";
    PrimOutcome d = callPrimitive(960, nilOop(), {byteString(name)});
    if (d.failed) return "960 failed";
    engine = *reinterpret_cast<Display**>(bodyOf(headerOf(d.result)));
    oop screen = holding(d.result);
    PrimOutcome w = callPrimitive(906, screen, {newPoint(0, 0), newPoint(200, 200), nilOop(), nilOop(), smallIntegerFor(0), nilOop()});
    if (w.failed) return "906 failed";
    window = holding(w.result);
    callPrimitive(944, window, {});
    gc = newOldObject(newTestClass(formatPointers | 14), 14);
    const oop zero = smallIntegerFor(0), one = smallIntegerFor(1);
    const oop slots[14] = {window, zero, zero, nilOop(), nilOop(), one, one, one, nilOop(), smallIntegerFor(0xFF0000), zero, zero, zero, zero};
    memcpy(bodyOf(headerOf(gc)), slots, sizeof slots);
    inputHolder = holding(newOldObject(classIndexByteArray, 8));
    callPrimitive(913, inputHolder, {newSemaphore()});
    record = newOldObject(classIndexArray, 11);
    bodyOf(headerOf(record))[9] = newOldObject(classIndexByteArray, 192);
    return nullptr;
  }

  ~X11Fixture() {
    if (own != nullptr) XCloseDisplay(own);
    if (server > 0) kill(server, SIGTERM), waitpid(server, nullptr, 0);
  }

  bool startServer() {
    for (int n = 300 + getpid() % 400, tries = 0; tries < 20; n++, tries++) {
      snprintf(name, sizeof name, ":%d", n);
      char lock[64];
      snprintf(lock, sizeof lock, "/tmp/.X%d-lock", n);
      if (access(lock, F_OK) == 0) continue;
      const char* argv[] = {"Xvfb", name, "-screen", "0", "640x480x24", "-nolisten", "tcp", nullptr};
      posix_spawn_file_actions_t quiet;
      posix_spawn_file_actions_init(&quiet);
      posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
      int failed = posix_spawnp(&server, "Xvfb", &quiet, nullptr, const_cast<char**>(argv), environ);
      posix_spawn_file_actions_destroy(&quiet);
      if (failed) return problem = "Xvfb not found", server = 0, false;
      for (int i = 0; i < 100 && own == nullptr; i++) {
        own = XOpenDisplay(name);
        if (own == nullptr) usleep(50000);
        if (waitpid(server, nullptr, WNOHANG) == server) break;
      }
      if (own != nullptr) return true;
      kill(server, SIGTERM), waitpid(server, nullptr, 0), server = 0;
    }
    return problem = "no Xvfb server could be started", false;
  }

  // Every queued record read back through 914; how many there were.
  int drain() {
    int n = 0;
    while (callPrimitive(914, inputHolder, {record}).result == trueOop()) n++;
    return n;
  }
};

X11Fixture& fixture() {
  static X11Fixture f;
  return f;
}

bool ready(benchmark::State& state) {
  X11Fixture& f = fixture();
  if (f.problem != nullptr) state.SkipWithError(f.problem);
  return f.problem == nullptr;
}

typedef oop (*Fill)(oop, oop, oop);

void BM_X11Fill(benchmark::State& state, bool engine) {
  if (!ready(state)) return;
  X11Fixture& f = fixture();
  Fill fill988 = reinterpret_cast<Fill>(getPrimEntry(988)->function);
  oop origin = newPoint(10, 10), extent = newPoint(50, 50);
  Window w = (Window)xidOf(f.window);
  GC gc = XCreateGC(f.own, w, 0, nullptr);
  XSetForeground(f.own, gc, 0xFF0000);
  for (auto _ : state) {
    if (engine) {
      for (int i = 0; i < operations; i++) fill988(f.gc, origin, extent);
      XSync(f.engine, False);
    } else {
      for (int i = 0; i < operations; i++) XFillRectangle(f.own, w, gc, 10, 10, 50, 50);
      XSync(f.own, False);
    }
  }
  XFreeGC(f.own, gc);
  state.SetItemsProcessed(state.iterations() * operations);
}
BENCHMARK_CAPTURE(BM_X11Fill, primitive988, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_X11Fill, xlib, false)->Unit(benchmark::kMillisecond);

// Key presses sent to the engine's window (untimed), then read: through the library's input
// pump and 914, or by XNextEvent on a connection that selected them too (the engine's copies
// are drained afterwards, untimed).
void BM_X11Events(benchmark::State& state, bool engine) {
  if (!ready(state)) return;
  X11Fixture& f = fixture();
  Window w = (Window)xidOf(f.window);
  Display* raw = XOpenDisplay(f.name);
  if (!engine) XSelectInput(raw, w, KeyPressMask);
  XSync(raw, False);
  XEvent key = {};
  key.xkey = XKeyEvent{KeyPress, 0, True, f.own, w, DefaultRootWindow(f.own), None, CurrentTime, 5, 5, 5, 5, 0,
                       (unsigned)XKeysymToKeycode(f.own, 'a'), True};
  int64_t read = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < operations; i++) XSendEvent(f.own, w, False, KeyPressMask, &key);
    XSync(f.own, False);
    state.ResumeTiming();
    int got = 0;
    if (engine) {
      while (got < operations) pdSynchronizeInput(), got += f.drain();
    } else {
      XEvent e;
      for (; got < operations; got++) XNextEvent(raw, &e);
      state.PauseTiming();
      for (int left = operations; left > 0;) pdSynchronizeInput(), left -= f.drain();
      state.ResumeTiming();
    }
    read += got;
  }
  XCloseDisplay(raw);
  state.SetItemsProcessed(read);
}
BENCHMARK_CAPTURE(BM_X11Events, queue914, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_X11Events, xnextevent, false)->Unit(benchmark::kMillisecond);

typedef oop (*DrawText)(oop, oop, oop, oop, oop, oop);

// 1000 strings of 1024 characters in "fixed": through 957 (the identity translation table)
// or XDrawString on the benchmark's own connection; each run ends with a sync.
void BM_X11Text(benchmark::State& state, bool engine) {
  if (!ready(state)) return;
  X11Fixture& f = fixture();
  constexpr int strings = 1000, length = 1024;
  char text[length];
  for (int i = 0; i < length; i++) text[i] = (char)(32 + i % 95);
  oop screen = holding(newOldObject(classIndexByteArray, 8));
  memcpy(bodyOf(headerOf(slotOf(screen, 0))), &f.engine, sizeof f.engine);
  PrimOutcome font = callPrimitive(908, screen, {byteString("fixed")});
  if (font.failed) return state.SkipWithError("no font fixed");
  bodyOf(headerOf(f.gc))[8] = slotOf(font.result, 0);
  oop string = newOldObject(classIndexByteArray, length);
  memcpy(bodyOf(headerOf(string)), text, length);
  oop table = newOldObject(classIndexByteArray, 512);
  for (int i = 0; i < 256; i++) reinterpret_cast<uint16_t*>(bodyOf(headerOf(table)))[i] = (uint16_t)i;
  oop at = newPoint(0, 20), start = smallIntegerFor(1), stop = smallIntegerFor(length);
  DrawText draw957 = reinterpret_cast<DrawText>(getPrimEntry(957)->function);
  Window w = (Window)xidOf(f.window);
  XFontStruct* mine = XLoadQueryFont(f.own, "fixed");
  GC gc = XCreateGC(f.own, w, 0, nullptr);
  XSetFont(f.own, gc, mine->fid);
  for (auto _ : state) {
    if (engine) {
      for (int i = 0; i < strings; i++) draw957(f.gc, string, start, stop, at, table);
      XSync(f.engine, False);
    } else {
      for (int i = 0; i < strings; i++) XDrawString(f.own, w, gc, 0, 20, text, length);
      XSync(f.own, False);
    }
  }
  XFreeGC(f.own, gc);
  XFreeFont(f.own, mine);
  bodyOf(headerOf(f.gc))[8] = nilOop();
  state.SetItemsProcessed(state.iterations() * strings);
}
BENCHMARK_CAPTURE(BM_X11Text, primitive957, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_X11Text, xlib, false)->Unit(benchmark::kMillisecond);

}  // namespace
