// Windows layer: the C call-out, callback thunks and dynamic loading of the Windows x64
// convention come with the Windows call-out; until then calls fail cleanly (PrimErrorTable
// entry 12) and thunks are refused. The library primitives are ntLibrary's.
// Owns no global record. Prefix: pd.
#include <windows.h>

#include "ext/platform.h"
#include "prim/prCKind.h"
#include "mman/mmPrimUtil.h"

enum : int64_t { callNotHere = -101 };  // PrimErrorTable entry 12

uint64_t pdCallC(uint64_t, uint64_t, const uint8_t*, uint64_t, uint64_t, const uint64_t*, uint64_t, uint64_t,
                 uint64_t, CallErrorRecord* record) {
  record->code = oop(callNotHere);
  return 0;
}

// long is 4 bytes on Windows; the platform kinds 31 and 33 have sizes here.
void pdSetNumBytesForKind(uint8_t* sizes) {
  sizes[ckSignedLong] = sizes[ckUnsignedLong] = sizes[ckBoolLong] = 4;
  sizes[ckLongDouble] = 8;
  sizes[ckPointer11] = 2;
  sizes[ckStrictPointer] = sizes[ckPointer23] = 8;
  sizes[ckPlatform31] = 4;
  sizes[ckErrnoResult] = sizes[ckPlatform33] = 8;
}

uint64_t shouldPassStructInRegisters(uint64_t) { return 0; }

void* pdThunkCreate(uint64_t, uint64_t, const uint64_t*, const uint64_t*, const uint64_t*) {
  return reinterpret_cast<void*>(1);
}
int pdThunkDestroy(void*, uint64_t) { return 0; }

// The engine's thread is the one that started it; other threads run no Smalltalk here.
static DWORD engineThread = GetCurrentThreadId();
int pdOnEngineThread() { return GetCurrentThreadId() == engineThread; }
