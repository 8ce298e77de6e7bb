// Start-up: engine options, the supervisor and the orderly exit.
// Owns the option globals below, set once from the command line before start-up.
// Prefix: none (setOption, parseNumericOption, reportUsage, startSupervisor, vmExit).
#pragma once
#include <cstdint>

extern char* imageFilename;                  // image path; null = none given yet
extern uint32_t showHerald;                  // show the herald text and splash
extern uint32_t loadGUIOnStartup;            // bind the GUI library during start-up
enum { guiLibraryFilenameBytes = 4097 };
extern char guiLibraryFilename[guiLibraryFilenameBytes];  // GUI library path; "" = default
extern const char* resourceClassName;        // X resource class; default "St80"
extern uint32_t IEEEInfNaN;                  // float primitives may answer Inf and NaN
extern const char* desiredLoadPolicyName;    // -l text, or null
extern uint64_t mOptionEdenSpaceSize;        // -m1, bytes; 0 = not given
extern uint64_t mOptionSurvivorSpaceSize;    // -m2, bytes
extern uint64_t mOptionLargeSpaceSize;       // -m3, bytes
extern uint64_t mOptionStackSpaceSize;       // -m4, bytes
extern uint64_t mOptionCompiledCodeCacheSize;  // -m5, bytes
extern uint64_t mOptionOldSpaceHeadroom;     // -m6, bytes
extern uint64_t mOptionFixedSpaceInitialSize;  // -m7, bytes
extern uint64_t qrxOptions;                  // engine option bits, ORed in by -o
extern uint32_t reportVersionOnly;           // -v: print version information and stop
extern uint32_t dumpStackOnExit;             // -xq: vmExit writes the stack dump first
extern uint32_t printHelp;                   // reportUsage adds the long help
extern int program_argc;                     // the whole command line
extern char** program_argv;
extern char* programPath;                    // argv[0]
extern char* programName;                    // last path component of argv[0]
extern int32_t imageFilePtr;                 // open image descriptor, -1 = none
extern uint32_t headerReadPending;           // the next image read is a plain read
extern const uint32_t hasTransFloatPrims;    // translated float primitives exist
extern uint32_t enableTP;                    // translated primitives in use
extern uint32_t enableTFP;                   // translated float primitives in use
extern uint32_t vmExiting;                   // vmExit has begun: a later vmExit ends at once

// Option bits read before the image loads.
enum : uint64_t {
  optNoTranslatedPrims = 0x10,
  optToggleTranslatedFloatPrims = 0x10000,
  optSkipImageTypeCheck = 0x40000,
};

// The space options -m1 .. -m7, in that order: what each sets, in bytes, and its range. The
// image header's fractions must give sizes within the same ranges.
struct SpaceOption {
  const char* description;  // the option's name in its reports ("eden space size")
  uint64_t min, max;        // bytes
  uint64_t* global;         // mOption...: 0 while not given
};
enum SpaceOptionIndex {
  spaceEden, spaceSurvivor, spaceLarge, spaceStack, spaceCodeCache, spaceOldHeadroom, spaceFixed,
  spaceOptionCount
};
extern const SpaceOption spaceOptions[spaceOptionCount];

// Takes one argument without its leading dash; next is the following argument or null.
// Answers non-zero when next was used as the option's value.
uint64_t setOption(const char* option, const char* next);
uint64_t parseNumericOption(uint64_t min, uint64_t max, const char* name,
                            const char* description, const char* text);
// Walks argv from 1 while no image name is known (shared by the platform entries).
void walkArguments(int argc, char** argv);
void reportUsage();

[[noreturn]] void startSupervisor();
int loadImageHeader(const char* fileName, int report);
void closeImageFile();
uint64_t readImageFile(void* buffer, uint64_t count);
// After a short read of the header: when the platform refused the read itself, reports that
// the named image cannot be opened (0x1207) and answers 1; else answers 0.
int reportFailedImageRead();
// Reads count bytes from skip bytes ahead in a plain image without moving on: the bytes
// read, short at the end of the file; -1 when the image cannot be read ahead (compressed,
// or a file that cannot seek).
int64_t readImageFileAhead(void* buffer, uint64_t count, uint64_t skip);
// Reads count bytes of a plain image into [address, address + count) and hands them to
// each(from, to) in order, in pieces of at most pieceBytes, as they arrive: the bytes handed
// over, short when the file ended or a read failed; 0 for an image that cannot be read so.
uint64_t readImageFileInPieces(uint64_t address, uint64_t count, uint64_t pieceBytes,
                               void (*each)(uint64_t from, uint64_t to));
[[noreturn]] void vmExit(uint64_t code);
void initTime();

// Engine identification.
extern const char* versionString;
extern const uint8_t vm_id0, vm_id1, vm_id2, vm_id3;
