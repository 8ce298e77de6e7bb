// The kernel library's sources, every file of tools/mkimage/kernel, for benchmarks that
// compile programs in-process.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mkCompiler.h"

inline std::vector<MkSource> benchKernelSources() {
  std::string dir = std::string(MKIMAGE_DIR) + "/kernel";
  std::vector<MkSource> sources;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() < 5 || n.substr(n.size() - 4) != ".som") continue;
      std::ifstream in(dir + "/" + n);
      std::stringstream text;
      text << in.rdbuf();
      sources.push_back({"kernel/" + n, text.str()});
    }
    closedir(d);
  }
  std::sort(sources.begin(), sources.end(), [](const MkSource& a, const MkSource& b) { return a.name < b.name; });
  return sources;
}
