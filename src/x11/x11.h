// X11 window system (the GUI library tesselgui.so): the display and window records every
// x11 file shares, the drawable handle, and the entry points between the library's files.
// Prefix: x11, pd...GUI (hooks), and the registry's own verbs (registerXDisplay, findDisplay ...).
#pragma once
#include <cstdint>

#include "ext/exError.h"
#include "mman/mmObject.h"

#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>

// ---- The registry ----------------------------------------------------------------------------

enum : uint32_t {
  windowTypeCount = 8,
  widgetKindCount = 11,
  widgetRoleCount = 13,
  widgetColorSlots = 144,  // role * 11 + kind (0..142), and 143 "borderColor"
  borderColorSlot = 143,
  extraKeyCapacity = 8,
};
enum : int64_t { unboundedSize = (int64_t(1) << 60) - 1 };

// Where windows of one type and offset kind (0 not yet mapped, 1 mapped) end up against where
// they were asked to go: the window manager's decoration.
struct WindowOffset {
  int64_t x, y;
  uint32_t initialised;  // measured (or noted as such); 0 while only tentative
};

struct MotifState {
  Atom hints, messages, info, offset;  // _MOTIF_WM_HINTS, _MOTIF_WM_MESSAGES, _MOTIF_WM_INFO, _MOTIF_WM_OFFSET
  uint32_t wmRuns;                     // a Motif window manager announced itself on the root
};

struct PostedMenu {  // one mapped pop-up menu window, most recent first
  Window window;
  PostedMenu* next;
};

struct ExtraKey {  // a keysym the server knows, beside the fixed function-key table
  KeySym keysym;
  uint32_t code;
};

struct SelectionState;
struct WindowResourceNode;

// One per open display, pushed at the head of x11Displays (most recent first); owns its
// Motif state, its posted-menu chain and its window nodes.
struct DisplayResourceNode {
  Display* display;
  Cursor cursor;               // the display-wide cursor (0 none)
  XVisualInfo visualInfo;      // of the default visual of the default screen
  Window privateWindow;        // never mapped; the selection code's
  Colormap colormap;           // in use (the default or a private copy)
  uint8_t* colorCells;         // bit per pixel the engine holds; null for TrueColor, DirectColor
  XrmDatabase database;
  SelectionState* selection;
  Atom wmDeleteWindow, wmProtocols, wmTakeFocus, winOffsets;
  int32_t heldShift, heldControl, heldMeta, heldAlt;  // key counters of event translation
  uint32_t metaMask, altMask, numLockMask;            // modifier bits of those keys
  int32_t keysymsPerKeycode;
  int32_t minKeycode;
  KeySym* keyboardMap;         // XGetKeyboardMapping's table (Num Lock's keypad search)
  int32_t extraKeyCount;
  ExtraKey extraKeys[extraKeyCapacity];
  MotifState* motif;
  PostedMenu* postedMenus;
  Window grabWindow;           // holds the pointer grab for posted menus
  uint32_t adjustWindowPositions;
  uint64_t widgetColors[widgetColorSlots];
  uint8_t widgetColorSet[widgetColorSlots / 8];
  WindowResourceNode* windows;
  WindowOffset offsets[windowTypeCount][2];
  DisplayResourceNode* next;
};

// The desired position of a window: where the image asked for it, the offset subtracted then
// and of which kind, whether the user gave it, and whether that offset had been measured.
struct DesiredPosition {
  int64_t x, y, offsetX, offsetY, kind;
  uint32_t userGiven, measured;
};

// One per top-level window the engine made, at the head of its display's list.
struct WindowResourceNode {
  Display* display;
  Window window;
  long eventMask;
  long savedEventMask, savedDontPropagate;  // while input is reduced
  uint32_t type;                            // 0..7
  Cursor cursor;
  int64_t minWidth, maxWidth, minHeight, maxHeight;
  DesiredPosition desired;
  WindowResourceNode* next;
  uint8_t mapState;                         // bit 0 mapped, bit 1 iconified
};
enum : uint8_t { mapStateMapped = 1, mapStateIconified = 2 };

extern DisplayResourceNode* x11Displays;

DisplayResourceNode* registerXDisplay(Display* display);
DisplayResourceNode* findDisplay(Display* display);
int xDisplayInRegistry(Display* display);
void xDisplaysDo(void (*function)(Display*));
WindowResourceNode* registerXWindow(Window window, Display* display);
void unregisterXWindow(Window window, Display* display);
WindowResourceNode* findXWindow(Window window, Display* display);
int xWindowInRegistry(Window window, Display* display);
void noteXWindowType(Window window, Display* display, uint32_t type);
uint32_t xWindowType(Window window, Display* display);  // 2 for a window not registered
void noteXWindowEventMask(Window window, Display* display, long mask);
long xWindowEventMask(Window window, Display* display);
void noteXWindowCursor(Window window, Display* display, Cursor cursor);
void noteUndefinedCursor(Cursor cursor, Display* display);
void setXCursor(Display* display, Cursor cursor);
void noteXWindowSizeConstraints(Window window, Display* display, const int64_t limits[4]);
void xWindowSizeConstraints(int64_t out[4], Window window, Display* display);
void setXWindowDesiredPosition(Window window, Display* display, const DesiredPosition* p);
void getXWindowDesiredPosition(Window window, Display* display, DesiredPosition* out);
void xWindowBeMapped(Window window, Display* display, uint8_t state);
uint8_t xWindowMapState(Window window, Display* display);
void xWindowsOnDisplayDo(void (*function)(Window, void*), Display* display, void* data);
void deselectXEvents();
void reselectXEvents();
void noteWindowPositionOffset(Display* display, uint32_t type, uint32_t kind, const int64_t* xy, int tentative);
void windowPositionOffset(int64_t out[2], Display* display, uint32_t type, uint32_t kind);
uint32_t windowPositionOffsetIsInitialized(Display* display, uint32_t type, uint32_t kind);
// Reads the root property of decoration offsets into 32 items; 0 when it is missing or not
// exactly 32 items of format 32 and its own type.
int readWindowOffsetsProperty(DisplayResourceNode* node, long items[32]);
void initWindowData(DisplayResourceNode* node);
void setMotifProperties(Display* display, Window window, uint32_t type);

// ---- Start-up, resources and colours -------------------------------------------------------

extern "C" int initGUI(void* functions, int count);
void initGUIPrimitives();
void initDisplayPrimitives();
void initWindowPrimitives();
Display* pdInitWindow(oop name, oop* errorSlot);
int getX11Resource(Display* display, const char* name, const char* className, XrmRepresentation* type,
                   XrmValue* value);
XrmDatabase loadResourceDatabase(Display* display);
extern XrmQuark x11StringQuark;
int getLongIntegerX11Resource(Display* display, const char* name, const char* className, long* out);
int getBooleanX11Resource(Display* display, const char* name, const char* className, int* out);
void initializeWidgetColors(DisplayResourceNode* node);
int lookupAndAllocWidgetColor(DisplayResourceNode* node, const char* colorName, uint32_t slot);
void allocateColorCells(DisplayResourceNode* node);
void initColorPalettePrimitive();  // 996
oop getUndecomposedColorPaletteEntries(Display* display, Colormap colormap, uint64_t size, const uint8_t* bitmap);
void getXinput();
void getXinputForDisplay(Display* display);
void pendXwakeup();
extern uint32_t xWakeupPending, xWakeupPosted, xDisplayTick;
// Ends every drawing and window primitive: arms the output flush unless one is armed.
inline void armXFlush() {
  if (!xWakeupPending) pendXwakeup();
}
inline void markColorCell(uint8_t* cells, unsigned long pixel) {
  if (cells != nullptr) cells[pixel >> 3] |= uint8_t(1u << (pixel & 7));
}

// ---- Events --------------------------------------------------------------------------------

extern Window activeWindow;  // where the pointer last entered (0 after a leave)
extern "C" int (*KLPXcanProcessEvent)(XEvent* event);
extern "C" int (*OEsetCanProcessEventHook(int (*filter)(XEvent*)))(XEvent*);
extern uint32_t x11AllocErrorFlag;
void pdDispatchEvent(Display* display);
void initializeEvents(Display* display);
void initX11EventPrims();
void initX11ErrorPrims();
int x11Error(Display* display, XErrorEvent* error);
int x11ErrorIO(Display* display);
int pdAllocErrorOccurred(Display* display);
void pdClearAllocErrorFlag(Display* display);
int safeSetInputFocus(Display* display, Window window, Time time);
int waitForXEvent(Display* display, Window window, int eventType, XEvent* out, int timeoutMs);
void pdStartLongCompGUI(uint64_t expectedMs);
void pdFinishLongCompGUI();
void pdBlockUntilEventGUI();
void updateMetaState(Display* display);
uint32_t translateModifiers(Display* display, unsigned int state);
oop translateKey(XKeyEvent* event, long* keysymOut, int useInputMethod);
extern const struct FKeyEntry {
  uint32_t keysym, code;
} fKeyMap[];

// ---- Canvases and drawing ------------------------------------------------------------------

// The 48-byte handle (a ByteArray) of a window or pixmap, which graphics contexts share.
struct DrawableHandle {
  uint64_t drawable;  // Window or Pixmap
  GC gc;
  Display* display;
  XVisualInfo* visual;  // inside the display's node
  uint8_t kind;       // DrawableKind
  uint8_t clipSet;    // ClipState: what clips gc
  int16_t clipX, clipY;
  uint16_t clipWidth, clipHeight;
  uint8_t unused[6];
};
static_assert(sizeof(DrawableHandle) == 48, "a drawable handle is 48 bytes");
enum DrawableKind : uint8_t { drawableWindow = 0, drawablePixmap = 1, drawableBitmap = 2 };
enum ClipState : uint8_t { clipNone = 0, clipRectangles = 1, clipMask = 2 };  // clipMask: a 995 mask
enum : uint64_t { drawableHandleBytes = 48 };

DrawableHandle* unpackDrawable(oop object);  // the handle in slot 0, or null (also once freed)
void freeLiveGCs(Display* display);          // the GCs of its drawables still held, before it closes
Display* displayOfReceiver(oop receiver);     // slot 0's first word, or null
DisplayResourceNode* nodeOfReceiver(oop receiver);
void initX11CanvasPrims();
void initX11PixelPrims();  // 1100-1105, 1111, 1120
void initX11GCPrims();
void noteIconificationState(Display* display, Window window, int iconic);
void mapNotify(Display* display, Window window);
void configureNotify(Display* display, Window window);
void unmapNotify(Display* display, Window window);
int isOverrideRedirect(Window window, Display* display);
void postMenu(DisplayResourceNode* node, Window window);
void unpostMenu(DisplayResourceNode* node, Window window);
oop copyRectArea(Display* display, Drawable source, Drawable destination, GC gc, int64_t sx, int64_t sy,
                 int64_t width, int64_t height, int64_t dx, int64_t dy, int64_t tx, int64_t ty, int sourceKind);
// The pixels of a rectangle of a drawable, most significant byte and bit first with rows
// padded to 32 bits, into a byte object from a 1-based start; 0 when it cannot.
int readDrawablePixels(Display* display, Drawable drawable, int x, int y, unsigned width,
                       unsigned height, oop bytes, uint64_t start);
extern uint64_t x11WindowCount;

// What a graphics-context object asks of the X GC, read and checked before anything is sent.
enum : uint32_t { partDrawable = 1, partClip = 2, partLine = 4, partFont = 8, partPaint = 16, partTranslation = 32 };
enum : uint32_t { filledParts = 1 | 2 | 16 | 32, outlineParts = 1 | 2 | 4 | 16 | 32, gcSlots = 14 };
struct GraphicsState {
  DrawableHandle* handle;
  XGCValues values;
  unsigned long mask;
  bool clip;
  int16_t clipX, clipY;
  uint16_t clipWidth, clipHeight;
  int64_t tx, ty;  // translation added to every coordinate
};
// The parts asked of the object, checked: 0, or the number of the first unsuitable slot
// (0 too when the object itself is no graphics context: *usable says which).
uint32_t readGraphicsState(oop gc, uint32_t parts, GraphicsState* s, bool* usable);
void applyGraphicsState(GraphicsState* s, uint32_t parts);
inline bool fits16(int64_t v) { return v >= -32768 && v <= 32767; }

// ---- Input methods, selections, the herald, images, fonts, cursors, drag loops -------------

void registerX11InputManagerRoutines();
XIC keyPressToXIC(XKeyEvent* event);
void recordConversion(XKeyEvent* event, const char* text, int count);
void pdInitSelection(Display* display);
int pdGetSelection(Display* display, int64_t number, oop* resultOut);  // 1, or 0 with the error
int pdSetSelection(Display* display, const uint8_t* bytes, uint64_t length, int64_t number);
void pdClearSelection(XSelectionClearEvent* event);
void pdRequestSelection(XSelectionRequestEvent* event);
void pdTerminateSelection();
void pdHeraldScreenGUI(const char* text);
void pdTearDownHerald();
extern Window heraldWindow;
void pdMoveMouse(Display* display, uint64_t packedPosition);
void initX11ImagePrims();
void initX11FontPrims();
void initX11AnimationPrims();
void initX11CursPrims();

// A one-bit pixmap receiver with its width and height in its next two slots; 0 when not.
int getMask(oop object, Pixmap* pixmap, int64_t* width, int64_t* height, int* flag);
// Translated points of an Array of Points as a ByteArray of XPoints (mode 1: relative).
oop buildXPoints(oop points, oop origin, uint64_t* count, int64_t tx, int64_t ty, int mode);
XImage* createImage(Display* display, oop image);  // over the image object's bits, or null
void destroyImage(XImage* image);                  // leaves the bits alone

// ---- Small helpers of the primitives -------------------------------------------------------

oop x11Fail(uint32_t code, uint64_t numArgs);
oop x11FailWith(uint32_t code, int64_t value, uint64_t numArgs);  // the entry cloned with value
bool isByteObject(oop o);
// A Point (or a kind of Point) of SmallIntegers.
bool pointArgument(oop o, int64_t* x, int64_t* y);
oop newX11Array(uint64_t slots);  // nil-filled, or 0
void x11ArrayPut(oop array, uint64_t index, oop value);
