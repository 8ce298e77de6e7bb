// Windows layer: the entry of tessel.exe, a console program: console mode, reports on the
// standard streams and no message box (kept out of the engine library, as on Unix).
#include "ext/exOption.h"
#include "platpc/ntMain.h"

int wmain(int argc, wchar_t** argv) {
  showHerald = 1;
  return dllCMain(argc, argv);
}
