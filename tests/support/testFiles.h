// Test support: what a test wrote, read back: a file's bytes as text, a folder's names, the
// fatal report a statement ends the process with.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::string fileText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in a folder, sorted.
inline std::vector<std::string> namesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const std::filesystem::directory_entry& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs statement in a death-test child whose standard output (where reports go) is a file,
// expects it to end with status, and sets text to what it printed.
#define EXPECT_FATAL_REPORT(statement, status, text)                                         \
  do {                                                                                      \
    std::string reportPath_ = testing::TempDir() + "fatal_report.txt";                      \
    std::remove(reportPath_.c_str());                                                       \
    EXPECT_EXIT(                                                                            \
        {                                                                                   \
          if (std::freopen(reportPath_.c_str(), "w", stdout) == nullptr) std::abort();      \
          statement;                                                                        \
        },                                                                                  \
        testing::ExitedWithCode(status), "");                                               \
    (text) = fileText(reportPath_);                                                         \
  } while (0)
