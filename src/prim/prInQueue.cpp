// Primitives: the input event queue the platform layers append window-system events to, and
// primitives 913-915 through which the image's input process reads them. Owns inputQueue.
// Prefix: none (initInput, extendedQueueTypedEvent, queueTypedEvent, extendedQueueNewAscii).
#include "prim/prInQueue.h"

#include <cstdlib>
#include <cstring>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "prim/prStartup.h"
#include "stack/scheduler.h"

InputQueue inputQueue;

static const char queueSource[] = "src/ext/exInQueue.c";
enum : oop { exposeType = 67, noEventType = 3 };  // SmallIntegers 8 and 0

// ---- The ring -------------------------------------------------------------------------------

static EventQueuePage* newPage(const char* failure, int line) {
  auto* page = static_cast<EventQueuePage*>(malloc(eventBlobsOffset + size_t(eventsPerPage) * inputQueue.eventSize));
  if (page == nullptr) {
    doReportError(failure, errFatal | errNoHeap, queueSource, line);
    vmExit(qrxErrorStatus);  // not reached
  }
  page->writeIndex = page->readIndex = 0;
  return page;
}

static void freeRing(EventQueuePage* start) {
  if (start == nullptr) return;
  EventQueuePage* page = start->next;
  while (page != start) {
    EventQueuePage* next = page->next;
    free(page);
    page = next;
  }
  free(start);
}

static oop primInputSemaphore(oop receiver, oop semaphore);
static oop primNextEvent(oop receiver, oop array);
static oop primEventSize(oop receiver);

extern "C" void initInput() {
  freeRing(inputQueue.writePage);
  inputQueue = {};
  inputQueue.eventSize = uint32_t((pdSizeOfEvent() + 7) & ~uint64_t(7));
  EventQueuePage* first = newPage("Can't pdAlloc event queue", __LINE__);
  EventQueuePage* second = newPage("Can't pdAlloc event queue", __LINE__);
  first->previous = first->next = second;
  second->previous = second->next = first;
  inputQueue.writePage = first;
  addCPrimitive(913, reinterpret_cast<const void*>(primInputSemaphore), 1);
  addCPrimitive(914, reinterpret_cast<const void*>(primNextEvent), 1);
  addCPrimitive(915, reinterpret_cast<const void*>(primEventSize), 0);
}

// The writer leaves a full page for the next one when that is empty, else for a new page
// linked in after it, so that no record the reader has not taken is overwritten.
static void advanceWritePage() {
  EventQueuePage* full = inputQueue.writePage;
  if (full->next->writeIndex == 0) {
    inputQueue.writePage = full->next;
    return;
  }
  EventQueuePage* page = newPage("Can't pdAlloc event queue page", __LINE__);
  page->previous = full;
  page->next = full->next;
  full->next->previous = page;
  full->next = page;
  inputQueue.writePage = page;
}

// ---- Appending --------------------------------------------------------------------------------

// Signed 32-bit sums, wrapping as the platform's 32-bit fields do.
static int32_t wrappedSum(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
static int32_t unionEnd(int32_t at1, int32_t extent1, int32_t at2, int32_t extent2) {
  int32_t end1 = wrappedSum(at1, extent1), end2 = wrappedSum(at2, extent2);
  return end1 > end2 ? end1 : end2;
}

// The new expose record absorbs the oldest pending expose of its window: that one becomes
// "no event" and the new one covers both rectangles.
static void mergeExpose(InputEvent* e) {
  for (EventQueuePage* page = inputQueue.readPage; page != nullptr; page = page->next) {
    for (uint32_t k = page->readIndex; k < page->writeIndex; k++) {
      InputEvent* old = &page->records[k];
      if (old == e) return;
      if (old->type != exposeType || old->window != e->window) continue;
      old->type = noEventType;
      int32_t x = old->x < e->x ? old->x : e->x, y = old->y < e->y ? old->y : e->y;
      int32_t right = unionEnd(old->x, old->width, e->x, e->width);
      int32_t bottom = unionEnd(old->y, old->height, e->y, e->height);
      e->x = x, e->y = y;
      e->width = int32_t(uint32_t(right) - uint32_t(x));
      e->height = int32_t(uint32_t(bottom) - uint32_t(y));
      return;
    }
    if (page == inputQueue.writePage) return;
  }
}

static void signalInput() {
  if (!inputQueue.semaphoreSet) {
    inputQueue.unsignalledEvents++;
    return;
  }
  oop semaphore = sysOop(uint32_t(inputSemaphoreX));
  asynchSignal(semaphore);
  for (; inputQueue.unsignalledEvents > 0; inputQueue.unsignalledEvents--) asynchSignal(semaphore);
}

extern "C" void extendedQueueTypedEvent(void*, oop type, uint64_t window, uint64_t second,
                                        const int32_t* fields, const oop* pair, const void* blob) {
  EventQueuePage* page = inputQueue.writePage;
  uint32_t k = page->writeIndex;
  InputEvent* e = &page->records[k];
  *e = {};
  e->type = type, e->window = window, e->second = second;
  if (fields != nullptr) e->x = fields[0], e->y = fields[1], e->width = fields[2], e->height = fields[3], e->fifth = fields[4];
  e->extra1 = pair != nullptr ? pair[0] : smallIntegerFor(0);
  e->extra2 = pair != nullptr ? pair[1] : smallIntegerFor(0);
  if (type == exposeType) mergeExpose(e);
  if (blob != nullptr) memcpy(eventBlobOf(page, k), blob, inputQueue.eventSize);
  else memset(eventBlobOf(page, k), 0, inputQueue.eventSize);
  if (++page->writeIndex == eventsPerPage) advanceWritePage();
  signalInput();
}

extern "C" void queueTypedEvent(void* ignored, oop type, uint64_t window, uint64_t second,
                                const int32_t* fields, oop extra, const void* blob) {
  const oop pair[2] = {extra, smallIntegerFor(0)};
  extendedQueueTypedEvent(ignored, type, window, second, fields, pair, blob);
}

extern "C" void extendedQueueNewAscii(void* ignored, uint64_t window, uint64_t second, int32_t x,
                                      int32_t y, int32_t width, int32_t height, int isDown,
                                      int32_t fifth, oop extra1, oop extra2, const void* blob) {
  const int32_t fields[5] = {x, y, width, height, fifth};
  const oop pair[2] = {extra1, extra2};
  extendedQueueTypedEvent(ignored, smallIntegerFor(isDown ? 1 : 2), window, second, fields, pair, blob);
}

// ---- Primitives -------------------------------------------------------------------------------

// The receiver's first instance variable is a byte object (the image's input-state handle;
// nil, whatever its header, is none).
static bool isInputReceiver(oop receiver) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) || byteSizeOf(headerOf(receiver)) < 8) return false;
  oop first = slotOf(receiver, 0);
  return first != nilOop() && !isImmediate(first) && !hasPtrs(headerOf(first));
}

// Primitive 913: a Semaphore starts a fresh queue (every pending event is dropped) and is
// signalled once per event from then on; nil stops the signals, the events stay.
static oop primInputSemaphore(oop receiver, oop semaphore) {
  if (!isInputReceiver(receiver)) return failPrimitive(primErrorAt(primErrBadReceiver), 1);
  if (semaphore == nilOop()) {
    inputQueue.semaphoreSet = 0;
    registerSysOop(nilOop(), uint32_t(inputSemaphoreX));
    return semaphore;
  }
  if (isImmediate(semaphore) || !isKindOf(semaphore, sysOop(sysSemaphoreClass)))
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  registerSysOop(semaphore, uint32_t(inputSemaphoreX));
  EventQueuePage* page = inputQueue.writePage;
  do page->writeIndex = page->readIndex = 0, page = page->next;
  while (page != inputQueue.writePage);
  inputQueue.readPage = inputQueue.writePage;
  inputQueue.unsignalledEvents = 0;
  if (!inputQueue.semaphoreSet) {
    inputQueue.semaphoreSet = 1;
    setRequest(requestInput);
  }
  return semaphore;
}

enum : uint64_t { eventArraySlots = 11, eventBlobSlot = 9 };

static bool isEmpty() {
  const EventQueuePage* page = inputQueue.readPage;
  return page == nullptr || page->readIndex >= page->writeIndex;
}

static void takeEvent() {
  EventQueuePage* page = inputQueue.readPage;
  if (++page->readIndex < eventsPerPage) return;
  page->writeIndex = page->readIndex = 0;
  inputQueue.readPage = page->next;
}

// Primitive 914: the oldest event into an Array of 11 slots (see InputEvent; slot 9, when it
// holds a byte object, takes the raw event). The integer objects are made before anything is
// stored or taken, so that a failure leaves the queue and the Array as they were.
static oop primNextEvent(oop receiver, oop array) {
  if (!isInputReceiver(receiver)) return failPrimitive(primErrorAt(primErrBadReceiver), 1);
  if (isImmediate(array) || classTagOf(headerOf(array)) != classIndexArray ||
      byteSizeOf(headerOf(array)) / 8 < eventArraySlots)
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  oop blobHolder = slotOf(array, eventBlobSlot);
  bool copyBlob = !isImmediate(blobHolder) && !hasPtrs(headerOf(blobHolder));
  if (isImmutable(headerOf(array)) || (copyBlob && isImmutable(headerOf(blobHolder))))
    return failPrimitive(primErrorAt(primErrImmutable), 1);
  if (isEmpty()) return falseOop();
  const InputEvent* e = &inputQueue.readPage->records[inputQueue.readPage->readIndex];
  oop window = cUnsignedToOop(e->window);
  oop second = window != 0 ? cUnsignedToOop(e->second) : 0;
  if (second == 0) return failPrimitive(primErrorAt(primErrNoSpace), 1);
  const oop values[eventArraySlots] = {e->type, window, smallIntegerFor(e->x), smallIntegerFor(e->y),
                                       smallIntegerFor(e->width), smallIntegerFor(e->height),
                                       smallIntegerFor(e->fifth), e->extra1, second, blobHolder, e->extra2};
  for (uint64_t i = 0; i < eventArraySlots; i++)
    if (i != eventBlobSlot) storeSlot(array, i, values[i], queueSource, __LINE__);
  if (copyBlob) {
    uint64_t n = byteSizeOf(headerOf(blobHolder));
    memcpy(bodyOf(headerOf(blobHolder)), eventBlobOf(inputQueue.readPage, inputQueue.readPage->readIndex),
           n < inputQueue.eventSize ? n : inputQueue.eventSize);
  }
  takeEvent();
  return trueOop();
}

// Primitive 915: the byte size of the raw event kept with each record.
static oop primEventSize(oop) { return smallIntegerFor(inputQueue.eventSize); }
