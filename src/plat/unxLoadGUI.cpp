// Unix layer: binding the GUI library (initGUI with the initFunctions hook table).
// Owns the binding state and the library handle.
// Prefix: none (loadGUILibrary, guiLibraryPath).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "plat/unxMain.h"
#include "prim/prInQueue.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/tmain.h"

// The window system is a library of its own beside the program, searched for when it binds.
const uint32_t guiSubsystemLinked = 0;
uint32_t guiBindingState;  // GuiBinding
static void* guiLibraryHandle;
char graphicsPlatformName[64] = "nil";

// Only the GUI library calls the input queue's entry points: naming them here keeps them in
// the program that exports them to it.
extern "C" __attribute__((used)) const void* const guiQueueEntries[] = {
    reinterpret_cast<const void*>(initInput), reinterpret_cast<const void*>(extendedQueueTypedEvent),
    reinterpret_cast<const void*>(queueTypedEvent), reinterpret_cast<const void*>(extendedQueueNewAscii)};

typedef int (*InitGUIFunction)(InitFunctionEntry* functions, int count);

InitGUIFunction initGUILink() { return nullptr; }

static char libraryPath[4097];

static void lastComponentInto(char* out, size_t size, const char* path) {
  const char* slash = strrchr(path, '/');
  snprintf(out, size, "%s", slash != nullptr ? slash + 1 : path);
}

// The program's own path with "gui.so" appended: /opt/e/bin/engine looks for
// enginegui.so, first in the current directory, then beside the program, then on PATH.
const char* guiLibraryPath() {
  if (guiLibraryFilename[0] != 0) return guiLibraryFilename;
  char resolved[4097];
  ssize_t n;
  do n = readlink(programPath, resolved, sizeof resolved - 1);
  while (n < 0 && errno == EAGAIN);
  if (n < 0) snprintf(resolved, sizeof resolved, "%s", programPath != nullptr ? programPath : "");
  else resolved[n] = 0;
  char full[4097], last[4097], local[4099];
  snprintf(full, sizeof full, "%.4089sgui.so", resolved);
  lastComponentInto(last, sizeof last, full);
  snprintf(local, sizeof local, "./%s", last);
  const char* found = nullptr;
  if (access(local, F_OK) == 0) found = local;
  else if (access(full, F_OK) == 0) found = full;
  else found = findInPath(last);
  snprintf(libraryPath, sizeof libraryPath, "%.4096s", found != nullptr ? found : last);
  return libraryPath;
}

static InitGUIFunction openGUILibrary() {
  if (guiSubsystemLinked) return initGUILink();
  const char* path = guiLibraryPath();
  dlerror();
  guiLibraryHandle = dlopen(path, RTLD_LAZY | RTLD_GLOBAL);
  if (guiLibraryHandle == nullptr) {
    fprintf(stderr, "couldn't open %s; %s\n", path, dlerror());
    return nullptr;
  }
  void* entry = dlsym(guiLibraryHandle, "initGUI");
  if (entry == nullptr) {
    fprintf(stderr, "no %s in %s; %s\n", "initGUI", "gui.so", dlerror());
    return nullptr;
  }
  return (InitGUIFunction)entry;
}

// Answers 0 once bound, else the PrimErrorTable code to fail with: 19 when the
// library's initGUI refused (final), 9 when it could not be found or opened (the next
// GUI primitive tries again).
uint32_t loadGUILibrary() {
  if (guiBindingState == guiBound) return 0;
  if (guiBindingState == guiRefused) return 19;
  pdBeginCritical();
  InitGUIFunction entry = openGUILibrary();
  if (entry == nullptr) {
    pdEndCritical();
    return 9;
  }
  guiBindingState = entry(initFunctions, initFunctionCount) ? guiBound : guiRefused;
  pdEndCritical();
  return guiBindingState == guiBound ? 0 : 19;
}

// ---- Binding on the first GUI primitive --------------------------------------------

static oop lazyGUIPrimitive(oop receiver, uint64_t numArgs, uint64_t args);

static bool isLazy(const PrimEntry* e) {
  return e->kind == primKindVarArgC && e->function == reinterpret_cast<uint64_t>(lazyGUIPrimitive);
}

// The primitive number of the method whose frame is on top (built by the commit).
static int32_t runningPrimitiveNumber() {
  const uint64_t* fp = reinterpret_cast<const uint64_t*>(currentStack[shFp]);
  const NMethodHeader* nm = reinterpret_cast<const NMethodHeader*>(fp[frNMethod] & frameNMethodMask);
  TVInfo info;
  return unpackVMethod(nm->vmethod, &info) ? info.primitive : -1;
}

// Stands for every GUI primitive until the library registers the real ones. Committed, the
// primitive's frame is built, so the real one runs from it (CrtCarefulCallPrim pops it) and
// its answer goes straight to the sender; binding failures fail from the frame.
static oop lazyGUIPrimitive(oop, uint64_t numArgs, uint64_t) {
  commitPrimitive(nilOop());
  int32_t number = runningPrimitiveNumber();
  uint32_t code = loadGUILibrary();
  if (code != 0) return failPrimitive(primErrorAt(code), numArgs);
  const PrimEntry* entry = number >= 0 && number < (int32_t)primNumberLimit ? getPrimEntry((uint64_t)number) : nullptr;
  if (entry == nullptr || entry->function == 0 || isLazy(entry)) return failPrimitive(primErrorAt(primErrGeneral), numArgs);
  oop result = CrtCarefulCallPrim(entry);
  uint64_t* s = currentStack;
  s[shSp] -= 8;
  reinterpret_cast<uint64_t*>(s[shSp])[0] = result;
  backToNcodePopResult();
}

// ---- Start-up registration ---------------------------------------------------------

// Primitive 949: the name the bound GUI library gave itself ("nil" before binding).
static oop primIdentifierString(oop) {
  oop s = STStringWithSize(graphicsPlatformName, strlen(graphicsPlatformName));
  return s != 0 ? s : failPrimitive(primErrorAt(primErrGeneral), 0);
}

// With -gui or -guilib the library binds now, and a failure ends the start; otherwise the
// GUI numbers (949 aside, which is the core's) wait for their first use.
void reserveOrLoadGUIPrimitives() {
  addCPrimitive(949, reinterpret_cast<const void*>(primIdentifierString), 0);
  if (!loadGUIOnStartup) {
    const void* lazy = reinterpret_cast<const void*>(lazyGUIPrimitive);
    addVarArgCPrimitiveForRange(700, 710, lazy);
    addVarArgCPrimitiveForRange(900, 949, lazy);
    addVarArgCPrimitiveForRange(950, 1000, lazy);
    addVarArgCPrimitiveForRange(1100, 1121, lazy);
    return;
  }
  if (loadGUILibrary() != 0) doReportError("failed to load GUI library", errPlatformLayer | errFatal, "src/plat/unxLoadGUI.c", __LINE__);
}
