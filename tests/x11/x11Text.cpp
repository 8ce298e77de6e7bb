// Test tooling: draws a string with XDrawString in a window of its own beside the engine's
// and compares the two pixel for pixel; prints XTextWidth of the string first.
//   x11text FONT TEXT X Y ENGINE_X ENGINE_Y WIDTH HEIGHT
// The string is drawn at (X, Y) of a white WIDTH x HEIGHT window whose pixels must equal the
// screen's at (ENGINE_X, ENGINE_Y); exit status 1 on a difference or when nothing was drawn.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 9) return fprintf(stderr, "usage: x11text FONT TEXT X Y ENGINE_X ENGINE_Y WIDTH HEIGHT\n"), 2;
  const char* text = argv[2];
  int x = atoi(argv[3]), y = atoi(argv[4]), ex = atoi(argv[5]), ey = atoi(argv[6]);
  unsigned w = (unsigned)atoi(argv[7]), h = (unsigned)atoi(argv[8]);
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return fprintf(stderr, "no display\n"), 2;
  XFontStruct* font = XLoadQueryFont(d, argv[1]);
  if (font == nullptr) return fprintf(stderr, "no font %s\n", argv[1]), 2;
  printf("width %d\n", XTextWidth(font, text, (int)strlen(text)));
  int scr = DefaultScreen(d);
  XSetWindowAttributes a = {};
  a.background_pixel = WhitePixel(d, scr);
  a.override_redirect = True;
  int ox = ex + (int)w + 20, oy = ey;
  Window win = XCreateWindow(d, RootWindow(d, scr), ox, oy, w, h, 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWBackPixel | CWOverrideRedirect, &a);
  XSelectInput(d, win, ExposureMask);
  XMapRaised(d, win);
  XEvent ev;
  do XNextEvent(d, &ev);
  while (ev.type != Expose);
  GC gc = XCreateGC(d, win, 0, nullptr);
  XSetForeground(d, gc, BlackPixel(d, scr));
  XSetFont(d, gc, font->fid);
  XDrawString(d, win, gc, x, y, text, (int)strlen(text));
  XSync(d, False);
  Window root = RootWindow(d, scr);
  XImage* engine = XGetImage(d, root, ex, ey, w, h, AllPlanes, ZPixmap);
  XImage* mine = XGetImage(d, root, ox, oy, w, h, AllPlanes, ZPixmap);
  if (engine == nullptr || mine == nullptr) return fprintf(stderr, "no image\n"), 1;
  unsigned differ = 0, black = 0;
  for (unsigned j = 0; j < h; j++)
    for (unsigned i = 0; i < w; i++) {
      unsigned long p = XGetPixel(mine, (int)i, (int)j);
      differ += XGetPixel(engine, (int)i, (int)j) != p;
      black += p == BlackPixel(d, scr);
    }
  printf("%u pixels differ, %u black\n", differ, black);
  XDestroyImage(engine);
  XDestroyImage(mine);
  XFreeGC(d, gc);
  XFreeFont(d, font);
  XCloseDisplay(d);
  return differ == 0 && black > 0 ? 0 : 1;
}
