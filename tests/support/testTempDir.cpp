// Test support: each test process writes its files in a folder of its own, so cases that
// ctest runs at once (and other builds on the machine) never share a file name. A folder
// already given through TEST_TMPDIR (a death-test child, or a caller's) is kept as it is.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

fs::path ownFolder;
int ownerPid;

void setVariable(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

void removeOwnFolder() {
  std::error_code ignored;
  if (getpid() == ownerPid) fs::remove_all(ownFolder, ignored);  // not from a forked child
}

int makeOwnFolder() {
  const char* given = getenv("TEST_TMPDIR");
  if (given != nullptr && given[0] != 0) return 0;
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) return 0;
  ownerPid = getpid();
  ownFolder = base / ("tessel-test-" + std::to_string(ownerPid));
  fs::remove_all(ownFolder, error);
  if (!fs::create_directories(ownFolder, error)) return 0;
  setVariable("TEST_TMPDIR", ownFolder.string());
  setVariable("TMPDIR", ownFolder.string());
  setVariable("TEMP", ownFolder.string());
  atexit(removeOwnFolder);
  return 1;
}

const int madeOwnFolder = makeOwnFolder();

}  // namespace
