// Hand-built Windows x64 callers of the glue for WinGlueTest.cpp: markStack then
// jumpToMarkedStack with the callee-saved state changed in between, and a native method
// prologue's call of a many-argument primitive.

        .text

// Saves what the Windows x64 convention makes callee-saved, xmm6-xmm15 included: 8 pushes,
// then 200 bytes (32 home, 160 xmm, MXCSR and x87 control word at 192/196), so that rsp is
// 16-byte aligned in the body.
.macro ENTER_SAVED
        pushq %rbp
        pushq %rbx
        pushq %rsi
        pushq %rdi
        pushq %r12
        pushq %r13
        pushq %r14
        pushq %r15
        subq $200, %rsp
        movups %xmm6, 32(%rsp)
        movups %xmm7, 48(%rsp)
        movups %xmm8, 64(%rsp)
        movups %xmm9, 80(%rsp)
        movups %xmm10, 96(%rsp)
        movups %xmm11, 112(%rsp)
        movups %xmm12, 128(%rsp)
        movups %xmm13, 144(%rsp)
        movups %xmm14, 160(%rsp)
        movups %xmm15, 176(%rsp)
        stmxcsr 192(%rsp)
        fnstcw 196(%rsp)
.endm

.macro LEAVE_SAVED
        ldmxcsr 192(%rsp)
        fldcw 196(%rsp)
        movups 32(%rsp), %xmm6
        movups 48(%rsp), %xmm7
        movups 64(%rsp), %xmm8
        movups 80(%rsp), %xmm9
        movups 96(%rsp), %xmm10
        movups 112(%rsp), %xmm11
        movups 128(%rsp), %xmm12
        movups 144(%rsp), %xmm13
        movups 160(%rsp), %xmm14
        movups 176(%rsp), %xmm15
        addq $200, %rsp
        popq %r15
        popq %r14
        popq %r13
        popq %r12
        popq %rdi
        popq %rsi
        popq %rbx
        popq %rbp
        ret
.endm

// winMarkAndJump(buffer, out): loads xmm6-15 from winXmmPattern, MXCSR, x87 control word,
// rsi and rdi from their patterns, calls markStack(buffer); on its first return wipes them
// all and calls jumpToMarkedStack(7, 0, buffer). On the second return writes to out: rax,
// rsi, rdi, MXCSR (32 bits at 24), x87 control word (16 bits at 28), xmm6-15 from 32.
        .globl winMarkAndJump
        .p2align 4
winMarkAndJump:
        ENTER_SAVED
        movq %rcx, winJumpBuffer(%rip)
        movq %rdx, winJumpOut(%rip)
        leaq winXmmPattern(%rip), %rax
        movups 0(%rax), %xmm6
        movups 16(%rax), %xmm7
        movups 32(%rax), %xmm8
        movups 48(%rax), %xmm9
        movups 64(%rax), %xmm10
        movups 80(%rax), %xmm11
        movups 96(%rax), %xmm12
        movups 112(%rax), %xmm13
        movups 128(%rax), %xmm14
        movups 144(%rax), %xmm15
        ldmxcsr winMxcsrPattern(%rip)
        fldcw winFpcwPattern(%rip)
        movq winRsiPattern(%rip), %rsi
        movq winRdiPattern(%rip), %rdi
        call markStack
        testq %rax, %rax
        jnz 1f
        pxor %xmm6, %xmm6
        pxor %xmm7, %xmm7
        pxor %xmm8, %xmm8
        pxor %xmm9, %xmm9
        pxor %xmm10, %xmm10
        pxor %xmm11, %xmm11
        pxor %xmm12, %xmm12
        pxor %xmm13, %xmm13
        pxor %xmm14, %xmm14
        pxor %xmm15, %xmm15
        ldmxcsr winMxcsrDefault(%rip)
        fninit
        xorl %esi, %esi
        xorl %edi, %edi
        movq $7, %rcx
        xorl %edx, %edx
        movq winJumpBuffer(%rip), %r8
        call jumpToMarkedStack
        ud2
1:      movq winJumpOut(%rip), %rcx
        movq %rax, 0(%rcx)
        movq %rsi, 8(%rcx)
        movq %rdi, 16(%rcx)
        stmxcsr 24(%rcx)
        fnstcw 28(%rcx)
        movups %xmm6, 32(%rcx)
        movups %xmm7, 48(%rcx)
        movups %xmm8, 64(%rcx)
        movups %xmm9, 80(%rcx)
        movups %xmm10, 96(%rcx)
        movups %xmm11, 112(%rcx)
        movups %xmm12, 128(%rcx)
        movups %xmm13, 144(%rcx)
        movups %xmm14, 160(%rcx)
        movups %xmm15, 176(%rcx)
        LEAVE_SAVED

// winCallPrim(fn, n, words): a method prologue calling the n-argument primitive fn (n >= 3)
// through rtPrimGlueMany on winNativeStack: receiver words[0] and arguments 1..n-2 stacked,
// the method's return address above them, the last two in r12 and r13. Answers the
// primitive's answer (rbx at the method's return address), or -1 when the glue took the
// failure path; winNativeRspAfter is the native sp there.
        .globl winCallPrim
        .p2align 4
winCallPrim:
        ENTER_SAVED
        movq %rsp, winSavedRsp(%rip)
        movq %rcx, %r15
        movq %rdx, %r14
        movq %r8, %rsi
        xorl %ecx, %ecx
        call markStack
        leaq winNativeStack+512(%rip), %rsp
        movq %rsp, %rbp
        xorl %ecx, %ecx
2:      pushq (%rsi,%rcx,8)
        incq %rcx
        leaq -1(%r14), %rax
        cmpq %rax, %rcx
        jb 2b
        leaq 3f(%rip), %rax
        pushq %rax
        movq -8(%rsi,%r14,8), %r12
        movq (%rsi,%r14,8), %r13
        movq (%rsi), %rbx
        movq %r14, %r9
        call rtPrimGlueMany
        movq $-1, %rbx
3:      movq %rsp, winNativeRspAfter(%rip)
        movq winSavedRsp(%rip), %rsp
        movq %rbx, %rax
        LEAVE_SAVED

// The primitive the prologue calls: notes rsp and the two words at [rsp+40] and [rsp+48]
// as it arrives, then runs winPrimRecord with the registers untouched.
        .globl winPrimProbe
        .p2align 4
winPrimProbe:
        movq %rsp, winProbeRsp(%rip)
        movq 40(%rsp), %rax
        movq %rax, winProbeStackWords(%rip)
        movq 48(%rsp), %rax
        movq %rax, winProbeStackWords+8(%rip)
        jmp winPrimRecord

        .data
        .p2align 4
winMxcsrDefault: .long 0x1F80
winSavedRsp: .quad 0
winJumpBuffer: .quad 0
winJumpOut: .quad 0
