// Primitives: the input event queue the platform layers append window-system events to, and
// primitives 913-915 through which the image's input process reads them. Owns inputQueue.
// Prefix: none (initInput, extendedQueueTypedEvent, queueTypedEvent, extendedQueueNewAscii).
#pragma once
#include <cstddef>
#include <cstdint>

#include "mman/mmObject.h"

// One event, 64 bytes. The type is already an oop (a SmallInteger: 3 no event, 11 key down,
// 19 key up, 67 expose); the extras are oops too, and must be immediates: a record lives in
// malloc'd memory the collectors never visit.
struct InputEvent {
  oop type;
  uint64_t window;            // window handle
  uint64_t second;            // platform value (the event time on Unix)
  int32_t x, y, width, height;
  int32_t fifth;              // platform value (modifiers, button, expose count)
  int32_t unused;
  oop extra1, extra2;         // SmallInteger 0 when not given
};
static_assert(sizeof(InputEvent) == 64, "an event record is 64 bytes");

// A page of the ring: 512 records from offset 24, then 512 raw platform events (blobs) of
// eventSize bytes from offset 32792, blob k belonging to record k. The reader's records of a
// page are [readIndex, writeIndex); a page whose write index is 0 is empty.
enum : uint32_t { eventsPerPage = 512 };
struct EventQueuePage {
  EventQueuePage* previous;
  EventQueuePage* next;
  uint32_t writeIndex;  // next record the writer fills
  uint32_t readIndex;   // next record the reader takes
  InputEvent records[eventsPerPage];
};
enum : size_t { eventBlobsOffset = 24 + eventsPerPage * sizeof(InputEvent) };
static_assert(offsetof(EventQueuePage, records) == 24 && eventBlobsOffset == 32792,
              "records from 24, blobs from 32792");

// The ring and its signalling. Invariant "reader behind writer": walking from the read page
// along next reaches the write page, every page in between is full, and the records from the
// read position up to the write position are the pending ones, oldest first.
struct InputQueue {
  EventQueuePage* writePage;
  EventQueuePage* readPage;    // null until a Semaphore is first registered (no reading)
  uint32_t eventSize;          // blob bytes: the platform's event size rounded up to 8
  uint32_t semaphoreSet;       // primitive 913 registered a Semaphore (inputSemaphoreX)
  int64_t unsignalledEvents;   // events queued while no Semaphore was registered
};
extern InputQueue inputQueue;

inline uint8_t* eventBlobOf(EventQueuePage* page, uint32_t k) {
  return reinterpret_cast<uint8_t*>(page) + eventBlobsOffset + size_t(k) * inputQueue.eventSize;
}

// Called by the GUI library's initGUI (Unix): makes a ring of two empty pages, dropping the
// ring of an earlier call, and registers primitives 913 (1 argument), 914 (1) and 915 (0).
extern "C" void initInput();
// fields: {x, y, width, height, fifth} or null (zeros); pair: {extra1, extra2} or null
// (SmallInteger 0); blob: eventSize bytes or null (zeros). The first argument is unused.
extern "C" void extendedQueueTypedEvent(void* ignored, oop type, uint64_t window, uint64_t second,
                                        const int32_t* fields, const oop* pair, const void* blob);
extern "C" void queueTypedEvent(void* ignored, oop type, uint64_t window, uint64_t second,
                                const int32_t* fields, oop extra, const void* blob);
// Type key down (SmallInteger 1) when isDown is non-zero, else key up (2).
extern "C" void extendedQueueNewAscii(void* ignored, uint64_t window, uint64_t second, int32_t x,
                                      int32_t y, int32_t width, int32_t height, int isDown,
                                      int32_t fifth, oop extra1, oop extra2, const void* blob);
