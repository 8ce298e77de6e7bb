// Unix layer: entry, hooks and the GUI hook table.
// Prefix: pd, oeMain.
#pragma once
#include <cstdint>

[[noreturn]] int oeMain(int argc, char** argv);
int exitStatusFor(uint64_t code);

// One entry of the table handed to the GUI library's initGUI.
struct InitFunctionEntry {
  uint64_t address;  // the hook variable's address (pdSizeOfEvent: the function's)
  const char* name;
};
enum { initFunctionCount = 10 };
extern InitFunctionEntry initFunctions[initFunctionCount];
uint64_t pdSizeOfEvent();

void waitForIO();
void recordWakeThread();  // the thread that pdWakeup signals: the caller
void signal_userfds();
void pdAckChildSignal();

extern uint64_t profile_text_lopc, profile_text_hipc, profile_nzone_lopc, profile_nzone_hipc;

const char* findInPath(const char* name);

// GUI library binding.
enum GuiBinding { guiUnbound = 0, guiRefused = 1, guiBound = 2 };
extern uint32_t guiBindingState;
extern char graphicsPlatformName[64];
const char* guiLibraryPath();
uint32_t loadGUILibrary();

// The errno names of primitives 696 and 697.
struct ErrorCodeEntry {
  int32_t code;      // errno value, or the engine's own negative code
  const char* name;  // null ends the table
};
extern const ErrorCodeEntry errorCodes[];
const char* errorCodeName(int64_t code);
void initOSErrorCodePrims();
void reserveOrLoadGUIPrimitives();
