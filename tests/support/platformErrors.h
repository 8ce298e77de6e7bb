// The platform's error numbers for the causes the image-file tests provoke: a directory
// where a file goes, a path whose folder is missing (or empty), a write that failed.
#pragma once

#ifdef _WIN32
#include <winerror.h>
enum : int { errorIsDirectory = ERROR_ACCESS_DENIED, errorNoPath = ERROR_PATH_NOT_FOUND, errorIO = ERROR_WRITE_FAULT };
#else
#include <cerrno>
enum : int { errorIsDirectory = EISDIR, errorNoPath = ENOENT, errorIO = EIO };
#endif
