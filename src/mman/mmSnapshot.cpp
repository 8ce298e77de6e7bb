// Object memory: snapshot writing: the header a snapshot writes and the body in file order.
// Owns snapshotFileOps. Prefix: none (composeSnapshotHeader, writeSnapshotFile,
// saveSnapshotFile).
#include "mman/mmSnapshot.h"

#include <cstdio>
#include <cstring>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmCString.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmHooks.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/mmEnumerate.h"
#include "mman/mmIncGC.h"
#include "mman/mmScavenge.h"

// Bytes 924..991 of every snapshot: free text that no loader reads.
static const char snapshotNotice[] = "tessel object memory snapshot; load it with the tessel engine.";
static_assert(sizeof snapshotNotice <= 68, "the notice is 68 bytes at most");

const SnapshotFileOps platformSnapshotFileOps = {pdOpenImage, pdWrite, pdCloseImage, pdDiscardSnapshot,
                                                 pdBlessSnapshot};
SnapshotFileOps snapshotFileOps = platformSnapshotFileOps;

int writeImageBytes(int64_t fd, uint64_t start, uint64_t bytes, uint64_t* total) {
  if (bytes == 0) return 0;
  int error = 0;
  if (snapshotFileOps.write(fd, reinterpret_cast<const void*>(start), bytes, &error) != int64_t(bytes))
    return error != 0 ? error : -1;
  *total += bytes;
  return 0;
}

static void composeIdentity(ImageHeader* h, uint32_t kind) {
  memcpy(h->vmIdString, vmIdString, sizeof h->vmIdString);
  memcpy(h->fileId, fileId, sizeof h->fileId);
  h->imageType = imageType64;
  h->imageSubType = imageSubTypeMax;
  h->snapshotKind = uint8_t(kind);
  h->fileFormat = imagePlain;
  h->flags = persistIEEEInfNaN ? (imageFlagSameOrder | imageFlagIEEE) : imageFlagSameOrder;
  h->heraldFlags = persistShowHerald ? 0 : imageHeraldHidden;
  memcpy(h->viSig, viSig, sizeof h->viSig);
  h->vmId[0] = vm_id0;
  h->vmId[1] = vm_id1;
  h->vmId[2] = vm_id2;
  h->vmId[3] = uint8_t((vmThumb[3] & 0x0F) | vm_id3);
  memcpy(h->heraldString, viHeraldString, heraldStringBytes);
  h->heraldString[heraldStringBytes - 1] = 0;
  h->marker = 'D';
  memcpy(h->notice, snapshotNotice, sizeof snapshotNotice);
}

// The memory-policy fractions come from imageLayout, where primitive 305 changes them.
static void composeFractions(ImageHeader* h) {
  const ImageLayout* l = &imageLayout;
  h->edenWarningFraction = l->edenWarningFraction;
  h->tenureFraction = l->tenureFraction;
  h->largeTenureFraction = l->largeTenureFraction;
  h->edenSizeFraction = l->edenSizeFraction;
  h->survivorSizeFraction = l->survivorSizeFraction;
  h->largeSizeFraction = l->largeSizeFraction;
  h->stackSizeFraction = l->stackSizeFraction;
  h->codeCacheSizeFraction = l->codeCacheSizeFraction;
  h->oldHeadroomFraction = l->oldHeadroomFraction;
  h->fixedSizeFraction = l->fixedSizeFraction;
}

// Past space, large space and perm space: their bounds as the writers will write them.
static void composeNewLargePerm(ImageHeader* h) {
  h->newSpaceBase = pastSpace.start < futureSpace.start ? pastSpace.start : futureSpace.start;
  h->pastSpaceStart = pastSpace.start;
  h->pastSpaceBytes = (pastSpace.top - pastSpace.start) & ~uint64_t(7);
  const BlockTable* t = &largeSpace.table;
  h->largeDataStart = t->firstBlock->block;
  h->largeDataBytes = (t->lastBlock->block - t->firstBlock->block) & ~uint64_t(7);
  h->largeTableStart = uint64_t(t->lowest);
  h->largeTableBytes = ((uint64_t(t->highest) - uint64_t(t->lowest)) & ~uint64_t(7)) + sizeof(BlockTableEntry);
  h->permDataStart = permSpace.dataStart;
  h->permDataBytes = (permSpace.dataTop - permSpace.dataStart) & ~uint64_t(7);
  h->permOTStart = permSpace.otLow + objectHeaderBytes;
  h->permOTBytes = (permSpace.otHigh - permSpace.otLow) & ~uint64_t(7);
  h->permThreadedDataHead = permSpaceSegs.freeHead;  // absorbed: its chunks lie in the old range
}

// Perm space absorbed into old space is written as one more old segment: the file has no
// perm space of its own. Its start is placed at the old data start so that a loader finds
// every reference at or above that start to be an old one, wherever perm space lay.
static void composeAbsorbedPerm(ImageHeader* h) {
  h->permDataStart = h->oldDataStart;
  h->permDataBytes = 0;
  h->permOTStart = h->oldDataStart;
  h->permOTBytes = 0;
}

static void composeOldFixed(ImageHeader* h) {
  writeBackOldSpace();
  const OldSpaceSegment* first = oldSpaceSegs.first;
  h->oldDataStart = first->dataStart;
  h->oldDataBytes = slotsUsedInOldSpace() * 8;
  h->oldOTStart = first->otLow + objectHeaderBytes;
  h->oldOTBytes = otEntriesUsedInOldSpace() * objectHeaderBytes;
  h->oldSegmentsMinusOne = numOldSpaceSegs() - 1;
  h->sysOopRegistryOop = sysOopRegistryOop;
  h->firstFreeRegistryIndex = sysFirstRunTimeSlot;
  h->oldFreeEntryHead = oldSpaceSegs.freeOtHead;
  h->oldFreeEntryCount = oldSpaceSegs.freeOtCount;
  h->threadedDataHead = threadedDataForSnapshot;
  h->oldFreeDataChunks = oldSpaceSegs.freeChunks;
  h->oldFreeSlots = oldSpaceSegs.freeSlots;
  h->lastHash = lastHash;
  h->classTableAllocationPointer = classTableAllocationPointer;
  writeBackFixedSpace();
  const FixedSpaceSegment* f = fixedSpaceSegs.first;
  h->fixedDataStart = f->table.firstBlock->block;
  h->fixedDataBytes = occupiedFsDataSlots() * 8;
  h->fixedTableStart = uint64_t(f->table.lowest);
  h->fixedTableBytes = occupiedFtSlots() * 8;
}

void composeSnapshotHeader(ImageHeader* header, uint32_t kind) {
  memset(header, 0, sizeof *header);
  composeIdentity(header, kind);
  composeFractions(header);
  composeNewLargePerm(header);
  composeOldFixed(header);
  if (permSpaceAbsorbed) composeAbsorbedPerm(header);
  sealImageHeader(header);
}

// A header that comes up short fails like any other write: a file without its whole header
// would otherwise pass as a snapshot.
int writeSnapshotFile(int64_t fd, const ImageHeader* header, uint64_t* total) {
  *total = 0;
  int error = writeImageBytes(fd, reinterpret_cast<uint64_t>(header), sizeof *header, total);
  if (error == 0 && !permSpaceAbsorbed) error = writePermSpace(fd, total);
  if (error == 0)
    error = writeImageBytes(fd, pastSpace.start, (pastSpace.top - pastSpace.start) & ~uint64_t(7), total);
  if (error == 0) error = writeLargeSpace(fd, total);
  if (error == 0) error = writeFixedSpace(fd, total);
  if (error == 0) error = writeOldSpace(fd, total);
  return error;
}

// Kinds 1 and 2 write perm space absorbed into old space (a promoting load turns the whole
// old space into perm space, a demoting one keeps it old); it is restored before anything
// else runs, whether the writing succeeded or not.
SnapshotOutcome saveSnapshotFile(const char* name, uint32_t kind) {
  SnapshotOutcome out = {0, 0, 0};
  int error = 0;
  int64_t fd = snapshotFileOps.open(name, pdOpenSnapshot, &error);
  if (fd < 0) return {snapshotFailedIO, error, 0};
  canonicalizeRt();
  shiftFinalQueueEntries();
  cacheOldRtOop();
  if (kind != 0) absorbPermSpace();
  // The write may take long: the platform is told (it may show a busy cursor), and
  // asynchronous activity is held off until the body is out.
  pdStartLongComp(10000);
  pdBeginCritical();
  ImageHeader header;
  composeSnapshotHeader(&header, kind);
  int status = writeSnapshotFile(fd, &header, &out.total);
  if (kind != 0) restorePermSpace();
  pdEndCritical();
  pdFinishLongComp();
  if (status != 0) {
    snapshotFileOps.discard(fd);
    snapshotFileOps.close(fd);
  } else {
    status = snapshotFileOps.close(fd);
  }
  if (status != 0) return {snapshotFailedIO, status > 0 ? status : 0, out.total};
  if (!snapshotFileOps.bless(name, out.total)) return {snapshotFailedIO, 0, out.total};
  return out;
}

// ---- Primitive 405: snapshot -------------------------------------------------------------

static oop suspendedContextOfActive() { return slotOf(activeProcess(), processSuspendedContext); }

static oop primSnapshot(oop receiver, oop kindOop) {
  char name[snapshotNameBytes + 1];
  if (isImmediate(receiver) ||
      !inheritsFrom2(classOf(receiver), sysOop(sysByteStringClass), sysOop(sysTwoByteStringClass)) ||
      copyToCString(receiver, name, snapshotNameBytes) == nullptr)
    return failPrimitive(primErrorAt(primErrBadReceiver), 1);
  uint64_t unit = inheritsFrom1(classOf(receiver), sysOop(sysTwoByteStringClass)) ? 2 : 1;
  if (strlen(name) != byteSizeOf(headerOf(receiver)) / unit)  // a zero byte would name another file
    return failPrimitive(primErrorAt(primErrBadReceiver), 1);
  if (!isSmallInteger(kindOop) || smallIntegerValue(kindOop) < 0 || smallIntegerValue(kindOop) > 2)
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  uint32_t kind = uint32_t(smallIntegerValue(kindOop));

  // The saved image resumes here with true as the answer; this one goes on with nil.
  pdBeginCritical();
  commitPrimitive(trueOop());
  storeSlot(activeProcess(), processSuspendedContext, stackHooks.suspendTopContext(), SOURCE_NAME, __LINE__);
  blowAwayIncGC();
  int failure = 0, error = 0;
  if (!stackHooks.stabilizeAllStacks() || !flushEden() || !prepareThreadedFreeListForSnapshot()) {
    failure = primErrNoSpace;  // stacks or eden could not be made ready
  } else {
    compactLargeSpace();
    compactFixedSpace();
    if (!codeHooks.mapAllNPCs()) {
      failure = primErrEngine;
    } else {
      SnapshotOutcome outcome = saveSnapshotFile(name, kind);
      failure = outcome.failure, error = outcome.error;
    }
  }
  // flushEden moved the context stored above: the Process holds where it is now.
  oop context = suspendedContextOfActive();
  storeSlot(activeProcess(), processSuspendedContext, nilOop(), SOURCE_NAME, __LINE__);
  pdEndCritical();
  stackHooks.resumeContext(context);
  if (failure != 0) {
    oop errorOop = primErrorAt(uint32_t(failure));
    if (error > 0) errorOop = cloneErrorWith(errorOop, smallIntegerFor(error));
    return failPrimitive(errorOop, 1);
  }
  return commitPrimitiveAndHandleRequests(nilOop());
}

// ---- Primitives 303 and 304: the herald ----------------------------------------------------

static oop primHerald(oop) {
  const char* text = heraldOrVersion();
  oop string = text != nullptr && text[0] != 0 ? STStringWithSize(text, strlen(text)) : 0;
  return string != 0 ? string : failPrimitive(primErrorAt(primErrNoSpace), 0);
}

static oop primSetHerald(oop receiver, oop string) {
  char buffer[heraldStringBytes];
  if (isImmediate(string) || !inheritsFrom2(classOf(string), sysOop(sysByteStringClass), sysOop(sysTwoByteStringClass)) ||
      copyToCString(string, buffer, heraldStringBytes - 1) == nullptr)
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  memcpy(viHeraldString, buffer, strlen(buffer) + 1);
  return receiver;
}

void initSnapshotPrims() {
  addCPrimitive(303, reinterpret_cast<const void*>(primHerald), 0);
  addCPrimitive(304, reinterpret_cast<const void*>(primSetHerald), 1);
  addCPrimitive(405, reinterpret_cast<const void*>(primSnapshot), 1);
}
