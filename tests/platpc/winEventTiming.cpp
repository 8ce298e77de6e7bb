// Timing of window events through the host event queue beside PeekMessageW alone, in the
// same process: pointer-motion messages posted to a VM window (its procedure on the
// command-window thread queues the events, this thread drains them) against the same
// messages posted to a plain window of this thread and taken with PeekMessageW. Prints the
// events per second of each and their ratio; not a test (run it by hand, under Wine with an
// X display).
#include <windows.h>

#include <chrono>
#include <cstdio>

#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntChannel.h"
#include "platpc/ntMain.h"
#include "support/ioKernel.h"

namespace {

enum : UINT { markerMessage = WM_APP + 0x124 };
enum : int { batch = 1000, rounds = 50 };

bool markerSeen;
long delivered;

void count(const HostEvent* e) {
  if (int(smallIntegerValue(e->kind)) != hevOther) delivered++;
  else if (e->raw.message == int32_t(markerMessage)) markerSeen = true;
}

void drain() { drainHostEvents(count); }

double seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

oop point(int64_t x, int64_t y) {
  oop p = newOldObject(sysPointClass, 2);
  bodyOf(headerOf(p))[0] = smallIntegerFor(x);
  bodyOf(headerOf(p))[1] = smallIntegerFor(y);
  return p;
}

}  // namespace

int main() {
  newIOTestHeap(1 << 18);
  handleRegistryX = 0;
  if (moduleInstance == nullptr) moduleInstance = GetModuleHandleW(nullptr);
  if (!initWindowClasses(moduleInstance)) return printf("no window classes\n"), 1;
  initGUIPrimitives();
  pdSynchronizeInput = drain;
  PrimOutcome made = callPrimitive(906, nilOop(), {point(10, 10), point(200, 150), nilOop(), nilOop(), smallIntegerFor(2), nilOop()});
  if (made.failed) return printf("906 failed\n"), 1;
  oop window = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(window))[0] = made.result;
  HWND vmWindow = drawableWindowHandle(drawableHandleBytes(window));

  // Through the queue: each batch fits the queue; the marker ends it.
  long sent = 0;
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; r++) {
    for (int i = 0; i < batch; i++, sent++) PostMessageW(vmWindow, WM_MOUSEMOVE, 0, MAKELPARAM(i % 200, i % 150));
    markerSeen = false;
    PostMessageW(vmWindow, markerMessage, 0, 0);
    while (!markerSeen) {
      drain();
      if (!markerSeen) Sleep(0);
    }
  }
  double queued = seconds(start);

  // PeekMessageW alone, on a plain window of this thread.
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = moduleInstance;
  wc.lpszClassName = L"TesselEventTiming";
  RegisterClassW(&wc);
  HWND plain = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, moduleInstance, nullptr);
  long peeked = 0;
  MSG message;
  start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; r++) {
    for (int i = 0; i < batch; i++) PostMessageW(plain, WM_MOUSEMOVE, 0, MAKELPARAM(i % 200, i % 150));
    while (PeekMessageW(&message, plain, 0, 0, PM_REMOVE)) peeked += message.message == WM_MOUSEMOVE;
  }
  double alone = seconds(start);
  DestroyWindow(plain);
  callPrimitive(940, window, {});
  drain();

  printf("posted %ld, delivered %ld events through the queue, %ld taken by PeekMessageW\n", sent, delivered, peeked);
  printf("%-34s queue %10.0f /s  PeekMessageW %10.0f /s  ratio %.2f\n", "pointer motion", double(delivered) / queued,
         double(peeked) / alone, (double(peeked) / alone) / (double(delivered) / queued));
  freeTestHeap();
  return 0;
}
