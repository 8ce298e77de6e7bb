// Execution engine: the native/C glue of the Windows x64 build: the same entries, registers
// and tables as the System V glue, calling C the Windows way, and markStack/jumpToMarkedStack
// over a NativeJumpBuffer. Prefix: rt, inToNcode/backToNcode, markStack, jumpToMarkedStack.
// Native side: rbx receiver/result, r12 r13 last two arguments, r9 argument count, r15
// primitive function / send immediate / error. C side: rcx, rdx, r8, r9, then the stack
// above a 32-byte home area; rbx, rbp, rsi, rdi, r12-r15 and xmm6-xmm15 survive a C call.
// The entries, tables and protocol are glueBody.inc's.
#define C_ARG1 %rcx
#define C_ARG2 %rdx
#define C_ARG3 %r8
#define C_ARG4 %r9

// NativeJumpBuffer (16-byte aligned, 240 bytes): return address, r15, r14, r13, r12, rsi,
// rdi, rbx, MXCSR (32 bits), x87 control word (16 bits), xmm6-xmm15 from offset 80.
.set JB_RET, 0
.set JB_R15, 8
.set JB_R14, 16
.set JB_R13, 24
.set JB_R12, 32
.set JB_RSI, 40
.set JB_RDI, 48
.set JB_RBX, 56
.set JB_MXCSR, 64
.set JB_FPCW, 68
.set JB_XMM, 80

// The callee's home area is the 32 bytes above CStack, which the C frame that called
// markStack reserved for its calls.

// markStack(buffer): the caller's rsp and rbp become the C level of every later glue call;
// a non-null buffer also keeps the registers the caller expects back. Answers 0.
.macro GLUE_MARK_STACK
        .globl markStack
        .p2align 4
markStack:
        popq %r11
        movq %rbp, CFrame(%rip)
        movq %rsp, CStack(%rip)
        testq %rcx, %rcx
        jz 1f
        movq %r11, JB_RET(%rcx)
        movq %r15, JB_R15(%rcx)
        movq %r14, JB_R14(%rcx)
        movq %r13, JB_R13(%rcx)
        movq %r12, JB_R12(%rcx)
        movq %rsi, JB_RSI(%rcx)
        movq %rdi, JB_RDI(%rcx)
        movq %rbx, JB_RBX(%rcx)
        stmxcsr JB_MXCSR(%rcx)
        fnstcw JB_FPCW(%rcx)
        movups %xmm6, JB_XMM+0*16(%rcx)
        movups %xmm7, JB_XMM+1*16(%rcx)
        movups %xmm8, JB_XMM+2*16(%rcx)
        movups %xmm9, JB_XMM+3*16(%rcx)
        movups %xmm10, JB_XMM+4*16(%rcx)
        movups %xmm11, JB_XMM+5*16(%rcx)
        movups %xmm12, JB_XMM+6*16(%rcx)
        movups %xmm13, JB_XMM+7*16(%rcx)
        movups %xmm14, JB_XMM+8*16(%rcx)
        movups %xmm15, JB_XMM+9*16(%rcx)
1:      xorl %eax, %eax
        jmp *%r11

// jumpToMarkedStack(value, ignored, buffer): back on the C stack the caller set in
// CStack/CFrame, with the buffer's registers, as the matching markStack returning value.
        .globl jumpToMarkedStack
        .p2align 4
jumpToMarkedStack:
        movq CStack(%rip), %rsp
        movq CFrame(%rip), %rbp
        movups JB_XMM+9*16(%r8), %xmm15
        movups JB_XMM+8*16(%r8), %xmm14
        movups JB_XMM+7*16(%r8), %xmm13
        movups JB_XMM+6*16(%r8), %xmm12
        movups JB_XMM+5*16(%r8), %xmm11
        movups JB_XMM+4*16(%r8), %xmm10
        movups JB_XMM+3*16(%r8), %xmm9
        movups JB_XMM+2*16(%r8), %xmm8
        movups JB_XMM+1*16(%r8), %xmm7
        movups JB_XMM+0*16(%r8), %xmm6
        fldcw JB_FPCW(%r8)
        ldmxcsr JB_MXCSR(%r8)
        movq JB_R15(%r8), %r15
        movq JB_R14(%r8), %r14
        movq JB_R13(%r8), %r13
        movq JB_R12(%r8), %r12
        movq JB_RSI(%r8), %rsi
        movq JB_RDI(%r8), %rdi
        movq JB_RBX(%r8), %rbx
        movq %rcx, %rax
        jmp *JB_RET(%r8)
.endm

.macro GLUE_PRIM_MANY
// Calls r15 with the receiver and n = r9 arguments in order: receiver, arguments 1-3 in rcx,
// rdx, r8, r9; arguments 4 and up pushed last first (over a zero pad word when n is even, so
// that the call stays 16-byte aligned), then a fresh 32-byte home area.
        PRIM_MANY_STACKED 4
3:      ARGK 3, %r9
        ARGK 2, %r8
        ARGK 1, %rdx
        movq %rbx, %rcx
        subq $32, %rsp
        call *%r15
        jmp primGlueManyReturn

.endm

#include "glueBody.inc"
