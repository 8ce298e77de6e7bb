// Start-up: the command-line walk, the engine options and their numeric syntax, usage.
// Owns the option globals of exOption.h.
// Prefix: none (setOption, parseNumericOption, walkArguments, reportUsage).
#include "ext/exOption.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/platform.h"

char* imageFilename;
uint32_t showHerald;
uint32_t loadGUIOnStartup;
char guiLibraryFilename[guiLibraryFilenameBytes];
const char* resourceClassName = "St80";
uint32_t IEEEInfNaN;
const char* desiredLoadPolicyName;
uint64_t mOptionEdenSpaceSize;
uint64_t mOptionSurvivorSpaceSize;
uint64_t mOptionLargeSpaceSize;
uint64_t mOptionStackSpaceSize;
uint64_t mOptionCompiledCodeCacheSize;
uint64_t mOptionOldSpaceHeadroom;
uint64_t mOptionFixedSpaceInitialSize;
uint64_t qrxOptions;
uint32_t reportVersionOnly;
uint32_t dumpStackOnExit;
uint32_t printHelp;
int program_argc;
char** program_argv;
char* programPath;
char* programName;

static const char optionSource[] = "src/ext/exOption.c";

// Option errors are Fatal user errors with number 7: the usage follows and the process
// ends with status 7.
static void optionError(const char* message, int line) {
  doReportError(message, errCauseUser | errFatal | errUsage, optionSource, line);
}

// A lone "-" names no option at all: it is reported as the option "-".
static void noSuchOption(char letter) {
  char message[64];
  snprintf(message, sizeof message, "No such option '%c'", letter != 0 ? letter : '-');
  optionError(message, __LINE__);
}

static void missingArgument(const char* option) {
  char message[256];
  snprintf(message, sizeof message, "Missing argument to -%.200s", option);
  optionError(message, __LINE__);
}

static int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

static void badlyFormed(const char* name, const char* description, const char* text) {
  char message[512];
  snprintf(message, sizeof message, "Option '%s' (%s) badly formed option value '%.300s'.", name,
           description, text);
  optionError(message, __LINE__);
}

// Sign, radix (0x hex, 0 octal), digits, one optional suffix (k, m, g shift by 10, 20, 30;
// s makes 1 << n), then an unsigned range test. A magnitude that does not fit 64 bits,
// before or after its suffix, is badly formed rather than wrapped into some other size.
uint64_t parseNumericOption(uint64_t min, uint64_t max, const char* name,
                            const char* description, const char* text) {
  const char* p = text;
  bool negative = false;
  if (*p == '-') negative = true, p++;
  else if (*p == '+') p++;
  if (*p == 0) badlyFormed(name, description, text);
  int radix = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    radix = 16, p += 2;
    if (*p == 0) badlyFormed(name, description, text);
  } else if (p[0] == '0') {
    radix = 8;
  }
  uint64_t value = 0;
  for (; *p; p++) {
    int d = digitValue(*p);
    if (radix == 8 && (d == 8 || d == 9)) badlyFormed(name, description, text);
    if (d >= radix) break;
    if (value > (~(uint64_t)0 - (uint64_t)d) / (uint64_t)radix) badlyFormed(name, description, text);
    value = value * (uint64_t)radix + (uint64_t)d;
  }
  if (*p) {
    int shift = 0;
    switch (*p) {
      case 'k': case 'K': shift = 10; break;
      case 'm': case 'M': shift = 20; break;
      case 'g': case 'G': shift = 30; break;
      case 's': case 'S':
        if (value >= 64) badlyFormed(name, description, text);
        value = (uint64_t)1 << value;
        break;
      default: badlyFormed(name, description, text);
    }
    if (value > (~(uint64_t)0 >> shift)) badlyFormed(name, description, text);
    value <<= shift;
    if (p[1] != 0) badlyFormed(name, description, text);
  }
  if (negative) value = (uint64_t)0 - value;
  if (value < min || value > max) {
    char message[512];
    snprintf(message, sizeof message,
             "Can't set option '%s' (%s) to %lld, should be between %lld and %lld.", name,
             description, (long long)value, (long long)min, (long long)max);
    optionError(message, __LINE__);
  }
  return value;
}

const SpaceOption spaceOptions[spaceOptionCount] = {
    {"eden space size", 40000, 0x10000000, &mOptionEdenSpaceSize},
    {"survivor space size", 10000, 0x8000000, &mOptionSurvivorSpaceSize},
    {"large space size", 0, 0x40000000, &mOptionLargeSpaceSize},
    {"stack space size", 200000, 0x2000000, &mOptionStackSpaceSize},
    {"compiled code cache size", 200000, 0x40000000, &mOptionCompiledCodeCacheSize},
    {"old space headroom", 200000, 0x40000000, &mOptionOldSpaceHeadroom},
    {"fixed space initial size", 0, 0x40000000, &mOptionFixedSpaceInitialSize},
};

// -m1 .. -m7: the value is required; the text after the digit is ignored.
static uint64_t setSpaceOption(const char* option, const char* next) {
  if (next == nullptr) missingArgument(option);
  int digit = option[1] - '1';
  if (digit < 0 || digit >= spaceOptionCount) noSuchOption(option[0]);
  const SpaceOption* s = &spaceOptions[digit];
  char name[3] = {'m', option[1], 0};
  *s->global = parseNumericOption(s->min, s->max, name, s->description, next);
  return 1;
}

// The value of an option that takes the rest of its own text, else the next argument.
static const char* restOrNext(const char* option, const char* rest, const char* next) {
  if (rest != nullptr) return rest;
  if (next == nullptr) missingArgument(option);
  return next;
}

static uint64_t setImageName(const char* rest, const char* next) {
  if (imageFilename != nullptr) optionError("Image filename already specified.", __LINE__);
  imageFilename = (char*)restOrNext("=", rest, next);
  return rest == nullptr;
}

static uint64_t setLetterOption(const char* option, const char* rest, const char* next);

uint64_t setOption(const char* option, const char* next) {
  const char* rest = option[0] != 0 && option[1] != 0 ? option + 1 : nullptr;
  if (option[0] == '=') return setImageName(rest, next);
  if (option[0] == '?') {
    printHelp = 1;
    reportUsage();
    vmExit(0);
  }
  return setLetterOption(option, rest, next);
}

// Dispatch on the first letter, case-insensitive; the rest compared without case. The
// platform's own options come first.
static uint64_t setLetterOption(const char* option, const char* rest, const char* next) {
  uint64_t taken = 0;
  switch (pdSetPlatformOption(option, rest, next, &taken)) {
    case pdOptionTaken: return taken;
    case pdOptionUnknown: noSuchOption(option[0]); return 0;
    case pdOptionMissingValue: missingArgument(option); return 0;
    default: break;
  }
  switch (option[0]) {
    case 'c': case 'C':
      if (rest == nullptr || strcasecmp(rest, "lassName") != 0) break;
      if (next == nullptr) missingArgument(option);
      resourceClassName = next;
      return 1;
    case 'g': case 'G':
      if (rest != nullptr && strcasecmp(rest, "ui") == 0) {
        showHerald = 1, loadGUIOnStartup = 1;
        return 0;
      }
      if (rest == nullptr || strcasecmp(rest, "uilib") != 0) break;
      if (next == nullptr) missingArgument(option);
      snprintf(guiLibraryFilename, sizeof guiLibraryFilename, "%s", next);
      showHerald = 1, loadGUIOnStartup = 1;
      return 1;
    case 'i': case 'I':
      if (rest == nullptr || strcasecmp(rest, "eeefp") != 0) break;
      IEEEInfNaN = 1;
      return 0;
    case 'l': case 'L':
      desiredLoadPolicyName = restOrNext(option, rest, next);
      return rest == nullptr;
    case 'm': case 'M':
      if (next == nullptr) missingArgument(option);
      if (rest == nullptr) break;
      return setSpaceOption(option, next);
    case 'n': case 'N':
      if (rest == nullptr || strcasecmp(rest, "oherald") != 0) break;
      showHerald = 0;
      return 0;
    case 'o': case 'O':
      qrxOptions |= parseNumericOption(0, ~(uint64_t)0, "o", "options", restOrNext(option, rest, next));
      return rest == nullptr;
    case 'v': case 'V':
      reportVersionOnly = 1;
      return 0;
    case 'x': case 'X':
      if (rest != nullptr && (rest[0] == 'q' || rest[0] == 'Q')) {
        dumpStackOnExit = 1;
        return 0;
      }
      printHelp = 1;
      reportUsage();
      vmExit(0);
    default:
      break;
  }
  noSuchOption(option[0]);
  return 0;
}

void walkArguments(int argc, char** argv) {
  for (int i = 1; i < argc && imageFilename == nullptr; i++) {
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (argv[i][0] == '-') {
      if (setOption(argv[i] + 1, next)) i++;
    } else {
      setOption("=", argv[i]);
    }
  }
}

// The long help. Lines marked for one option set are that platform's: the X11 and GUI
// library options on Unix, the console and herald options on Windows.
static const struct {
  uint32_t sets;
  const char* text;
} longHelp[] = {
    {optionSetsAll, ""},
    {optionSetsAll, "Virtual Machine Options:"},
    {optionSetsAll, ""},
    {optionSetWindows, "-console\topen a console for stdout/stderr"},
    {optionSetUnix, "-className cn\tuse cn as the class name for X11 resource database searches."},
    {optionSetUnix, "-gui   \tload default gui subsystem shared library on startup"},
    {optionSetUnix, "-guilib guilib.so\tload specified gui subsystem shared library on startup"},
    {optionSetsAll, "-ieeefp \tfloat primitives answer Inf and NaNs"},
    {optionSetsAll, "-l policy\toverrides image load policy"},
    {optionSetsAll, "\t\tpromote to load all objects into permspace"},
    {optionSetsAll, "\t\tdemote to load all objects into oldspace"},
    {optionSetsAll, "\t\tnormal to load objects into their current spaces"},
    {optionSetWindows, "-logo file.bmp\toverrides splash screen bitmap herald.bmp"},
    {optionSetsAll, "-m1 bytes \tset the eden space size to bytes"},
    {optionSetsAll, "-m2 bytes \tset the survivor space size to bytes"},
    {optionSetsAll, "-m3 bytes \tset the large space size to bytes"},
    {optionSetsAll, "-m4 bytes \tset the stack space size to bytes"},
    {optionSetsAll, "-m5 bytes \tset the compiled code cache size to bytes"},
    {optionSetsAll, "-m6 bytes \tset the old space headroom to bytes"},
    {optionSetsAll, "-m7 bytes \tset the fixed space initial size to bytes"},
    {optionSetsAll, "-noherald\tsuppress printing of herald string and display of splash screen"},
    {optionSetWindows, "-nosound\tsuppress playing of herald sound"},
    {optionSetWindows, "-sound file.wav\toverrides herald sound herald.wav"},
    {optionSetsAll, "-v\t\tdisplay engine and image version information"},
    {optionSetWindows, "-walltime\tdeprecated, ignored option retained for backwards-compatibility"},
    {optionSetsAll, "-xq\t\tgenerate stack dump in stack.txt on exit"},
    {optionSetsAll, "-?\t\tdisplay this help"},
    {optionSetsAll, "-= imagefile\tsupply image name, ending options parsed by engine"},
    {optionSetsAll, "\t\toptions after -= imagefile are then available to the image"},
    {optionSetsAll, ""},
    {optionSetsAll, "Numeric option syntax:"},
    {optionSetsAll, "\tPrefix with + or - to add or subtract"},
    {optionSetsAll, "\tPrefix with 0 for octal or 0x for hexadecimal"},
    {optionSetsAll, "\tSuffix with k for kilobytes, m for megabytes or g for gigabytes"},
    {optionSetsAll, "\tSuffix with s for shift, e.g. 8s is 256 (1 bitShift: 8)"},
    {optionSetsAll, ""},
};

// The usage, and the long help with printHelp, composed in one buffer; a program name
// too long for it is cut.
void reportUsage() {
  static const char* const optionLists[2] = {
      "-className -gui -guilib guilib.so -ieeefp -l policy -m1 bytes -m2 bytes -m3 bytes -m4 bytes "
      "-m5 bytes -m6 bytes -m7 bytes -noherald -v -xq -?",
      "-console -ieeefp -l policy -logo file.bmp -m1 bytes -m2 bytes -m3 bytes -m4 bytes -m5 bytes "
      "-m6 bytes -m7 bytes -nosound -noherald -sound file.wav -v -walltime -xq -?",
  };
  char text[4096];
  const char* name = programName != nullptr ? programName : "tessel";
  int used = snprintf(text, sizeof text,
                      "usage: %.600s %s imagefile.im\n\nusage: %.600s [engine options] -=imagefile.im "
                      "[image options]\n",
                      name, optionLists[pdOptionSet == optionSetWindows], name);
  if (printHelp) {
    for (const auto& line : longHelp) {
      if (!(line.sets & pdOptionSet)) continue;
      if (used >= (int)sizeof text - 1) break;
      used += snprintf(text + used, sizeof text - (size_t)used, "%s\n", line.text);
    }
  }
  pdPrint(0, 1, text);
}
