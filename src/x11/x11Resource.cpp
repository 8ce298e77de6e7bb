// X11 window system: the resource database of a display (merged from the usual files and
// the server's string), the typed resource readers and the widget colour table.
// Owns x11StringQuark. Prefix: none (loadResourceDatabase, getX11Resource, ...).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include "ext/exOption.h"
#include "x11/x11.h"

XrmQuark x11StringQuark;

// ---- The database --------------------------------------------------------------------------

static const char* homeDirectory() {
  const char* home = getenv("HOME");
  if (home != nullptr) return home;
  struct passwd* p = getpwuid(getuid());
  return p != nullptr ? p->pw_dir : nullptr;
}

// Merges the file over what db holds when it reads as a database; a path cut short is skipped.
static void mergeFile(XrmDatabase* db, int written, const char* path, size_t capacity) {
  if (written < 0 || (size_t)written >= capacity) return;
  XrmDatabase file = XrmGetFileDatabase(path);
  if (file != nullptr) XrmMergeDatabases(file, db);
}

static const char* className() { return resourceClassName != nullptr ? resourceClassName : "St80"; }

// Later sources override earlier ones: app-defaults, the user's per-class directory, the
// server's resources (else ~/.Xdefaults), then $XENVIRONMENT (else ~/.Xdefaults-host).
XrmDatabase loadResourceDatabase(Display* display) {
  XrmInitialize();
  x11StringQuark = XrmStringToQuark("String");
  if (resourceClassName == nullptr) resourceClassName = "St80";
  XrmDatabase db = XrmGetStringDatabase("");
  char path[4352];
  mergeFile(&db, snprintf(path, sizeof path, "%s/%s", "/usr/lib/X11/app-defaults", className()), path, sizeof path);
  const char* home = homeDirectory();
  const char* dir = getenv("XAPPLRESDIR");
  if (dir == nullptr) dir = home;
  if (dir != nullptr) {
    size_t n = strlen(dir);
    if (n > 0 && dir[n - 1] == '/') n--;
    mergeFile(&db, snprintf(path, sizeof path, "%.*s/%s", (int)n, dir, className()), path, sizeof path);
  }
  const char* server = XResourceManagerString(display);
  if (server != nullptr) {
    XrmDatabase s = XrmGetStringDatabase(server);
    if (s != nullptr) XrmMergeDatabases(s, &db);
  } else if (home != nullptr) {
    mergeFile(&db, snprintf(path, sizeof path, "%s/%s", home, ".Xdefaults"), path, sizeof path);
  }
  const char* environment = getenv("XENVIRONMENT");
  char host[256];
  if (environment != nullptr) {
    mergeFile(&db, snprintf(path, sizeof path, "%s", environment), path, sizeof path);
  } else if (home != nullptr && gethostname(host, sizeof host) == 0) {
    host[sizeof host - 1] = 0;
    mergeFile(&db, snprintf(path, sizeof path, "%s/%s%s", home, ".Xdefaults-", host), path, sizeof path);
  }
  return db;
}

// ---- Readers ---------------------------------------------------------------------------------

int getX11Resource(Display* display, const char* name, const char* resourceClass, XrmRepresentation* type,
                   XrmValue* value) {
  DisplayResourceNode* node = findDisplay(display);
  if (node == nullptr || node->database == nullptr) return 0;
  XrmQuark names[3] = {XrmStringToQuark(programName != nullptr ? programName : ""), XrmStringToQuark(name), NULLQUARK};
  XrmQuark classes[3] = {XrmStringToQuark(className()), XrmStringToQuark(resourceClass), NULLQUARK};
  return XrmQGetResource(node->database, names, classes, type, value);
}

static bool stringResource(Display* display, const char* name, const char* resourceClass, XrmValue* value) {
  XrmRepresentation type;
  return getX11Resource(display, name, resourceClass, &type, value) && type == x11StringQuark && value->addr != nullptr;
}

int getLongIntegerX11Resource(Display* display, const char* name, const char* resourceClass, long* out) {
  XrmValue v;
  long n;
  if (!stringResource(display, name, resourceClass, &v) || sscanf(v.addr, "%ld", &n) != 1) return 0;
  *out = n;
  return 1;
}

// Only the whole words true and false, in any case; the size counts the terminating zero.
int getBooleanX11Resource(Display* display, const char* name, const char* resourceClass, int* out) {
  XrmValue v;
  if (!stringResource(display, name, resourceClass, &v)) return 0;
  if (v.size == 5 && strncasecmp(v.addr, "true", 4) == 0) return *out = 1, 1;
  if (v.size == 6 && strncasecmp(v.addr, "false", 5) == 0) return *out = 0, 1;
  return 0;
}

// ---- Widget colours --------------------------------------------------------------------------

static const char* const widgetKinds[widgetKindCount] = {
    "widget", "button", "checkBox", "radioButton", "pushButton", "menuButton",
    "scrollerButton", "scrollbarMarkerButton", "scrollbarBody", "menu", "menuBar"};
static const char* const widgetRoles[widgetRoleCount] = {
    "foreground", "background", "selectionForeground", "selectionBackground", "inactiveForeground",
    "inactiveBackground", "inactiveSelectionForeground", "inactiveSelectionBackground", "border",
    "hiliteEdgeColor", "shadowEdgeColor", "traversalHiliteBorder", "separator"};

static int roleNamed(const char* text) {
  for (int r = 0; r < (int)widgetRoleCount; r++)
    if (strcasecmp(text, widgetRoles[r]) == 0) return r;
  return -1;
}

static bool slotIsSet(const DisplayResourceNode* node, uint32_t slot) {
  return (node->widgetColorSet[slot >> 3] >> (slot & 7)) & 1;
}

int lookupAndAllocWidgetColor(DisplayResourceNode* node, const char* colorName, uint32_t slot) {
  XColor exact, screen;
  if (!XLookupColor(node->display, node->colormap, colorName, &exact, &screen)) return 0;
  XColor* got = XAllocColor(node->display, node->colormap, &exact) ? &exact
                : XAllocColor(node->display, node->colormap, &screen) ? &screen : nullptr;
  if (got == nullptr) return 0;
  node->widgetColors[slot] = got->pixel;
  node->widgetColorSet[slot >> 3] |= uint8_t(1u << (slot & 7));
  if (node->visualInfo.c_class != TrueColor && node->visualInfo.c_class != DirectColor)
    markColorCell(node->colorCells, got->pixel);
  return 1;
}

// A kind's name and a role's, a bare role (for every kind not yet set), or borderColor.
static Bool widgetColorEntry(XrmDatabase*, XrmBindingList, XrmQuarkList quarks, XrmRepresentation* type,
                             XrmValue* value, XPointer closure) {
  DisplayResourceNode* node = (DisplayResourceNode*)closure;
  if (*type != x11StringQuark || value->addr == nullptr) return False;
  XrmQuark last = NULLQUARK;
  for (XrmQuarkList q = quarks; *q != NULLQUARK; q++) last = *q;
  const char* n = last != NULLQUARK ? XrmQuarkToString(last) : "";
  for (uint32_t kind = 0; kind < widgetKindCount; kind++) {
    size_t k = strlen(widgetKinds[kind]);
    if (strncasecmp(n, widgetKinds[kind], k) != 0) continue;
    int role = roleNamed(n + k);
    if (role < 0) continue;
    lookupAndAllocWidgetColor(node, value->addr, (uint32_t)role * widgetKindCount + kind);
    return False;
  }
  int role = roleNamed(n);
  if (role >= 0) {
    for (uint32_t kind = 0; kind < widgetKindCount; kind++)
      if (!slotIsSet(node, (uint32_t)role * widgetKindCount + kind))
        lookupAndAllocWidgetColor(node, value->addr, (uint32_t)role * widgetKindCount + kind);
  }
  if (strcasecmp(n, "borderColor") == 0) lookupAndAllocWidgetColor(node, value->addr, borderColorSlot);
  return False;
}

void initializeWidgetColors(DisplayResourceNode* node) {
  if (node->database == nullptr) return;
  XrmQuark names[2] = {XrmStringToQuark(programName != nullptr ? programName : ""), NULLQUARK};
  XrmQuark classes[2] = {XrmStringToQuark(className()), NULLQUARK};
  XrmEnumerateDatabase(node->database, names, classes, XrmEnumOneLevel, widgetColorEntry, (XPointer)node);
}
