// Windows layer: address-space services for object memory, the code zone and the call-out's
// arenas, and copies to and from foreign memory that survive a fault.
// Owns the pdMoreMemory reservation. Prefix: pd; commitPages, shutdownMemory.
#include <windows.h>

#include <cstring>

#include "ext/exError.h"
#include "ext/platform.h"
#include "platpc/ntMain.h"

uint64_t pdGetPagesize() {
  static uint64_t pageSize;
  if (pageSize == 0) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    pageSize = info.dwPageSize;
  }
  return pageSize;
}

static uint64_t roundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

static DWORD protectionFor(int flags) {
  static const DWORD table[8] = {
      PAGE_NOACCESS, PAGE_READONLY, PAGE_WRITECOPY, PAGE_READWRITE,
      PAGE_EXECUTE, PAGE_EXECUTE_READ, PAGE_EXECUTE_WRITECOPY, PAGE_EXECUTE_READWRITE,
  };
  return table[flags & 7];
}

// Data-segment growth is emulated by committing successive pages of one reservation, of the
// configured size plus 0x1FFFFF rounded down to whole megabytes; when the system refuses it,
// three quarters of it at a time, while that stays above 8 MB.
static uint64_t moreMemoryReservation = 256ULL << 20;
static char* regionBase;
static char* regionEnd;
static char* regionNext;

void resetMoreMemory(uint64_t reservationBytes) {
  if (regionBase != nullptr) VirtualFree(regionBase, 0, MEM_RELEASE);
  regionBase = regionEnd = regionNext = nullptr;
  moreMemoryReservation = reservationBytes;
}

uint64_t moreMemoryReservedBytes() { return uint64_t(regionEnd - regionBase); }

static bool reserveRegion() {
  uint64_t page = pdGetPagesize();
  uint64_t size = (moreMemoryReservation + 0x1FFFFF) & ~uint64_t(0xFFFFF);
  for (;;) {
    regionBase = (char*)VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    if (regionBase != nullptr) break;
    size = (size + 1) / 4 * 3 / page * page - 1;
    if (size <= 0x7FFFFF) return false;
  }
  regionEnd = regionBase + roundUp(size, page);
  regionNext = regionBase;
  return true;
}

void* pdMoreMemory(uint64_t size, int protection) {
  if (regionBase == nullptr && !reserveRegion()) return nullptr;
  uint64_t length = roundUp(size, pdGetPagesize());
  if (length > (uint64_t)(regionEnd - regionNext)) return nullptr;
  void* p = VirtualAlloc(regionNext, length, MEM_COMMIT, protectionFor(protection));
  if (p == nullptr) return nullptr;
  regionNext += length;
  return p;
}

// Memory given out by pdMoreMemory is never decommitted.
void pdFreeMoreMemory(void*) {}

// The lowest free region at or above lowestAddress large enough for length bytes.
// Reservations start on the allocation granularity (64 KB), so each candidate is rounded up
// to it and must still leave the free region room for the whole length.
static void* allocateAtOrAbove(uint64_t lowestAddress, uint64_t length, DWORD protection) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uint64_t granularity = system.dwAllocationGranularity != 0 ? system.dwAllocationGranularity : 65536;
  for (uint64_t address = roundUp(lowestAddress, granularity); address < (1ULL << 47);) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery((void*)address, &info, sizeof info) < sizeof info) {
      REPORT_ERROR("couldn't VirtualQuery memory.", errPlatformLayer | errCauseLimit | errNote);
      return nullptr;
    }
    uint64_t regionEnd = (uint64_t)info.BaseAddress + info.RegionSize;
    if (info.State == MEM_FREE && address + length <= regionEnd) {
      void* p = VirtualAlloc((void*)address, length, MEM_RESERVE | MEM_COMMIT, protection);
      if (p != nullptr) return p;
    }
    address = roundUp(regionEnd > address ? regionEnd : address + 1, granularity);
  }
  return nullptr;
}

// A wanted low address is searched upwards from it, so that heap and code zone can lie
// below 2 GiB; without one, the system places the mapping top-down.
void* pdMapMemory(uint64_t size, uint64_t lowestAddress, uint64_t, int protection,
                  uint64_t* sizeOut) {
  uint64_t length = roundUp(size == 0 ? 1 : size, pdGetPagesize());
  DWORD prot = protectionFor(protection);
  void* p = nullptr;
  if (lowestAddress != 0) p = allocateAtOrAbove(lowestAddress, length, prot);
  else p = VirtualAlloc(nullptr, length, MEM_TOP_DOWN | MEM_RESERVE | MEM_COMMIT, prot);
  if (p == nullptr) {
    REPORT_ERROR("couldn't VirtualAlloc memory.", errPlatformLayer | errCauseLimit | errNote);
    return nullptr;
  }
  if (sizeOut != nullptr) *sizeOut = length;
  return p;
}

int pdUnmapMemory(uint64_t size, void* address) {
  VirtualFree(address, size, MEM_DECOMMIT);
  if (VirtualFree(address, 0, MEM_RELEASE)) return 1;
  REPORT_ERROR("couldn't VirtualFree memory.", errPlatformLayer | errCauseLimit | errNote);
  return 0;
}

// Committed memory takes large pages only through a privilege the engine does not ask for.
void pdPreferLargePages(void*, uint64_t) {}

// The executable form of a page protection; 0 for one that has none.
static DWORD executableFormOf(DWORD protection) {
  switch (protection) {
    case PAGE_READWRITE: return PAGE_EXECUTE_READWRITE;
    case PAGE_READONLY: return PAGE_EXECUTE_READ;
    case PAGE_WRITECOPY: return PAGE_EXECUTE_WRITECOPY;
    case PAGE_NOACCESS: return PAGE_EXECUTE;
    case PAGE_EXECUTE: case PAGE_EXECUTE_READ: case PAGE_EXECUTE_READWRITE: case PAGE_EXECUTE_WRITECOPY:
      return protection;
    default: return 0;
  }
}

// Read-write pages become PAGE_EXECUTE_READWRITE; any other kind keeps its access and gains
// execution. When the first change fails the previous protection is unknown and the pages
// are left as they are.
void pdSetMemExecPerm(void* address, uint64_t length) {
  DWORD previous, ignored;
  if (!VirtualProtect(address, length, PAGE_EXECUTE_READWRITE, &previous)) {
    REPORT_ERROR("couldn't add execute permission.", errPlatformLayer | errNote);
    return;
  }
  if (previous == PAGE_READWRITE) return;
  DWORD wanted = executableFormOf(previous);
  if (wanted == 0) REPORT_ERROR("unexpected page permissions. couldn't add execute permission", errPlatformLayer | errNote);
  if (!VirtualProtect(address, length, wanted != 0 ? wanted : previous, &ignored))
    REPORT_ERROR("couldn't add execute permission.", errPlatformLayer | errNote);
}

int commitPages(void** outAddress, uint64_t* inOutSize) {
  uint64_t size = roundUp(*inOutSize, pdGetPagesize());
  void* p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) return 0;
  *outAddress = p;
  *inOutSize = size;
  return 1;
}

void shutdownMemory() {}

int pdMustFlushICache() { return 1; }

// The main thread's reserve is fixed at link time; the stack zone does not go there.
uint64_t pdMainStackLimit() { return 0; }

// A copy that faults answers -1 instead of ending the engine: sehCopy (ntSeh.S) runs under
// copyFaultHandler, which resumes it at its recovery label with rax = -1.
extern "C" int64_t sehCopy(void* destination, const void* source, uint64_t length);
extern "C" char sehCopyBody[], sehCopyBodyEnd[], sehCopyFault[];

extern "C" EXCEPTION_DISPOSITION copyFaultHandler(EXCEPTION_RECORD* record, void*, CONTEXT* context, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  if (context->Rip < uint64_t(sehCopyBody) || context->Rip >= uint64_t(sehCopyBodyEnd)) return ExceptionContinueSearch;
  context->Rip = uint64_t(sehCopyFault);
  context->Rax = uint64_t(-1);
  return ExceptionContinueExecution;
}

static uint32_t copyExternal(void* destination, const void* source, int64_t length) {
  int32_t n = int32_t(length);
  if (n < 1) return uint32_t(n);
  return uint32_t(sehCopy(destination, source, uint64_t(n)));
}

uint32_t pdCopyToExternalHeap(void* destination, const void* source, int64_t length) {
  return copyExternal(destination, source, length);
}

uint32_t pdCopyFromExternalHeap(void* destination, const void* source, int64_t length) {
  return copyExternal(destination, source, length);
}
