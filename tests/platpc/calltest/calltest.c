/* The Windows call-out's test library, C half: struct arguments by value and by reference,
   struct results in rax and through the hidden buffer, float and double results, the
   system's last error and errno, a kind-31 value, and a caller of a function pointer. */
#include <errno.h>
#include <stdint.h>
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
EXPORT S8 ct_make8(int32_t a, int32_t b) { S8 s = {a, b}; return s; }
EXPORT S16 ct_make16(int64_t a, int64_t b) { S16 s = {a, b}; return s; }
EXPORT float ct_half(float f) { return f / 2; }
EXPORT double ct_scale(double d, int32_t n) { return d * n; }
EXPORT void* ct_last_error(DWORD code) { SetLastError(code); return NULL; }
EXPORT int32_t ct_errno(int32_t e) { errno = e; return -1; }
EXPORT int32_t ct_int(int32_t v) { return v; }
EXPORT int64_t ct_apply(int64_t (*f)(int64_t, int64_t), int64_t a, int64_t b) { return f(a, b); }
