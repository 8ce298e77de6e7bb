// Windows window system: the drawables (VM windows and off-screen pixmaps), the thread that
// owns every VM window, and the primitives that create, move, show, hide, decorate and
// destroy them. Owns the command window, the save-bits setting and the hooks the drawing,
// input-method and cursor files fill. Prefix: none (initCanvases, createVMWindow, ...).
#include "platpc/ntCanvas.h"

#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"

HWND commandWindow;
DWORD commandThreadId;
DWORD vmThreadId;
int saveBitsSetting = 1;
HDC sharedMemoryDC;

void (*releaseDrawableDCHook)(uint8_t*);
void (*releaseCachedDCsHook)();
bool (*visibleRegionHook)(HWND, const RECT*, int, RECT*);
WindowCall imeWindowSetupHook;
void (*imeCleanupHook)(HWND);
bool (*imeMessageHook)(HWND, UINT, WPARAM, LPARAM);
bool (*setVMCursorHook)(HWND);

// ---- Handle bytes --------------------------------------------------------------------------

uint8_t* drawableHandleBytes(oop drawable) {
  if (!isHeapObject(drawable) || !hasPtrs(headerOf(drawable)) || bodyWordsOf(headerOf(drawable)) < 3) return nullptr;
  oop bytes = slotOf(drawable, 0);
  if (!isHeapObject(bytes) || hasPtrs(headerOf(bytes)) || byteSizeOf(headerOf(bytes)) < handleBytesSize) return nullptr;
  return reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
}

oop newHandleBytes(uint64_t serial, uint64_t osHandle, uint32_t type, uint32_t kind, float scaleX, float scaleY) {
  ObjectHeader* h = allocVSObj(sysOop(sysByteArrayClass), handleBytesSize);
  if (h == nullptr) return 0;
  uint8_t* b = reinterpret_cast<uint8_t*>(bodyOf(h));
  memset(b, 0, handleBytesSize);
  hbWrite64(b, handleSerialAt, serial);
  hbWrite64(b, handleOsAt, osHandle);
  hbWrite32(b, handleTypeAt, type);
  hbWrite32(b, handleKindAt, kind);
  hbWriteFloat(b, handleScaleXAt, scaleX);
  hbWriteFloat(b, handleScaleYAt, scaleY);
  return oopOf(h);
}
