// Unix layer: utilities shared by the Unix layer (executable search along PATH).
// Prefix: none (findInPath).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "plat/unxMain.h"

static char foundPath[4096];

static bool isExecutable(const char* path) {
  int r;
  do r = access(path, X_OK);
  while (r != 0 && errno == EINTR);
  return r == 0;
}

// Copies dir, '/', name into the result buffer; refuses (false) what would not fit.
static bool composePath(const char* dir, size_t dirLength, const char* name) {
  if (dirLength + 1 + strlen(name) + 1 > sizeof foundPath) return false;
  memcpy(foundPath, dir, dirLength);
  foundPath[dirLength] = '/';
  strcpy(foundPath + dirLength + 1, name);
  return true;
}

static const char* notFound() {
  errno = ENOENT;
  return nullptr;
}

// An absolute name must be executable; "~/" is relative to HOME; any other name is
// searched along PATH (an empty entry gives "/" + name).
const char* findInPath(const char* name) {
  if (name[0] == '/') {
    if (strlen(name) >= sizeof foundPath || !isExecutable(name)) return notFound();
    strcpy(foundPath, name);
    return foundPath;
  }
  if (name[0] == '~' && name[1] == '/') {
    const char* home = getenv("HOME");
    if (home == nullptr) home = "";
    if (!composePath(home, strlen(home), name + 2) || !isExecutable(foundPath)) return notFound();
    return foundPath;
  }
  const char* path = getenv("PATH");
  if (path == nullptr || *path == 0) return notFound();
  for (const char* entry = path;; ) {
    const char* colon = strchr(entry, ':');
    size_t length = colon != nullptr ? (size_t)(colon - entry) : strlen(entry);
    if (composePath(entry, length, name) && isExecutable(foundPath)) return foundPath;
    if (colon == nullptr) return notFound();
    entry = colon + 1;
  }
}
