// Unix layer: the machine half of System V x86-64 calls into C and of callback thunks:
// callC runs one call from a register image, loadFPRegArgs loads the SSE argument
// registers, thunkProcessHelper and thunkProcessHelperFP are the entries of every thunk.
// Layouts are those of src/plat/unx86_64CallC.h (CallRegisters, ThunkResult).

// CallRegisters byte offsets.
.set CR_INTS, 0
.set CR_SSE, 56
.set CR_SINGLES, 184
.set CR_SSECOUNT, 185
.set CR_X87, 186
.set CR_FUNCTION, 192
.set CR_STACK, 200
.set CR_STACKBYTES, 208
.set CR_RAX, 216
.set CR_RDX, 224
.set CR_XMM0, 232
.set CR_XMM1, 248
.set CR_X87VALUE, 264
.set CR_MXCSR, 280

        .text

// loadFPRegArgs(count rdi, slots rsi, single-precision bits edx): xmm0 .. xmm(count-1), each
// a 4-byte load where its bit is set, else an 8-byte one; counts above 8 load all eight.
// Answers the count; touches only rax, rdi and xmm0-7.
.macro LOADSLOT i
        cmpq $\i, %rdi
        jbe 9f
        btl $\i, %edx
        jc 1f
        movsd 16*\i(%rsi), %xmm\i       // a double or an 8-byte struct word
        jmp 2f
1:      movss 16*\i(%rsi), %xmm\i       // a float
2:
.endm
        .globl loadFPRegArgs
        .type loadFPRegArgs, @function
        .p2align 4
loadFPRegArgs:
        movq %rdi, %rax
        cmpq $8, %rdi
        jbe 3f
        movq $8, %rdi
3:      LOADSLOT 0
        LOADSLOT 1
        LOADSLOT 2
        LOADSLOT 3
        LOADSLOT 4
        LOADSLOT 5
        LOADSLOT 6
        LOADSLOT 7
9:      ret
        .size loadFPRegArgs, .-loadFPRegArgs

// callC(CallRegisters* rdi): copies the stack-argument area to the bottom of a 16-byte
// aligned stack, loads the SSE and integer argument registers (al = SSE count), calls the
// function and stores rax, rdx, xmm0, xmm1 (and st(0) for a long double result) back; the
// x87 and SSE exception flags the callee raised are cleared.
// Entry: rdi the register image. Exit: callee-saved registers restored.
        .globl callC
        .type callC, @function
        .p2align 4
callC:
        .cfi_startproc                  // a worker's call is cancelled by unwinding through here
        pushq %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq %rsp, %rbp
        .cfi_def_cfa_register %rbp
        pushq %rbx
        .cfi_offset %rbx, -24
        pushq %r12
        .cfi_offset %r12, -32
        movq %rdi, %rbx                 // the register image
        movq CR_STACKBYTES(%rbx), %rcx
        subq %rcx, %rsp
        andq $-16, %rsp                 // the area is the bottom of the stack at the call
        shrq $3, %rcx
        jz 2f
        movq CR_STACK(%rbx), %rsi
        movq %rsp, %rdi
        cld
        rep movsq                       // stack arguments in place
2:
        movzbl CR_SSECOUNT(%rbx), %edi
        leaq CR_SSE(%rbx), %rsi
        movzbl CR_SINGLES(%rbx), %edx
        call loadFPRegArgs
        movq CR_INTS+0(%rbx), %rdi
        movq CR_INTS+8(%rbx), %rsi
        movq CR_INTS+16(%rbx), %rdx
        movq CR_INTS+24(%rbx), %rcx
        movq CR_INTS+32(%rbx), %r8
        movq CR_INTS+40(%rbx), %r9
        movzbl CR_SSECOUNT(%rbx), %eax  // vector registers used, for variadic callees
        movq CR_FUNCTION(%rbx), %r11
        call *%r11
        movq %rax, CR_RAX(%rbx)
        movq %rdx, CR_RDX(%rbx)
        movdqu %xmm0, CR_XMM0(%rbx)
        movdqu %xmm1, CR_XMM1(%rbx)
        cmpb $0, CR_X87(%rbx)
        je 1f
        fstpt CR_X87VALUE(%rbx)         // a long double result leaves st(0)
1:      fnclex                          // the callee's floating-point exception flags go
        stmxcsr CR_MXCSR(%rbx)
        testl $0x3F, CR_MXCSR(%rbx)
        jz 3f
        andl $~0x3F, CR_MXCSR(%rbx)
        ldmxcsr CR_MXCSR(%rbx)
3:      leaq -16(%rbp), %rsp
        popq %r12
        popq %rbx
        popq %rbp
        .cfi_def_cfa %rsp, 8
        ret
        .cfi_endproc
        .size callC, .-callC

// The thunk's code jumps here with r10 = the thunk. Frame on the call to thunkProcess:
//   rbp+16..   the caller's stack arguments
//   rbp-48..-8 rdi rsi rdx rcx r8 r9 (integer words in register order)
//   rbp-112    ThunkResult {rax, rdx, xmm0, xmm1}
//   rbp-240    (FP entry) xmm0 .. xmm7, 16 bytes each
// thunkProcess(thunk, integer words, stack arguments, SSE slots or 0, result); the result's
// words go back in rax, rdx, xmm0 and xmm1.
.macro THUNK_ENTRY name, fp
        .globl \name
        .type \name, @function
        .p2align 4
\name:
        .cfi_startproc
        pushq %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq %rsp, %rbp
        .cfi_def_cfa_register %rbp
        subq $240, %rsp
        movq %rdi, -48(%rbp)
        movq %rsi, -40(%rbp)
        movq %rdx, -32(%rbp)
        movq %rcx, -24(%rbp)
        movq %r8, -16(%rbp)
        movq %r9, -8(%rbp)
  .if \fp
        movdqu %xmm0, -240(%rbp)
        movdqu %xmm1, -224(%rbp)
        movdqu %xmm2, -208(%rbp)
        movdqu %xmm3, -192(%rbp)
        movdqu %xmm4, -176(%rbp)
        movdqu %xmm5, -160(%rbp)
        movdqu %xmm6, -144(%rbp)
        movdqu %xmm7, -128(%rbp)
        leaq -240(%rbp), %rcx           // SSE slots
  .else
        xorl %ecx, %ecx
  .endif
        movq %r10, %rdi                 // the thunk
        leaq -48(%rbp), %rsi            // integer words
        leaq 16(%rbp), %rdx             // stack arguments
        leaq -112(%rbp), %r8            // result
        call thunkProcess
        movq -112(%rbp), %rax
        movq -104(%rbp), %rdx
        movdqu -96(%rbp), %xmm0
        movdqu -80(%rbp), %xmm1
        leave
        .cfi_def_cfa %rsp, 8
        ret
        .cfi_endproc
        .size \name, .-\name
.endm
THUNK_ENTRY thunkProcessHelper, 0
THUNK_ENTRY thunkProcessHelperFP, 1

        .section .note.GNU-stack,"",@progbits
