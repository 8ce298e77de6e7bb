// Execution engine: the native/C glue for the System V convention (Linux): C arguments in
// rdi, rsi, rdx, rcx, r8, r9, then the stack. The entries, tables and protocol are
// glueBody.inc's.
#define C_ARG1 %rdi
#define C_ARG2 %rsi
#define C_ARG3 %rdx
#define C_ARG4 %rcx

// markStack(): the caller's rsp and rbp, 16 bytes below its sp, become the C level of every
// later glue call.
.macro GLUE_MARK_STACK
        .globl markStack
        .p2align 4
markStack:
        pushq %rax
        movq %rbp, CFrame(%rip)
        movq %rsp, CStack(%rip)
        popq %rax
        ret
.endm

.macro GLUE_PRIM_MANY
// Calls r15 with the receiver and n = r9 arguments in order; the seventh and later C
// arguments go on the C stack, over a zero pad word when n is even.
        PRIM_MANY_STACKED 6
3:      ARGK 5, %r9
        ARGK 4, %r8
        ARGK 3, %rcx
        ARGK 2, %rdx
        ARGK 1, %rsi
        movq %rbx, %rdi
        call *%r15
        jmp primGlueManyReturn

.endm

#include "glueBody.inc"

        .section .note.GNU-stack,"",@progbits
