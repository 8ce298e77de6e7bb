/* The Windows call-out's test library, C half: struct arguments by value and by reference,
   struct results in rax and through the hidden buffer, float and double results, the
   system's last error and errno, a kind-31 value, and a caller of a function pointer; for
   threaded calls a sleep, a blocking pipe read and a call made on a new thread; for the call
   benchmark the same calls timed from C. */
#include <winsock2.h>
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <windows.h>

#define EXPORT __declspec(dllexport)

typedef struct { int32_t a; } S4;
typedef struct { int32_t a, b; } S8;
typedef struct { int32_t a, b, c; } S12;
typedef struct { int64_t a, b; } S16;
typedef struct { int64_t a, b, c; } S24;

/* Each answers a sum of its fields and then changes its own copy. */
EXPORT int64_t ct_s4(S4 s) { int64_t r = s.a; s.a = -1; return r; }
EXPORT int64_t ct_s8(S8 s) { int64_t r = s.a * 1000 + s.b; s.a = -1; return r; }
EXPORT int64_t ct_s12(S12 s) { int64_t r = (s.a * 1000 + s.b) * 1000 + s.c; s.a = s.b = s.c = -1; return r; }
EXPORT int64_t ct_s24(int32_t x, S24 s) { int64_t r = x + s.a + s.b * 10 + s.c * 100; s.a = s.b = s.c = -1; return r; }
typedef struct { int64_t v[8]; } S64;
EXPORT int64_t ct_s64(int64_t x, S64 s) { int64_t r = x, i; for (i = 0; i < 8; i++) r += s.v[i] << i; return r; }
EXPORT S8 ct_make8(int32_t a, int32_t b) { S8 s = {a, b}; return s; }
EXPORT S16 ct_make16(int64_t a, int64_t b) { S16 s = {a, b}; return s; }
EXPORT float ct_half(float f) { return f / 2; }
EXPORT double ct_scale(double d, int32_t n) { return d * n; }
EXPORT void* ct_last_error(DWORD code) { SetLastError(code); return NULL; }
EXPORT int32_t ct_errno(int32_t e) { errno = e; return -1; }
EXPORT int32_t ct_int(int32_t v) { return v; }
EXPORT int64_t ct_apply(int64_t (*f)(int64_t, int64_t), int64_t a, int64_t b) { return f(a, b); }

/* For threaded calls: a sleep, a blocking read of one byte from a pipe (the byte, or -1),
   and a call of f(x) made on a new thread (its answer, or -1 when no thread starts). */
EXPORT int64_t ct_sleep_ms(int64_t ms) { Sleep((DWORD)ms); return ms; }
EXPORT int64_t ct_block_read(int64_t handle) {
  unsigned char byte;
  DWORD got = 0;
  if (!ReadFile((HANDLE)(intptr_t)handle, &byte, 1, &got, NULL) || got != 1) return -1;
  return byte;
}
typedef struct { int64_t (*f)(int64_t); int64_t x, answer; } CtOnThread;
static DWORD WINAPI ct_thread_call(void* p) {
  CtOnThread* c = (CtOnThread*)p;
  c->answer = c->f(c->x);
  return 0;
}
EXPORT int64_t ct_call_on_new_thread(int64_t (*f)(int64_t), int64_t x) {
  CtOnThread c = {f, x, -1};
  HANDLE thread = CreateThread(NULL, 0, ct_thread_call, &c, 0, NULL);
  if (thread == NULL) return -1;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return c.answer;
}

/* For the call benchmark: a 4-argument function, a loop calling a function pointer n times
   (a thunk, or ct_add), and the microseconds n calls of ct_sum4 or of ct_add take from C. */
EXPORT int64_t ct_sum4(int64_t a, int64_t b, int64_t c, int64_t d) { return a + b + c + d; }
EXPORT int64_t ct_add(int64_t a, int64_t b) { return a + b; }
EXPORT int64_t ct_call_n(int64_t (*f)(int64_t, int64_t), int64_t n) {
  int64_t sum = 0;
  for (int64_t i = 0; i < n; i++) sum += f(i, 1);
  return sum;
}
static int64_t ct_micros(void) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return (int64_t)(now.QuadPart * 1000000.0 / frequency.QuadPart);
}
EXPORT int64_t ct_time_sum4(int64_t n) {
  int64_t (*volatile f)(int64_t, int64_t, int64_t, int64_t) = ct_sum4;
  int64_t start = ct_micros(), sum = 0;
  for (int64_t i = 0; i < n; i++) sum += f(i, 2, 3, 4);
  return sum == 0 ? -1 : ct_micros() - start;
}
EXPORT int64_t ct_time_add(int64_t n) {
  int64_t (*volatile f)(int64_t, int64_t) = ct_add;
  int64_t start = ct_micros();
  int64_t sum = ct_call_n(f, n);
  return sum == 0 && n > 1 ? -1 : ct_micros() - start;
}

/* The microseconds 1 MB takes through a connected loopback TCP pair, 4 KB written and then
   read back at a time (-1 when the pair cannot be made). */
EXPORT int64_t ct_time_loopback(void) {
  WSADATA wsa;
  struct sockaddr_in a;
  int length = sizeof a;
  SOCKET listener, client, peer;
  static char piece[4096], back[4096];
  int64_t start, i;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return -1;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  listener = socket(AF_INET, SOCK_STREAM, 0);
  client = socket(AF_INET, SOCK_STREAM, 0);
  if (bind(listener, (struct sockaddr*)&a, sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, (struct sockaddr*)&a, &length) != 0 || connect(client, (struct sockaddr*)&a, sizeof a) != 0)
    return -1;
  peer = accept(listener, NULL, NULL);
  start = ct_micros();
  for (i = 0; i < 256; i++) {
    int got = 0, n;
    if (send(client, piece, sizeof piece, 0) != (int)sizeof piece) return -1;
    while (got < (int)sizeof back) {
      if ((n = recv(peer, back + got, sizeof back - got, 0)) <= 0) return -1;
      got += n;
    }
  }
  start = ct_micros() - start;
  closesocket(peer);
  closesocket(client);
  closesocket(listener);
  return start;
}
