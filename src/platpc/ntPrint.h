// Windows layer: printing on the default printer: printer records, documents and pages, raw
// printer data, and whole text or PostScript files in one call.
// Prefix: none (initPrinterPrimitives, printerCalls, printTextFile, printPostScriptFile).
#pragma once
#include <windows.h>
#include <commdlg.h>

#include <cstdint>

#include "mman/mmObject.h"

// The spooler calls printing goes through; a test may interpose its own (a metafile DC in
// place of a real printer, page calls recorded).
struct PrinterCalls {
  BOOL(WINAPI* printDialog)(PRINTDLGW* dialog);
  int(WINAPI* startDoc)(HDC dc, const DOCINFOW* info);
  int(WINAPI* startPage)(HDC dc);
  int(WINAPI* endPage)(HDC dc);
  int(WINAPI* endDoc)(HDC dc);
  int(WINAPI* extEscape)(HDC dc, int escape, int inBytes, LPCSTR in, int outBytes, LPSTR out);
  BOOL(WINAPI* deleteDC)(HDC dc);
};
extern PrinterCalls printerCalls;

// The printer record, a 48-byte ByteArray: the leading 40 bytes are a drawable's handle bytes.
struct PrinterRecord {
  uint64_t serial;  // of the DC in the handle registry
  uint64_t zero;
  uint64_t dc;
  uint32_t type;  // 1
  uint32_t kind;  // kindPrinterDrawable
  uint64_t reserved;
  uint64_t devMode;  // HGLOBAL of the printer's DEVMODE
};
static_assert(sizeof(PrinterRecord) == 48, "the printer record");

// Sets the printer DC to points (1/72 inch) over its device pixels; 1 when both extents took.
int setPrinterPointScale(HDC dc);
// A whole job on the default printer; the last GDI result (> 0 when it succeeded), and
// *error the system error of a refused call.
int printTextFile(const wchar_t* path, DWORD* error);
int printPostScriptFile(const wchar_t* path);
void initPrinterPrimitives();
