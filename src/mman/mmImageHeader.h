// Object memory: the image file header, its checks and byte-order repair.
// Owns imageLayout (the loaded header values) and the identification globals below.
// Prefix: none (readImageHeader, getImageFileFormat, imageHeaderChecksum, ...).
#pragma once
#include <cstddef>
#include <cstdint>

// The 1024-byte header at the start of every image file. Multi-byte fields are in the
// writer's byte order; a writer always sets flags bit 0, so a reader of the other order
// finds it clear and swaps the fields of the two swap tables.
struct ImageHeader {
  char vmIdString[36];             // 0: carried unchanged
  uint8_t fileId[4];               // 36
  uint8_t imageType;               // 40: 10 for 64-bit; bit 7 cleared after the check
  uint8_t imageSubType;            // 41: 0, 1 or 2
  uint8_t snapshotKind;            // 42: default load policy, 0 normal 1 promote 2 demote
  uint8_t fileFormat;              // 43: 0 plain body, 1 one gzip member
  uint8_t flags;                   // 44: bit 0 writer's byte order, bit 5 IEEE mode persists
  uint8_t heraldFlags;             // 45: bit 0 herald hidden
  uint8_t reserved46[10];
  uint32_t edenWarningFraction;    // 56: x 10000
  uint32_t tenureFraction;         // 60: x 10000
  uint32_t largeTenureFraction;    // 64: x 10000
  uint8_t viSig[4];                // 68: image signature
  uint8_t vmId[4];                 // 72: engine that wrote the image (vmThumb on load)
  uint8_t reserved76[4];
  uint64_t newSpaceBase;           // 80: lower of the two survivor-space starts
  uint64_t pastSpaceStart;         // 88
  uint64_t pastSpaceBytes;         // 96
  uint64_t largeDataStart;         // 104
  uint64_t largeDataBytes;         // 112
  uint64_t largeTableStart;        // 120
  uint64_t largeTableBytes;        // 128: entries = bytes / 40
  uint64_t oldDataStart;           // 136
  uint64_t oldDataBytes;           // 144
  uint64_t oldOTStart;             // 152: first live entry of the first segment's OT
  uint64_t oldOTBytes;             // 160
  uint64_t oldSegmentsMinusOne;    // 168: non-zero: a segment map is present
  uint64_t sysOopRegistryOop;      // 176
  uint32_t firstFreeRegistryIndex; // 184
  uint8_t reserved188[4];
  uint64_t oldFreeEntryHead;       // 192
  uint64_t oldFreeEntryCount;      // 200
  uint64_t threadedDataHead;       // 208
  uint64_t oldFreeDataChunks;      // 216
  uint64_t oldFreeSlots;           // 224
  uint32_t lastHash;               // 232
  uint32_t classTableAllocationPointer;  // 236
  uint32_t edenSizeFraction;       // 240: x 10000
  uint32_t survivorSizeFraction;   // 244
  uint32_t largeSizeFraction;      // 248
  uint32_t stackSizeFraction;      // 252
  uint32_t codeCacheSizeFraction;  // 256
  uint32_t oldHeadroomFraction;    // 260
  uint64_t permDataStart;          // 264
  uint64_t permDataBytes;          // 272
  uint64_t permOTStart;            // 280
  uint64_t permOTBytes;            // 288
  uint64_t reserved296;            // 296: loaded, unused
  uint64_t permThreadedDataHead;   // 304
  uint8_t reserved312[8];
  uint64_t fixedDataStart;         // 320
  uint64_t fixedDataBytes;         // 328
  uint64_t fixedTableStart;        // 336
  uint64_t fixedTableBytes;        // 344: entries = bytes / 40
  uint32_t fixedSizeFraction;      // 352: x 10000
  uint8_t reserved356[466];
  char heraldString[101];          // 822: NUL padded
  char marker;                     // 923: 'D' (imageMarker), the file's identity as an image
  char notice[68];                 // 924
  uint8_t reserved992[28];
  uint32_t checksum;               // 1020: little-endian, not tested on load
};
static_assert(sizeof(ImageHeader) == 1024, "the image header is 1024 bytes");
static_assert(offsetof(ImageHeader, newSpaceBase) == 80);
static_assert(offsetof(ImageHeader, lastHash) == 232);
static_assert(offsetof(ImageHeader, permDataStart) == 264);
static_assert(offsetof(ImageHeader, fixedSizeFraction) == 352);
static_assert(offsetof(ImageHeader, heraldString) == 822);
static_assert(offsetof(ImageHeader, checksum) == 1020);

enum {
  imageHeaderBytes = 1024,
  imageType64 = 10,
  imageSubTypeMax = 2,
  imageFlagSameOrder = 0x01,
  imageFlagIEEE = 0x20,
  imageHeraldHidden = 0x01,
  heraldStringBytes = 101,
  imageMarker = 'D',  // every image this engine or mkimage writes carries it at 923
  otEntryBytes = 16,
  blockTableEntryBytes = 40,
};

enum LoadPolicy { loadNormal = 0, loadPromote = 1, loadDemote = 2 };
enum ImageFileFormat { imagePlain = 0, imageGzip = 1 };

// The loaded header values, plus what loading derives from them.
struct ImageLayout {
  uint8_t type, subType, format, flags;  // header bytes 40, 41, 43, 44 (type without bit 7)
  uint32_t loadPolicy;                   // LoadPolicy after the -l override
  uint32_t swapped;                      // 1: the file is of the other byte order
  uint64_t newSpaceBase, pastSpaceStart, pastSpaceBytes;   // bytes, addresses
  uint64_t largeDataStart, largeDataBytes, largeTableStart, largeTableBytes;
  uint64_t oldDataStart, oldDataBytes, oldOTStart, oldOTBytes, oldSegmentsMinusOne;
  uint64_t oldFreeEntryHead, oldFreeEntryCount, threadedDataHead;
  uint64_t oldFreeDataChunks, oldFreeSlots;                // chunks, slots
  uint64_t permDataStart, permDataBytes, permOTStart, permOTBytes, permThreadedDataHead;
  uint64_t fixedDataStart, fixedDataBytes, fixedTableStart, fixedTableBytes;
  // Memory-policy fractions x 10000: eden warning, tenure, large tenure, eden, survivor,
  // large, stack, code cache, old headroom, fixed.
  uint32_t edenWarningFraction, tenureFraction, largeTenureFraction;
  uint32_t edenSizeFraction, survivorSizeFraction, largeSizeFraction, stackSizeFraction;
  uint32_t codeCacheSizeFraction, oldHeadroomFraction, fixedSizeFraction;
  uint64_t otEntryStep;          // 16 bytes
  uint64_t tableEntryBytes;      // 40 bytes, large and fixed block tables
  uint64_t newSpaceLimit;        // saved references below it are new-space references
  uint64_t oldSpaceUpperLimit;   // saved old references lie in [oldDataStart, this)
};
extern ImageLayout imageLayout;

// Identification and values copied from the header.
extern char vmIdString[36];
extern uint8_t fileId[4];   // the loaded header's file identity bytes
extern uint8_t viSig[4];    // its image signature
extern uint8_t vmThumb[4];  // its engine id; a snapshot keeps the low nibble of byte 3
extern char viHeraldString[heraldStringBytes + 1];  // its herald text, zero-terminated
extern uint32_t persistIEEEInfNaN;   // flags bit 5
extern uint32_t persistShowHerald;   // herald flags bit 0 clear
extern uint64_t sysOopRegistryOop;   // the registry Array as saved (relocated on load)
extern uint32_t prevFirstFreeSlotX;  // first free registry index as saved
extern uint32_t lastHash;            // identity-hash generator state
extern uint32_t classTableAllocationPointer;  // where the next class-table search starts, as saved

// Reads the header from the open image through readImageFile and checks it; answers 1
// when the image can be loaded, 0 (after a report when reportErrors) when not.
int readImageHeader(int reportErrors, int64_t fd);
// Decodes and checks a header already in memory (the body of readImageHeader).
int acceptImageHeader(ImageHeader* header, int reportErrors);
int getImageFileFormat();
int getImageType();
int getImageSubType();
void setImageSubType(int value);

uint32_t imageHeaderChecksum(const ImageHeader* header);
void sealImageHeader(ImageHeader* header);  // stores the checksum, little-endian
void swapImageHeader(ImageHeader* header);  // reverses the 28 u64 and 13 u32 fields
