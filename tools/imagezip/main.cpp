// imagezip [-1..-9] in.im out.im: writes the plain image in.im compressed to out.im
// (level 6 unless given).
#include <cstdio>
#include <cstring>

#include "imageZip.h"

int main(int argc, char** argv) {
  int level = 6;
  int first = 1;
  if (argc == 4 && argv[1][0] == '-' && argv[1][1] >= '1' && argv[1][1] <= '9' && argv[1][2] == 0) {
    level = argv[1][1] - '0';
    first = 2;
  }
  if (argc - first != 2) {
    fprintf(stderr, "usage: imagezip [-1..-9] in.im out.im\n");
    return 2;
  }
  std::string why = zipImageFile(argv[first], argv[first + 1], level);
  if (!why.empty()) {
    fprintf(stderr, "imagezip: %s\n", why.c_str());
    return 1;
  }
  return 0;
}
