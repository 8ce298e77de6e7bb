// Unix layer: the program entry of tessel (kept out of the engine library so that tests
// and tools link the library without it).
#include "ext/exOption.h"
#include "plat/unxMain.h"

int main(int argc, char** argv) {
  showHerald = 1;
  oeMain(argc, argv);
}
