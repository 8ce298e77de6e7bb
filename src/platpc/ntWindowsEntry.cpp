// Windows layer: the entry of tesselw.exe, the window-mode program (reports in message
// boxes); kept out of the engine library.
#include "ext/exOption.h"
#include "platpc/ntMain.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  showHerald = 1;
  return winMainEntry(instance);
}
