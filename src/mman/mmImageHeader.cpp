// Object memory: reading and checking the image header, and its byte-order repair.
// Owns imageLayout and the identification values copied from the header.
// Prefix: none (readImageHeader, acceptImageHeader, imageHeaderChecksum, swapImageHeader).
#include "mman/mmImageHeader.h"

#include <cstring>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"

ImageLayout imageLayout;
char vmIdString[36];
uint8_t fileId[4];
uint8_t viSig[4];
uint8_t vmThumb[4];
char viHeraldString[heraldStringBytes + 1];
const char* const imageHeraldText = viHeraldString;
uint32_t persistIEEEInfNaN;
uint32_t persistShowHerald = 1;
uint64_t sysOopRegistryOop;
uint32_t prevFirstFreeSlotX;
uint32_t lastHash;
uint32_t classTableAllocationPointer;

// The fields a reader of the other byte order reverses, in this order.
static const uint16_t swappedU64Offsets[] = {80,  88,  96,  104, 112, 120, 128, 320, 328, 336,
                                             344, 136, 144, 152, 160, 168, 176, 192, 200, 208,
                                             216, 224, 264, 272, 280, 288, 296, 304};
static const uint16_t swappedU32Offsets[] = {184, 232, 236, 240, 244, 248, 252,
                                             256, 260, 56,  60,  64,  352};
static_assert(sizeof swappedU64Offsets / sizeof swappedU64Offsets[0] == 28);
static_assert(sizeof swappedU32Offsets / sizeof swappedU32Offsets[0] == 13);

static void reverseBytes(uint8_t* p, int n) {
  for (int i = 0, j = n - 1; i < j; i++, j--) {
    uint8_t t = p[i];
    p[i] = p[j];
    p[j] = t;
  }
}

void swapImageHeader(ImageHeader* header) {
  uint8_t* bytes = (uint8_t*)header;
  for (uint16_t offset : swappedU64Offsets) reverseBytes(bytes + offset, 8);
  for (uint16_t offset : swappedU32Offsets) reverseBytes(bytes + offset, 4);
}

// Each term packs byte i+1 into the third byte position and byte i into the first: it is
// not a sum of 16-bit words.
uint32_t imageHeaderChecksum(const ImageHeader* header) {
  const uint8_t* bytes = (const uint8_t*)header;
  uint64_t sum = 0;
  for (int i = 0; i <= 1018; i += 2) sum += (uint64_t)bytes[i + 1] * 65536 + bytes[i];
  return (uint32_t)sum;
}

void sealImageHeader(ImageHeader* header) {
  uint32_t sum = imageHeaderChecksum(header);
  uint8_t* out = (uint8_t*)&header->checksum;
  for (int i = 0; i < 4; i++) out[i] = (uint8_t)(sum >> (8 * i));
}

int getImageFileFormat() { return imageLayout.format; }
static int bodyIsCompressed() { return imageLayout.format == imageGzip; }
int (*const imageBodyIsCompressed)() = bodyIsCompressed;
int getImageType() { return imageLayout.type; }
int getImageSubType() { return imageLayout.subType; }
void setImageSubType(int value) { imageLayout.subType = (uint8_t)value; }

// The -l option's policy, or -1 for a name that is none of the three.
static int loadPolicyNamed(const char* name) {
  static const char* const names[] = {"normal", "promote", "demote"};
  for (int i = 0; i < 3; i++)
    if (strcmp(name, names[i]) == 0) return i;
  return -1;
}

// The herald becomes the banner of later reports, so it is taken only from a header that
// has passed every check: a file that is no image must not print its bytes as a banner.
static void copyHerald(const ImageHeader* header) {
  memcpy(viHeraldString, header->heraldString, heraldStringBytes);
  viHeraldString[heraldStringBytes] = 0;
}

static void copyIdentification(const ImageHeader* header) {
  memcpy(vmIdString, header->vmIdString, sizeof vmIdString);
  memcpy(fileId, header->fileId, sizeof fileId);
  imageLayout.type = header->imageType;
  imageLayout.subType = header->imageSubType;
  imageLayout.format = header->fileFormat;
}

static void copyFlags(const ImageHeader* header) {
  memcpy(viSig, header->viSig, sizeof viSig);
  memcpy(vmThumb, header->vmId, sizeof vmThumb);
  imageLayout.flags = header->flags;
  persistIEEEInfNaN = (header->flags & imageFlagIEEE) != 0;
  imageLayout.swapped = (header->flags & imageFlagSameOrder) == 0;
  if (!IEEEInfNaN) IEEEInfNaN = persistIEEEInfNaN;
  persistShowHerald = (header->heraldFlags & imageHeraldHidden) == 0;
  if (header->heraldFlags & imageHeraldHidden) showHerald = 0;
}

// Type 10 and subtype 0..2 only, unless the check-skipping option bit is set.
static int checkImageType(int reportErrors) {
  if (qrxOptions & optSkipImageTypeCheck) return 1;
  if (imageLayout.type == imageType64 && imageLayout.subType <= imageSubTypeMax) return 1;
  if (!reportErrors) return 0;
  if (imageLayout.type != imageType64) {
    REPORT_ERROR("The VM is 64-bit but the image is 32-bit.", errCauseUser | errError | errImageIncompatible);
  } else {
    REPORT_ERROR("The image may depend on features that the VM does not support", errCauseUser | errError | errImageIncompatible);
  }
  return 0;
}

static void copySpaces(const ImageHeader* h) {
  ImageLayout* l = &imageLayout;
  l->newSpaceBase = h->newSpaceBase;
  l->pastSpaceStart = h->pastSpaceStart;
  l->pastSpaceBytes = h->pastSpaceBytes;
  l->largeDataStart = h->largeDataStart;
  l->largeDataBytes = h->largeDataBytes;
  l->largeTableStart = h->largeTableStart;
  l->largeTableBytes = h->largeTableBytes;
  l->oldDataStart = h->oldDataStart;
  l->oldDataBytes = h->oldDataBytes;
  l->oldOTStart = h->oldOTStart;
  l->oldOTBytes = h->oldOTBytes;
  l->oldSegmentsMinusOne = h->oldSegmentsMinusOne;
  l->oldFreeEntryHead = h->oldFreeEntryHead;
  l->oldFreeEntryCount = h->oldFreeEntryCount;
  l->threadedDataHead = h->threadedDataHead;
  l->oldFreeDataChunks = h->oldFreeDataChunks;
  l->oldFreeSlots = h->oldFreeSlots;
  l->permDataStart = h->permDataStart;
  l->permDataBytes = h->permDataBytes;
  l->permOTStart = h->permOTStart;
  l->permOTBytes = h->permOTBytes;
  l->permThreadedDataHead = h->permThreadedDataHead;
  l->fixedDataStart = h->fixedDataStart;
  l->fixedDataBytes = h->fixedDataBytes;
  l->fixedTableStart = h->fixedTableStart;
  l->fixedTableBytes = h->fixedTableBytes;
}

static void copyFractions(const ImageHeader* h) {
  ImageLayout* l = &imageLayout;
  l->edenWarningFraction = h->edenWarningFraction;
  l->tenureFraction = h->tenureFraction;
  l->largeTenureFraction = h->largeTenureFraction;
  l->edenSizeFraction = h->edenSizeFraction;
  l->survivorSizeFraction = h->survivorSizeFraction;
  l->largeSizeFraction = h->largeSizeFraction;
  l->stackSizeFraction = h->stackSizeFraction;
  l->codeCacheSizeFraction = h->codeCacheSizeFraction;
  l->oldHeadroomFraction = h->oldHeadroomFraction;
  // Images of type 9 subtype 0 predate the fixed-space fraction.
  bool oldStyle = imageLayout.type == 9 && imageLayout.subType == 0;
  l->fixedSizeFraction = oldStyle ? 10000 : h->fixedSizeFraction;
}

// References below the new-space limit are new; from the old data start up to the old
// upper limit, old; all others perm.
static void deriveLimits() {
  ImageLayout* l = &imageLayout;
  l->newSpaceLimit = l->largeDataStart < l->permDataStart ? l->largeDataStart : l->permDataStart;
  l->oldSpaceUpperLimit = l->oldDataStart < l->permDataStart ? l->permDataStart : ~(uint64_t)0;
}

// The checks of readImageHeader on a header in memory, in the order the loader must
// make them; swaps the header in place when it is of the other byte order.
// A file without the image marker is no image at all (an empty or random file): that is
// said before anything else of the header, such as its word size, is judged.
int acceptImageHeader(ImageHeader* header, int reportErrors) {
  viHeraldString[0] = 0;
  if (header->marker != imageMarker) {
    if (reportErrors) REPORT_ERROR("The file is not an image file.", errCauseUser | errError | errImageIncompatible);
    return 0;
  }
  imageLayout.loadPolicy = header->snapshotKind;
  if (desiredLoadPolicyName != nullptr) {
    int policy = loadPolicyNamed(desiredLoadPolicyName);
    if (policy >= 0) imageLayout.loadPolicy = (uint32_t)policy;
    else if (reportErrors) REPORT_ERROR("invalid load policy", errCauseUser | errFatal | errUsage);
  }
  copyIdentification(header);
  if (imageLayout.format > imageGzip) {
    if (reportErrors) REPORT_ERROR("unrecognized image format", errFatal | errImageUnloadable);
    return 0;
  }
  copyFlags(header);
  if (!checkImageType(reportErrors)) return 0;
  imageLayout.type &= 0x7F;
  imageLayout.otEntryStep = otEntryBytes;
  imageLayout.tableEntryBytes = blockTableEntryBytes;
  if (imageLayout.swapped) swapImageHeader(header);
  copySpaces(header);
  copyFractions(header);
  sysOopRegistryOop = header->sysOopRegistryOop;
  prevFirstFreeSlotX = header->firstFreeRegistryIndex;
  lastHash = header->lastHash != 0 ? header->lastHash : 1;
  classTableAllocationPointer = header->classTableAllocationPointer;
  deriveLimits();
  copyHerald(header);
  return 1;
}

int readImageHeader(int reportErrors, int64_t fd) {
  (void)fd;  // the image reader keeps its own descriptor
  ImageHeader header;
  if (readImageFile(&header, sizeof header) < sizeof header) {
    if (reportErrors && !reportFailedImageRead()) REPORT_ERROR(nullptr, errError | errImageUnreadable);
    return 0;
  }
  return acceptImageHeader(&header, reportErrors);
}
