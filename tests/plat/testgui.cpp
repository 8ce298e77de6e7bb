// A stand-in GUI library for the binding tests: checks the hook table it is handed,
// names itself, and accepts (making the input queue, as a window system does) or refuses as
// the environment says.
#include <cstdint>
#include <cstdlib>
#include <cstring>

struct InitFunctionEntry {
  uint64_t address;
  const char* name;
};

extern char graphicsPlatformName[64];
extern "C" void initInput();

extern "C" int initGUI(InitFunctionEntry* functions, int count) {
  if (count != 10 || strcmp(functions[5].name, "pdSizeOfEvent") != 0) return 0;
  uint64_t (*sizeOfEvent)() = (uint64_t(*)())functions[5].address;
  if (sizeOfEvent() != 192) return 0;
  strcpy(graphicsPlatformName, "test-gui");
  const char* answer = getenv("TESSEL_TEST_GUI");
  if (answer == nullptr || strcmp(answer, "accept") != 0) return 0;
  initInput();
  return 1;
}
