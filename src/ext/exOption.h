// Start-up: engine options and the usage text.
// Owns the option globals below, set once from the command line before start-up.
// Prefix: none (setOption, parseNumericOption, walkArguments, reportUsage).
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
extern char** program_argv;                  // its words; the image reads those after its name
extern char* programPath;                    // argv[0]
extern char* programName;                    // last path component of argv[0]

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
