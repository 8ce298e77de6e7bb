// Windows layer: the entries of the program (window mode, and the console entry a host or
// tessel.exe calls), oeMain's preparation of the process, the argument walk with the
// program's string table, and the Windows engine options. Owns the start-up state of
// ntMain.h. Prefix: none (winMainEntry, dllWMain, dllCMain, oeMain, windowsMain), pd.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntImage.h"
#include "platpc/ntMain.h"
#include "prim/prStartup.h"

HINSTANCE moduleInstance;
wchar_t modulePath[ntPathUnits];
wchar_t applicationName[ntPathUnits];
const wchar_t* programNameW;
int consoleMode = 1;  // a program that embeds the engine without an entry gets the console's
wchar_t heraldBitmapPath[ntPathUnits];
wchar_t heraldSoundPath[ntPathUnits];
uint8_t osMajorVersion, osMinorVersion;
int16_t osPlatformId;
RECT virtualDesktopRect;
int wideArgc;
wchar_t** wideArgv;
void (*oeMainTestFault)();

enum { maxArguments = 63 };

// ---- Entries -------------------------------------------------------------------------------

int winMainEntry(HINSTANCE instance) {
  moduleInstance = instance;
  consoleMode = 0;
  int n = 0;
  wchar_t** shellArgv = CommandLineToArgvW(GetCommandLineW(), &n);  // kept: never freed
  if (shellArgv == nullptr || n > maxArguments) return 2;
  static wchar_t* argv[maxArguments + 1];
  for (int i = 0; i < n; i++) argv[i] = shellArgv[i];
  return oeMain(n, argv);
}

int dllWMain(HINSTANCE instance) { return winMainEntry(instance); }

int dllCMain(int argc, wchar_t** argv) {
  consoleMode = 1;
  if (argc > maxArguments) return 2;
  return oeMain(argc, argv);
}

// ---- oeMain --------------------------------------------------------------------------------

static void readOSVersion() {
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;  // 276 bytes
  if (!GetVersionExW(&v)) return;
  osMajorVersion = uint8_t(v.dwMajorVersion);
  osMinorVersion = uint8_t(v.dwMinorVersion);
  osPlatformId = int16_t(v.dwPlatformId);
}

// The application's name is string 325 of the program's table, else the program's file name
// without its directory and extension.
static void initModulePaths() {
  if (moduleInstance == nullptr) moduleInstance = GetModuleHandleW(nullptr);
  DWORD n = GetModuleFileNameW(nullptr, modulePath, ntPathUnits);
  if (n == 0 || n >= ntPathUnits) wcscpy(modulePath, L"BLNTOE");
  if (LoadStringW(moduleInstance, 325, applicationName, ntPathUnits) > 0) return;
  const wchar_t* base = wcsrchr(modulePath, L'\\');
  wcsncpy(applicationName, base != nullptr ? base + 1 : modulePath, ntPathUnits - 1);
  wchar_t* dot = wcsrchr(applicationName, L'.');
  if (dot != nullptr) *dot = 0;
}

static BOOL CALLBACK addMonitorToDesktopRect(HMONITOR, HDC, LPRECT r, LPARAM) {
  RECT& d = virtualDesktopRect;
  d.left = r->left < d.left ? r->left : d.left;
  d.top = r->top < d.top ? r->top : d.top;
  d.right = r->right > d.right ? r->right : d.right;
  d.bottom = r->bottom > d.bottom ? r->bottom : d.bottom;
  return TRUE;
}

// The window system's classes: no icon, cursor or background brush; KLPX1-3 keep their
// window's record in their window bytes. KLPX4 saves the bits under it while the canvas
// layer's save-bits setting is on, as it is here.
bool initWindowClasses(HINSTANCE instance) {
  virtualDesktopRect = {0, 0, 0, 0};
  EnumDisplayMonitors(nullptr, nullptr, addMonitorToDesktopRect, 0);
  static const struct {
    const wchar_t* name;
    WNDPROC procedure;
    UINT style;
    int windowBytes;
  } classes[5] = {{L"KLPX3", popupWindowProc, 0x180B, 8}, {L"KLPX1", vmWindowProc, 0x180B, 8},
                  {L"KLPX2", vmWindowProc, 0x0B, 8}, {L"KLPX5", commandWindowProc, 0, 0},
                  {L"KLPX4", feedbackWindowProc, 0x800, 0}};
  for (const auto& k : classes) {
    WNDCLASSEXW c = {};
    c.cbSize = sizeof c;
    c.style = k.style;
    c.lpfnWndProc = k.procedure;
    c.cbWndExtra = k.windowBytes;
    c.hInstance = instance;
    c.lpszClassName = k.name;
    if (RegisterClassExW(&c) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  }
  return true;
}

LONG WINAPI oeMainExceptionFilter(EXCEPTION_POINTERS* exception) {
  reportToEventLog(0xFFFF, sizeof(EXCEPTION_RECORD), exception->ExceptionRecord);
  return EXCEPTION_CONTINUE_SEARCH;
}

// Standard streams in binary mode: the image's line ends are its own, and reports end in
// LF as on Unix.
int oeMain(int argc, wchar_t** argv) {
  readOSVersion();
  initModulePaths();
  initError();
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(oeMainExceptionFilter);
  SetMessageQueue(20);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  if (!initWindowClasses(moduleInstance)) {
    SetUnhandledExceptionFilter(previous);
    return 3;
  }
  _controlfp(_MCW_EM | _RC_NEAR, _MCW_EM | _MCW_RC);
  if (oeMainTestFault != nullptr) oeMainTestFault();
  windowsMain(argc, argv);
}

// ---- The argument walk ---------------------------------------------------------------------

// A wide text as a new string of the ANSI code page, for the portable option walk; kept for
// the life of the process (setOption keeps pointers to it).
static char* ansiCopy(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  char* copy = static_cast<char*>(malloc(size_t(n > 0 ? n : 1)));
  if (copy == nullptr) doReportError(nullptr, errCauseLimit | errFatal | errSpaceUnavailable, __FILE__, __LINE__);
  if (n <= 0 || WideCharToMultiByte(CP_ACP, 0, text, -1, copy, n, nullptr, nullptr) == 0) copy[0] = 0;
  return copy;
}

static void setProgramNames(int argc, wchar_t** argv) {
  wideArgc = argc;
  wideArgv = argv;
  program_argc = argc;
  program_argv = static_cast<char**>(calloc(size_t(argc + 1), sizeof(char*)));
  for (int i = 0; program_argv != nullptr && i < argc; i++) program_argv[i] = ansiCopy(argv[i]);
  const wchar_t* slash = argc > 0 ? wcsrchr(argv[0], L'\\') : nullptr;
  programNameW = applicationName[0] != 0 ? applicationName : slash != nullptr ? slash + 1 : argc > 0 ? argv[0] : L"tessel";
  programPath = argc > 0 && program_argv != nullptr ? program_argv[0] : nullptr;
  programName = ansiCopy(programNameW);
}

static void setHeraldPaths() {
  wcscpy(heraldBitmapPath, modulePath);
  wcscpy(heraldSoundPath, modulePath);
  wchar_t* b = wcsrchr(heraldBitmapPath, L'\\');
  wchar_t* s = wcsrchr(heraldSoundPath, L'\\');
  if (b != nullptr) wcscpy(b + 1, L"herald.bmp");
  if (s != nullptr) wcscpy(s + 1, L"herald.wav");
}

// Strings 1, 2, ... of the program's table read like a command line: an option (its first
// character the dash) and, in the next string, its value when it takes one.
static void applyStringTableOptions() {
  wchar_t text[ntPathUnits + 1], value[ntPathUnits + 1];
  for (UINT id = 1; LoadStringW(moduleInstance, id, text, ntPathUnits + 1) > 0;) {
    int hasValue = LoadStringW(moduleInstance, id + 1, value, ntPathUnits + 1) > 0;
    id += setOption(ansiCopy(text + 1), hasValue ? ansiCopy(value) : nullptr) != 0 ? 2 : 1;
  }
}

static bool isOptionText(const wchar_t* argument) { return argument[0] == L'-' || argument[0] == L'/'; }

// The command line up to the image's name: options begin with '-' or '/'.
static void walkWideArguments(int argc, wchar_t** argv) {
  for (int j = 1; j < argc && imageFilename == nullptr; j++) {
    if (!isOptionText(argv[j])) {
      setOption("=", ansiCopy(argv[j]));
      break;
    }
    const char* next = j + 1 < argc ? ansiCopy(argv[j + 1]) : nullptr;
    if (setOption(ansiCopy(argv[j] + 1), next) != 0) j++;
  }
}

// Started from an icon on the desktop, the program works in its image's directory.
static void changeDirectoryFromDesktop(const char* imagePath) {
  wchar_t current[ntPathUnits] = {}, desktop[ntPathUnits], image[ntPathUnits], full[ntPathUnits];
  if (GetCurrentDirectoryW(ntPathUnits, current) == 0) current[0] = 0;
  LPITEMIDLIST items = nullptr;
  if (SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOPDIRECTORY, &items) != S_OK) return;
  BOOL found = SHGetPathFromIDListW(items, desktop);
  CoTaskMemFree(items);
  if (!found || !ansiToWide(imagePath, image, ntPathUnits) || _wfullpath(full, image, ntPathUnits) == nullptr) return;
  wchar_t* cut = wcsrchr(full, L'\\');
  wchar_t* slash = wcsrchr(full, L'/');
  if (slash > cut) cut = slash;
  if (cut == nullptr || cut - full < 2) return;
  if (cut == full + 2 && full[1] == L':') cut++;  // keep the drive's root directory
  *cut = 0;
  if (lstrcmpiW(current, desktop) == 0) SetCurrentDirectoryW(full);
}

void windowsMain(int argc, wchar_t** argv) {
  setProgramNames(argc, argv);
  bool embedded = findImageResource() != nullptr;
  setHeraldPaths();
  applyStringTableOptions();
  if (!embedded) walkWideArguments(argc, argv);
  if (!reportVersionOnly && imageFilename == nullptr) {
    wchar_t name[ntPathUnits + 4];
    swprintf(name, ntPathUnits + 4, L"%ls.IM", applicationName);
    setOption("=", ansiCopy(name));
  }
  if (!embedded && imageFilename != nullptr) changeDirectoryFromDesktop(imageFilename);
  startSupervisor();
}

// ---- Engine options of the Windows build ---------------------------------------------------

const uint32_t pdOptionSet = optionSetWindows;

static bool restIs(const char* rest, const char* text) { return rest != nullptr && _stricmp(rest, text) == 0; }

// A path value copied into a herald path; answers whether next was there to take.
static int takePath(wchar_t* path, const char* next, uint64_t* taken) {
  if (next == nullptr) return pdOptionMissingValue;
  if (!ansiToWide(next, path, ntPathUnits)) path[0] = 0;
  *taken = 1;
  return pdOptionTaken;
}

// -console, -logo file, -nosound, -sound file (lower-case s) and -walltime (lower-case w);
// the X11 options -className, -gui and -guilib do not exist here.
int pdSetPlatformOption(const char* option, const char* rest, const char* next, uint64_t* taken) {
  *taken = 0;
  switch (option[0]) {
    case 'c': case 'C':
      if (!restIs(rest, "onsole")) return pdOptionUnknown;
      ensureDebugConsole();
      return pdOptionTaken;
    case 'g': case 'G': return pdOptionUnknown;
    case 'l': case 'L': return restIs(rest, "ogo") ? takePath(heraldBitmapPath, next, taken) : pdOptionNotMine;
    case 'n': case 'N':
      if (!restIs(rest, "osound")) return pdOptionNotMine;
      heraldSoundPath[0] = 0;
      return pdOptionTaken;
    case 's': return restIs(rest, "ound") ? takePath(heraldSoundPath, next, taken) : pdOptionUnknown;
    case 'w': return restIs(rest, "alltime") ? pdOptionTaken : pdOptionUnknown;
    default: return pdOptionNotMine;
  }
}
