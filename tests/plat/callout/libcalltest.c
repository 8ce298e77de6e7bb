/* The test library of the call-out: functions of known signatures that echo their
   arguments and set errno, struct results and arguments, callers of function pointers and
   a NULL dereference. The struct tables of every register count are generated beside it. */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "calltest.h"

unsigned char calltest_echo[1024];
size_t calltest_echo_length;

void calltest_reset(void) {
  memset(calltest_echo, 0, sizeof calltest_echo);
  calltest_echo_length = 0;
  errno = 0;
}

/* Appends an argument's bytes and makes errno depend on everything echoed so far. */
void calltest_note(const void *value, size_t size) {
  if (calltest_echo_length + size > sizeof calltest_echo) return;
  memcpy(calltest_echo + calltest_echo_length, value, size);
  calltest_echo_length += size;
  errno = (int)(calltest_echo_length * 31 + calltest_echo[calltest_echo_length - 1]);
}
#define NOTE(x) calltest_note(&(x), sizeof(x))

/* ---- Scalars: every integer kind at its width, floats beside doubles ---- */
#define SCALAR(name, type) \
  type ct_##name(type a) { NOTE(a); return a; }
SCALAR(i8, signed char)
SCALAR(u8, unsigned char)
SCALAR(i16, short)
SCALAR(u16, unsigned short)
SCALAR(i32, int)
SCALAR(u32, unsigned int)
SCALAR(i64, long)
SCALAR(u64, unsigned long)
SCALAR(f32, float)
SCALAR(f64, double)

/* Mixed widths in one call: each argument arrives in its own register. */
long ct_mixed(signed char a, unsigned char b, short c, unsigned short d, int e, unsigned int f, long g) {
  NOTE(a), NOTE(b), NOTE(c), NOTE(d), NOTE(e), NOTE(f), NOTE(g);
  return a + b + c + d + e + (long)f + g;
}

/* Ten floating arguments alternating float and double: eight in xmm0-7, two on the stack. */
double ct_floats(float a, double b, float c, double d, float e, double f, float g, double h, float i, double j) {
  NOTE(a), NOTE(b), NOTE(c), NOTE(d), NOTE(e), NOTE(f), NOTE(g), NOTE(h), NOTE(i), NOTE(j);
  return a + 2 * b + 3 * c + 4 * d + 5 * e + 6 * f + 7 * g + 8 * h + 9 * i + 10 * j;
}

/* Kind 32: -1 means failure, with errno. */
long ct_fail_with(long value, int error) {
  errno = error;
  return value;
}

/* Variadic: the callee takes the count of vector registers from al. */
int ct_format(char *buffer, size_t size, const char *format, ...) {
  va_list list;
  va_start(list, format);
  int n = vsnprintf(buffer, size, format, list);
  va_end(list);
  calltest_note(buffer, strlen(buffer));
  return n;
}

/* ---- Struct results and arguments of the run programs ---- */
CtC ct_ret_c(char a) { CtC r = {a}; return r; }
CtII ct_ret_ii(int a, int b) { CtII r = {a, b}; return r; }
CtDL ct_ret_dl(double a, long b) { CtDL r = {a, b}; return r; }
CtLD ct_ret_ld(long a, double b) { CtLD r = {a, b}; return r; }
CtFFF ct_ret_fff(float a, float b, float c) { CtFFF r = {a, b, c}; return r; }
CtDD ct_ret_dd(double a, double b) { CtDD r = {a, b}; return r; }
CtPD ct_ret_pd(void *a, double b) { CtPD r = {a, b}; return r; }
CtL3 ct_ret_l3(long a, long b, long c) { CtL3 r = {a, b, c}; return r; }

static char text[256];

/* {int, int, float} after five integer arguments: into r9 and the next SSE slot. */
const char *ct_iif5(long a, long b, long c, long d, long e, CtIIF s, double x) {
  snprintf(text, sizeof text, "%ld %ld %ld %ld %ld | %d %d %g | %g", a, b, c, d, e, s.a, s.b, s.c, x);
  return text;
}
/* After six: wholly to the stack, its float eightbyte taking no SSE slot. */
const char *ct_iif6(long a, long b, long c, long d, long e, long f, CtIIF s, double x) {
  snprintf(text, sizeof text, "%ld %ld %ld %ld %ld %ld | %d %d %g | %g", a, b, c, d, e, f, s.a, s.b, s.c, x);
  return text;
}
/* Seven integers and nine doubles: the seventh and ninth go to the stack. */
const char *ct_7i9d(long a, long b, long c, long d, long e, long f, long g, double h, double i, double j,
                    double k, double l, double m, double n, double o, double p) {
  snprintf(text, sizeof text, "%ld %ld %ld %ld %ld %ld %ld | %g %g %g %g %g %g %g %g %g", a, b, c, d, e, f, g, h, i, j,
           k, l, m, n, o, p);
  return text;
}

/* ---- Function pointers ---- */
long ct_call_long(long (*f)(long), long x) { return f(x) * 2; }
double ct_call_idf(double (*f)(int, double, float), int a, double b, float c) { return f(a, b, c); }

/* ---- Faults ---- */
int ct_null_read(void) {
  volatile int *p = 0;
  return *p;
}

/* ---- Threaded calls ---- */
#include <pthread.h>
#include <time.h>
#include <unistd.h>

/* Sleeps ms milliseconds (the rest of the time again after an interruption); answers ms. */
long ct_sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
  return ms;
}

/* One byte read from fd, blocking until it comes; -1 at the end or on an error. */
long ct_block_read(long fd) {
  unsigned char byte;
  ssize_t n;
  do n = read((int)fd, &byte, 1);
  while (n < 0 && errno == EINTR);
  return n == 1 ? byte : -1;
}

/* A thread the engine did not make calls f(arg) and is joined; answers what f answered. */
struct CtThreadCall {
  long (*f)(long);
  long arg, answer;
};
static void *ct_thread_body(void *p) {
  struct CtThreadCall *c = p;
  c->answer = c->f(c->arg);
  return 0;
}
long ct_call_on_new_thread(long (*f)(long), long arg) {
  struct CtThreadCall c = {f, arg, 0};
  pthread_t t;
  if (pthread_create(&t, 0, ct_thread_body, &c) != 0) return -2;
  pthread_join(t, 0);
  return c.answer;
}

/* A function that does nothing (the cost of a call itself). */
long ct_empty(void) { return 0; }
