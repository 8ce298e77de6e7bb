// Windows layer: the image file's Windows-only services, for start-up, the file primitives
// and printing. Prefix: none (findImageResource, imageFileSize, volumeIsMissing, ...).
#pragma once
#include <windows.h>

#include <cstdint>

enum : int64_t { resourceImageHandle = -2 };  // the image read from the program's resource
HRSRC findImageResource();  // looks for resource 332 of type 332; kept for pdOpenImage
// 1 with the resource's address and size, 0 when there is none, -1 when it cannot be had.
int pdLoadImageResource(const void** address, uint64_t* size);
int pdCloseImageResource();
void setImageFilePointer(int64_t fd, int64_t offset);
// 1 with the size of the file; 0 (size 0) when it is not found, with the error when the
// path does not exist either.
int imageFileSize(const wchar_t* path, uint64_t* size, DWORD* error);
int volumeIsMissing(const wchar_t* path);  // a drive letter GetLogicalDrives does not have
