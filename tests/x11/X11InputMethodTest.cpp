// Input methods in process against Xvfb (the locale's built-in method, XMODIFIERS=@im=none):
// the routines found by name in the link registry, a key typed with XTest queued as the
// context's conversion and fetched once with its event, and the queue emptied when the
// context goes.
#include <dlfcn.h>

#include <clocale>
#include <cstring>

#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prLinkRegistry.h"
#include "x11/x11Fixture.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

// The user-primitive functions the routines answer through, where the program has none of
// its own (weak: the program's own win).
extern "C" {
__attribute__((weak)) void UPfail(int32_t) {}
__attribute__((weak)) oop UPnil() { return nilOop(); }
__attribute__((weak)) oop UPallocArray(oop value, int64_t n) {
  oop a = newOldObject(classIndexArray, (uint64_t)n);
  for (int64_t i = 0; i < n; i++) X11::setSlot(a, (uint64_t)i, value);
  return a;
}
__attribute__((weak)) void UPbasicAtPut(oop object, int64_t index, oop value) {
  X11::setSlot(object, (uint64_t)index - 1, value);
}
__attribute__((weak)) oop UPCtoSTint(int64_t value) { return smallIntegerFor(value); }
__attribute__((weak)) oop UPallocByteArray(char byte, int64_t n) {
  oop b = newOldObject(classIndexByteArray, (uint64_t)n);
  memset(bodyOf(headerOf(b)), byte, (size_t)n);
  return b;
}
__attribute__((weak)) oop UPcopyCtoSTbytes(oop object, const void* buffer, int64_t length, int64_t start, int64_t* count) {
  int64_t room = int64_t(byteSizeOf(headerOf(object))) - (start - 1), n = length < room ? length : room;
  memcpy(reinterpret_cast<char*>(bodyOf(headerOf(object))) + start - 1, buffer, size_t(n));
  *count = n;
  return object;
}
__attribute__((weak)) oop UPcopySTtoCbytes(oop object, void* buffer, int64_t length, int64_t start, int64_t* count) {
  int64_t room = int64_t(byteSizeOf(headerOf(object))) - (start - 1), n = length < room ? length : room;
  memcpy(buffer, reinterpret_cast<const char*>(bodyOf(headerOf(object))) + start - 1, size_t(n));
  *count = n;
  return object;
}
}

template <typename F>
static F routine(const char* name) {
  return reinterpret_cast<F>(UPHandleForSymbol(name));
}

// Key events' raw XEvents (slot 9 of the queue record) until one comes for the window.
static std::vector<oop> keyEvents(X11* t, oop holder, uint64_t window) {
  std::vector<oop> raws;
  oop record = newOldObject(classIndexArray, 11);
  for (int i = 0; i < 400 && raws.empty(); i++) {
    X11::pump();
    for (;;) {
      oop raw = t->bytes(192);
      X11::setSlot(record, 9, raw);
      PrimOutcome r = callPrimitive(914, holder, {record});
      if (r.failed || r.result != trueOop()) break;
      if (slotOf(record, 0) == smallIntegerFor(1) && slotOf(record, 1) == smallIntegerFor((int64_t)window)) raws.push_back(raw);
    }
    struct timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
  return raws;
}

// The locale and input-method modifiers of the case, put back for the cases after it.
struct LocaleForCase {
  std::string saved = setlocale(LC_ALL, nullptr);
  LocaleForCase() { setenv("XMODIFIERS", "@im=none", 1); }
  ~LocaleForCase() {
    setlocale(LC_ALL, saved.c_str());
    unsetenv("XMODIFIERS");
  }
};

TEST_F(X11, X11_InputMethod_KeyTextQueuedAndFetchedOnceWithItsEvent) {
  LocaleForCase locale;
  ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
  auto setLocale = routine<const char* (*)()>("primSetLocale");
  auto initialize = routine<void (*)()>("initializeX11InputManager");
  auto openXIM = routine<XIM (*)(Display*)>("openXIM");
  auto styles = routine<oop (*)(XIM)>("getXIMStyles");
  auto createIC = routine<XIC (*)(XIM, Window, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t,
                                  int64_t, XFontSet)>("createIC");
  auto map = routine<int64_t (*)(Window, XIC)>("mapWindowXIC");
  auto retrieve = routine<oop (*)(oop)>("retrieveConversion");
  auto destroy = routine<void (*)(XIC)>("destroyXIC");
  auto closeXIM = routine<int64_t (*)(XIM)>("closeXIM");
  auto queued = reinterpret_cast<int64_t (*)()>(dlsym(dlopen(TESSEL_GUI_LIBRARY, RTLD_NOW | RTLD_NOLOAD), "x11QueuedConversions"));
  ASSERT_TRUE(setLocale && initialize && openXIM && styles && createIC && map && retrieve && destroy && closeXIM && queued);
  ASSERT_NE(setLocale(), nullptr);
  initialize();

  oop screen = openScreen();
  registerInput();
  std::vector<Event> seen;
  oop w = window(screen, 0, 0, 100, 100);
  ASSERT_FALSE(callPrimitive(944, w, {}).failed);
  ASSERT_TRUE(waitForEvent(8, drawableId(w), &seen));
  Display* d = displayOf(screen);
  XIM im = openXIM(d);
  ASSERT_NE(im, nullptr);
  oop list = styles(im);
  ASSERT_NE(list, (oop)0);
  bool nothing = false;
  for (uint64_t i = 0; i < bodyWordsOf(headerOf(list)); i++)
    nothing = nothing || slotOf(list, i) == smallIntegerFor(XIMPreeditNothing | XIMStatusNothing);
  ASSERT_TRUE(nothing) << bodyWordsOf(headerOf(list)) << " styles";
  XIC ic = createIC(im, (Window)drawableId(w), XIMPreeditNothing | XIMStatusNothing, 0, 0, 10, 10, 0, 0, 0, 0xFFFFFF, nullptr);
  ASSERT_NE(ic, nullptr);
  map((Window)drawableId(w), ic);

  XTestFakeMotionEvent(own, DefaultScreen(own), 50, 50, CurrentTime);
  XTestFakeKeyEvent(own, XKeysymToKeycode(own, XK_a), True, CurrentTime);
  XTestFakeKeyEvent(own, XKeysymToKeycode(own, XK_a), False, CurrentTime);
  XSync(own, False);
  std::vector<oop> keys = keyEvents(this, inputHolder, drawableId(w));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(queued(), 1);
  oop text = retrieve(keys[0]);
  ASSERT_TRUE(text != 0 && text != nilOop());
  EXPECT_EQ(byteSizeOf(headerOf(text)), 1u);
  EXPECT_EQ(*reinterpret_cast<const char*>(bodyOf(headerOf(text))), 'a');
  EXPECT_EQ(retrieve(keys[0]), nilOop()) << "fetched once";
  EXPECT_EQ(retrieve(bytes(100)), nilOop()) << "an object shorter than an event";

  // A conversion never asked for goes with its context.
  XTestFakeKeyEvent(own, XKeysymToKeycode(own, XK_b), True, CurrentTime);
  XTestFakeKeyEvent(own, XKeysymToKeycode(own, XK_b), False, CurrentTime);
  XSync(own, False);
  ASSERT_EQ(keyEvents(this, inputHolder, drawableId(w)).size(), 1u);
  EXPECT_EQ(queued(), 1);
  destroy(ic);
  EXPECT_EQ(queued(), 0);
  closeXIM(im);
}
