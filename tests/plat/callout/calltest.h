/* The test library of the call-out: struct types and the functions the run programs and
   the call-out tests call. Plain C. */
#ifndef CALLTEST_H
#define CALLTEST_H
#include <stddef.h>
#include <stdint.h>

/* One type of each struct class of the System V convention. */
typedef struct { char a; } CtC;                 /* INTEGER */
typedef struct { char a, b, c; } CtC3;          /* INTEGER, 3 bytes */
typedef struct { int a, b; } CtII;              /* INTEGER */
typedef struct { long a, b; } CtLL;             /* INTEGER INTEGER */
typedef struct { float a; } CtF;                /* SSE single */
typedef struct { float a, b; } CtFF;            /* SSE */
typedef struct { double a; long b; } CtDL;      /* SSE INTEGER */
typedef struct { long a; double b; } CtLD;      /* INTEGER SSE */
typedef struct { float a, b, c; } CtFFF;        /* SSE SSE-single */
typedef struct { double a, b; } CtDD;           /* SSE SSE */
typedef struct { void *a; double b; } CtPD;     /* INTEGER SSE */
typedef struct { int a, b; float c; } CtIIF;    /* INTEGER SSE-single */
typedef struct { long a, b, c; } CtL3;          /* MEMORY */

/* Every argument a function receives is appended here, byte for byte at its size. */
extern unsigned char calltest_echo[1024];
extern size_t calltest_echo_length;
void calltest_reset(void);

/* Threaded calls. */
long ct_sleep_ms(long ms);
long ct_block_read(long fd);
long ct_call_on_new_thread(long (*f)(long), long arg);
long ct_empty(void);
#endif
