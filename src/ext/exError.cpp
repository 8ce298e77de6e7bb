// Error reporting: composes every engine report and ends the process on a Fatal code.
// Owns qrxErrorStatus, bannerPending and the text tables filled by initError.
// Prefix: none (doReportError, initError, errorTextFor, reportAllocFailure, doPanic, tsAssertFailed).
#include "ext/exError.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"

uint64_t qrxErrorStatus = 0;
uint32_t bannerPending = 1;

enum { errorTextCount = errorNumberCount };
static const char* errorTexts[errorTextCount];
static const char* severityWords[3];
static const char* causeWords[4];

// Called by the platform entry before any option is parsed.
void initError() {
#define ERROR_NUMBER_TEXT(name, text) text,
  static const char* const texts[errorTextCount] = {ERROR_NUMBERS(ERROR_NUMBER_TEXT)};
#undef ERROR_NUMBER_TEXT
  for (int i = 0; i < errorTextCount; i++) errorTexts[i] = texts[i];
  severityWords[0] = "Note";
  severityWords[1] = "Error";
  severityWords[2] = "Fatal error";
  causeWords[0] = "the user";
  causeWords[1] = "the platform";
  causeWords[2] = "a virtual machine bug";
  causeWords[3] = "an arbitrary limit";
}

const char* errorTextFor(uint32_t number) {
  if (number >= errorTextCount || errorTexts[number] == nullptr) return "Unknown error.";
  return errorTexts[number];
}

// A bounded text buffer: appends are cut at the buffer's end, never overflow it.
struct ReportText {
  char text[reportBufferBytes];
  size_t used;
};

static void append(ReportText* r, const char* format, ...) {
  if (r->used >= sizeof r->text - 1) return;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(r->text + r->used, sizeof r->text - r->used, format, args);
  va_end(args);
  if (n < 0) return;
  r->used += (size_t)n;
  if (r->used > sizeof r->text - 1) r->used = sizeof r->text - 1;
}

static const char* severityWord(uint32_t code) {
  if (code & errFatal) return severityWords[2];
  if (code & errError) return severityWords[1];
  return severityWords[0];
}

// The cause word when exactly one cause bit is set, else null.
static const char* causeWord(uint32_t code) {
  switch (code & errCauseMask) {
    case errCauseUser: return causeWords[0];
    case errCausePlatform: return causeWords[1];
    case errCauseVMBug: return causeWords[2];
    case errCauseLimit: return causeWords[3];
    default: return nullptr;
  }
}

const char* heraldOrVersion() { return imageHeraldText[0] != 0 ? imageHeraldText : versionString; }

// Reports through the platform's printing. The first report of the process carries the
// banner, even one that is then suppressed; a Note is printed only when its cause is
// exactly the platform or a VM bug. Fatal codes end the process through vmExit.
int doReportError(const char* message, uint32_t code, const char* file, int line) {
  ReportText r;
  memset(&r, 0, sizeof r);
  qrxErrorStatus = code;
  if (bannerPending) {
    append(&r, "%s\n", heraldOrVersion());
    bannerPending = 0;
  }
  uint32_t cause = code & errCauseMask;
  bool isNote = (code & (errFatal | errError)) == 0;
  if (isNote && cause != errCausePlatform && cause != errCauseVMBug) return 0;
  if (!(code & errCauseUser) && file != nullptr && line != 0) append(&r, "%s:%d\n", file, line);
  append(&r, "%s", severityWord(code));
  if (message != nullptr) append(&r, ": %s\n", message);
  else append(&r, ".\n");
  uint32_t number = code & errNumberMask;
  if (number != 0) append(&r, "%s", errorTextFor(number));
  pdPrint(0, 1, r.text);
  if (number == 7) reportUsage();
  if (cause == errCausePlatform || cause == errCauseVMBug) append(&r, " Caused by %s.\n", causeWord(code));
  if (code & errContact) append(&r, "Please contact your distributor.\n");
  pdPrint(1, 0, r.text);
  if (code & errFatal) vmExit(qrxErrorStatus);
  return 0;
}

void reportAllocFailure(const char* what, const char* file, int line) {
  char message[256];
  snprintf(message, sizeof message, "Allocation failure %s", what);
  doReportError(message, errFatal | errCauseLimit, file, line);
  pdExit(qrxErrorStatus);  // not reached: the report is Fatal
}

void tsAssertFailed(const char* invariant, const char* file, int line) {
  char message[256];
  snprintf(message, sizeof message, "invariant \"%s\" broken", invariant);
  doReportError(message, errFatal | errCauseVMBug, file, line);
  pdExit(qrxErrorStatus);
}

void doPanic(const char* file, int line) {
  char message[256];
  snprintf(message, sizeof message, "in file %s, line %d", file, line);
  doReportError(message, errFatal | errCauseVMBug, file, line);
  pdExit(qrxErrorStatus);
}
