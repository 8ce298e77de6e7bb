// Windows layer: clipboard text. Only CF_UNICODETEXT is exchanged; the image sees platform
// strings, converted by the layer's string converters.
// Owns no global record.
// Prefix: none (putClipboardText, getClipboardText, initClipboardPrimitives).
#include "platpc/ntClipboard.h"

#include "ext/exPrimTable.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntFile.h"
#include "platpc/ntMain.h"

void putClipboardText(oop, const char* bytes, int64_t byteLength) {
  int64_t wideBytes = byteLength == 0 ? 0 : platformBytesToWideSize(bytes, byteLength);
  // Zero-initialised, with room for the terminating zero unit (and an odd byte's half unit).
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, SIZE_T(wideBytes + 2));
  if (block != nullptr && wideBytes != 0) {
    wchar_t* units = static_cast<wchar_t*>(GlobalLock(block));
    if (units != nullptr) platformBytesToWide(units, bytes, byteLength, wideBytes / 2 + (wideBytes & 1));
    GlobalUnlock(block);
  }
  if (!OpenClipboard(commandWindow)) {
    if (block != nullptr) GlobalFree(block);
    return;
  }
  EmptyClipboard();
  // The clipboard owns the block only when it took it.
  if (block != nullptr && SetClipboardData(CF_UNICODETEXT, block) == nullptr) GlobalFree(block);
  CloseClipboard();
}

int getClipboardText(oop, oop, oop* result) {
  *result = nilOop();
  if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(commandWindow)) return 1;
  int ok = 1;
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  const wchar_t* units = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
  if (units != nullptr) {
    // Counted up to the zero unit, never past the block: another program's text may lack it.
    int64_t limit = int64_t(GlobalSize(data) / 2), n = 0;
    while (n < limit && units[n] != 0) n++;
    if (n > 0) {
      oop text = platformStringFromWide(units, n);
      if (text != 0) {
        *result = text;
      } else {
        *result = cloneErrorWith(primErrorAt(primErrNoSpace), smallIntegerFor(n));
        ok = 0;
      }
    }
    GlobalUnlock(data);
  }
  CloseClipboard();
  return ok;
}

// The GUI primitives' receiver: an object whose slot 0 is a byte object.
static bool guiReceiver(oop receiver) {
  if (!isHeapObject(receiver) || !hasPtrs(headerOf(receiver)) || bodyWordsOf(headerOf(receiver)) < 1) return false;
  oop first = slotOf(receiver, 0);
  return isHeapObject(first) && !hasPtrs(headerOf(first));
}

static bool nilOrSmallInteger(oop o) { return o == nilOop() || isSmallInteger(o); }

// 910: the clipboard text, or nil.
static oop primGetClipboardText(oop receiver, oop selection) {
  if (!guiReceiver(receiver)) return ntFail(primErrBadReceiver, 1);
  if (!nilOrSmallInteger(selection)) return ntFailCarrying(primErrBadArgument, 1, 1);
  oop text;
  if (!getClipboardText(0, 0, &text)) return failPrimitive(text, 1);
  return text;
}

// 911: puts the text of a platform string; answers the receiver.
static oop primPutClipboardText(oop receiver, oop text, oop selection) {
  if (!guiReceiver(receiver)) return ntFail(primErrBadReceiver, 2);
  if (isImmediate(text) || classTagOf(headerOf(text)) != platformStringClassX)
    return ntFailCarrying(primErrBadArgument, 1, 2);
  if (!nilOrSmallInteger(selection)) return ntFailCarrying(primErrBadArgument, 2, 2);
  putClipboardText(0, reinterpret_cast<const char*>(bodyOf(headerOf(text))), int64_t(byteSizeOf(headerOf(text))));
  return receiver;
}

void initClipboardPrimitives() {
  addCPrimitive(910, reinterpret_cast<const void*>(primGetClipboardText), 1);
  addCPrimitive(911, reinterpret_cast<const void*>(primPutClipboardText), 2);
}
