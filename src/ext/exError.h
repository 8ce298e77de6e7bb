// Error reporting: doReportError and the error-report codes.
// Owns qrxErrorStatus (the last code reported, the exit status of a failed start).
// Prefix: none (doReportError, initError, errorTextFor); REPORT_ERROR passes file and line,
// SOURCE_NAME the file as reports name it.
#pragma once
#include <cstdint>

// ErrorReportCode, a 32-bit word handed by value:
//
//   bit  17      16     15..12        10..8        7..0
//      +--------+-----+-----------+------------+---------+
//      |contact | pl. |   cause   |  severity  | number  |
//      +--------+-----+-----------+------------+---------+
//   severity: 0x400 fatal (the report ends the process), 0x200 error, 0x100 note
//   cause:    0x1000 the user, 0x2000 the platform, 0x4000 a VM bug, 0x8000 a limit
//   number:   selects the canned text (0..8; above 8 "Unknown error.")
//
// The numbers and their texts, in one list.
#define ERROR_NUMBERS(X)                                                                  \
  X(errNone, "No error.")                                                                 \
  X(errImageUnreadable, "Unable to read the image file. File may be truncated.")          \
  X(errImageUnloadable, "Can't load image.")                                              \
  X(errImageIncompatible, "Your image file is not compatible with the virtual machine.") \
  X(errNoHeap, "Insufficient memory to allocate heap.")                                   \
  X(errOutOfMemory, "Out of memory.")                                                     \
  X(errSpaceUnavailable, "Space could not be allocated.")                                 \
  X(errUsage, "") /* the usage follows the report */                                      \
  X(errRtOverflow, "Remembered table overflow.")
#define ERROR_NUMBER_ENUM(name, text) name,
enum : uint32_t {
  ERROR_NUMBERS(ERROR_NUMBER_ENUM) errorNumberCount,
  errNumberMask = 0xFF,
  errNote = 0x100,
  errError = 0x200,
  errFatal = 0x400,
  errCauseUser = 0x1000,
  errCausePlatform = 0x2000,
  errCauseVMBug = 0x4000,
  errCauseLimit = 0x8000,
  errCauseMask = 0xF000,
  errPlatformLayer = 0x10000,  // carried by platform codes; changes nothing printed
  errContact = 0x20000,        // adds the contact line
};
#undef ERROR_NUMBER_ENUM

enum { reportBufferBytes = 2000 };  // the composed report is cut at this size

// Primitive failure codes: indices into the image's PrimErrorTable (registry slot 31).
// A failing primitive answers failPrimitive(table[code], argumentCount); codes 1 and 11
// usually answer a copy of the entry that carries a value (cloneErrorWith).
enum PrimFailureCode : uint32_t {
  primErrGeneral = 0,          // general or numeric failure
  primErrNoSpace = 1,          // object memory could not allocate
  primErrMalloc = 2,           // the C heap could not allocate
  primErrBadArgument = 3,
  primErrBadReceiver = 4,      // also an unusable descriptor or channel
  primErrWrongClass = 5,       // or an immediate where an object is needed
  primErrIndex = 6,            // index out of range
  primErrArgumentCount = 7,
  primErrEngine = 8,           // snapshot and perform failures of the execution engine
  primErrPlatform = 9,         // the platform operation failed (cloned with its error)
  primErrNotFound = 10,        // the named thing does not exist
  primErrThreadedCall = 11,    // threaded-call status (cloned with it)
  primErrNotHere = 12,         // the operation cannot be carried out here
  primErrCCall = 13,
  primErrGUIInit = 19,         // the GUI library's initialisation refused
  primErrHostLookup = 22,
  primErrImmutable = 23,
  primErrNotInitialized = 24,
  primErrClassTableFull = 26,
  primErrDefaultTableSize = 37,  // entries of the table installed for an image without one
  primErrMinimumTableSize = 27,  // an image's own table is kept from this size up
};

extern uint64_t qrxErrorStatus;  // code of the latest report
extern uint32_t bannerPending;   // 1 until the first report has used the banner

void initError();
const char* errorTextFor(uint32_t number);
// Reports message (or null) with code; file and line name the reporting site (file may
// be null). Does not return for a Fatal code.
int doReportError(const char* message, uint32_t code, const char* file, int line);

#define REPORT_ERROR(message, code) doReportError((message), (code), __FILE__, __LINE__)

// The reporting source file as reports name it, "src/dir/file": from its last "src/" on (the
// build already passes __FILE__ so), without the extension. Made when compiling.
template <unsigned N>
struct SourceName {
  char text[N] = {};
  constexpr explicit SourceName(const char (&path)[N]) {
    unsigned start = 0, end = N - 1;
    for (unsigned i = 0; i + 4 <= N - 1; i++)
      if (path[i] == 's' && path[i + 1] == 'r' && path[i + 2] == 'c' && path[i + 3] == '/' &&
          (i == 0 || path[i - 1] == '/'))
        start = i;
    for (unsigned i = start; i < N - 1; i++) {
      if (path[i] == '/') end = N - 1;
      if (path[i] == '.') end = i;
    }
    for (unsigned i = start; i < end; i++) text[i - start] = path[i];
  }
};
// The text lives in the template parameter object: static, made when compiling.
template <SourceName name>
constexpr const char* sourceNameText() {
  return name.text;
}
#define SOURCE_NAME (sourceNameText<SourceName<sizeof(__FILE__)>(__FILE__)>())

// The banner of the first report, also the herald start-up shows: the image's herald, or the
// engine's version while there is none.
const char* heraldOrVersion();
// Hook: the herald text read from the image's header ("" until one is read). Defined by object
// memory's image header (src/mman/mmImageHeader.cpp).
extern const char* const imageHeraldText;

// Fatal reports of object memory and the execution engine.
[[noreturn]] void reportAllocFailure(const char* what, const char* file, int line);
[[noreturn]] void doPanic(const char* file, int line);
#define PANIC() doPanic(__FILE__, __LINE__)

// Checks of the invariants the headers state, on in every build: a broken one ends the
// process with a fatal report that names the invariant, the file and the line. Cheap
// tests only, at the places where the invariant can break.
[[noreturn]] void tsAssertFailed(const char* invariant, const char* file, int line);
#define tsAssert(condition, invariant) \
  (__builtin_expect(!!(condition), 1) ? (void)0 : tsAssertFailed((invariant), __FILE__, __LINE__))
