// Windows layer: the I/O channels behind files and sockets, the semaphore table through which
// other threads get Semaphores signalled, and the handle registry of OS handles given to the
// image. Owns no record here (see ntChannel.cpp). Prefix: none.
#pragma once
#include <windows.h>

#include <cstdint>

#include "mman/mmObject.h"

// One channel function: 1 on success with *done bytes moved (or available), 0 on failure
// with the system error in *error.
struct IOChannel;
typedef int (*ChannelTransfer)(IOChannel* channel, void* buffer, uint32_t count, uint32_t* done, DWORD* error);
typedef int (*ChannelAvailable)(IOChannel* channel, uint32_t* available, DWORD* error);

// The record behind a file or socket the image opened (88 bytes, zero-filled when made); the
// image holds an 8-byte ByteArray whose body is its address, zeroed when it is closed.
struct IOChannel {
  uint8_t kind;               // 0 file, 1 socket
  uint8_t append;             // a file opened for appending: writes go to the end
  uint8_t readOnly;           // a file opened without write access
  uint64_t handle;            // the file HANDLE or the SOCKET
  uint64_t networkEvent;      // the socket's event object while in a wait group, else 0
  uint32_t waitGroupIndex;    // position 1..63 in its wait group, 0 when in none
  ChannelTransfer read;
  ChannelTransfer write;
  ChannelAvailable available;
  int64_t readSemaphore;      // semaphore-table slot, -1 for files
  uint32_t readable, closed;  // set by the socket event scan
  int64_t writeSemaphore;     // semaphore-table slot, -1 for files
  uint32_t writable;
};
static_assert(sizeof(IOChannel) == 88, "the channel record is 88 bytes");
enum { channelFile = 0, channelSocket = 1 };

IOChannel* newIOChannel(int kind);  // null for another kind or no semaphore slot
void freeIOChannel(IOChannel* channel);
extern int traceSockets;  // qrxOptions bit 0x1000000: the socket functions trace to stdout

// The semaphore table: an Array in a registry slot; free slots hold the index of the next
// free one (-1 ends the list), so a fresh table hands out 63, 62, ..., 0, then 127, ...
extern int64_t semaphoreTableX;  // its registry slot, -1 until created
int createSemaphoreTable();      // 1, or 0 when it cannot be made
int64_t allocSemaphoreSlot();    // -1 when the table cannot grow
void freeSemaphoreSlot(int64_t index);
void storeSemaphore(oop semaphore, int64_t index);
void signalSemaphoreSlot(int64_t index);
void clearSemaphoreSlot(int64_t index);

// The handle registry: 16-byte entries {handle, kind, serial} in a ByteArray of a registry
// slot, 128 at first, doubling when full; serials 1 .. 0x1FFFFFFF, unique among live entries.
enum : uint32_t {
  handleGdiObject = 0x10000, handleCursor = 0x20000, handleIcon = 0x40000, handleGdiObject2 = 0x80000,
  handleLibrary = 0x100000, handleGdiObject3 = 0x200000, handleWindowGdiObject = 0x400000,
  handleWindow = 0x800000, handleMemoryDC = 0x2000000, handleGlobalMemory = 0x4000000,
};
extern int64_t handleRegistryX;  // its registry slot, 0 until created
void initHandleRegistry();
uint32_t registerHandle(uint64_t handle, uint32_t kind);  // the serial, 0 when it cannot grow
uint32_t handleSerial(uint64_t handle, uint32_t kind);
uint64_t handleForSerial(uint32_t serial, uint32_t kind);
void unregisterHandle(uint64_t handle, uint32_t kind);
int isHandleSerialInUse(uint32_t serial);
int freeHandleRegistry();
// The destruction of a window entry by the window layer; DestroyWindow until it has its own.
extern void (*destroyRegisteredWindow)(HWND window);
