// Windows layer: the machine half of the Windows x64 call-out. callWin64 runs one call from a
// WinCall record (ntCallC.cpp): positions 0-3 go both into rcx, rdx, r8, r9 and into
// xmm0-xmm3, further words above the 32-byte shadow area, the stack 16-byte aligned at the
// call; rax and xmm0 are stored back and the x87 exception flags cleared.
// A hardware exception inside the call reaches callFaultHandler (ntCallC.cpp) through this
// frame; when it catches it, it unwinds to callWin64Resume with rax = 1.
// Prefix: none (callWin64).

// WinCall byte offsets.
.set WC_FUNCTION, 0
.set WC_WORDS, 8
.set WC_STACK, 40
.set WC_STACKWORDS, 48
.set WC_RAX, 56
.set WC_XMM0, 64

        .text
        .globl callWin64, callWin64Resume
        .def callWin64; .scl 2; .type 32; .endef
        .p2align 4
        .seh_proc callWin64
// callWin64(WinCall* rcx) -> 0, or 1 when a caught exception ended the call.
callWin64:
        pushq %rbp
        .seh_pushreg %rbp
        pushq %rbx
        .seh_pushreg %rbx
        pushq %rsi
        .seh_pushreg %rsi
        pushq %rdi
        .seh_pushreg %rdi
        subq $8, %rsp
        .seh_stackalloc 8
        movq %rsp, %rbp
        .seh_setframe %rbp, 0
        .seh_endprologue
        .seh_handler callFaultHandler, @except
        movq %rcx, 0(%rbp)              // the record, where the handler finds it
        movq %rcx, %rbx
        movq WC_STACKWORDS(%rbx), %rcx
        leaq 32(,%rcx,8), %rax          // shadow area and stack words
        subq %rax, %rsp
        andq $-16, %rsp
        testq %rcx, %rcx
        jz 1f
        movq WC_STACK(%rbx), %rsi
        leaq 32(%rsp), %rdi
        cld
        rep movsq
1:
        movsd WC_WORDS+0(%rbx), %xmm0
        movsd WC_WORDS+8(%rbx), %xmm1
        movsd WC_WORDS+16(%rbx), %xmm2
        movsd WC_WORDS+24(%rbx), %xmm3
        movq WC_WORDS+0(%rbx), %rcx
        movq WC_WORDS+8(%rbx), %rdx
        movq WC_WORDS+16(%rbx), %r8
        movq WC_WORDS+24(%rbx), %r9
        callq *WC_FUNCTION(%rbx)
        movq 0(%rbp), %rbx
        movq %rax, WC_RAX(%rbx)
        movsd %xmm0, WC_XMM0(%rbx)
        xorl %eax, %eax
callWin64Resume:
        fnclex
        movq %rbp, %rsp
        addq $8, %rsp
        popq %rdi
        popq %rsi
        popq %rbx
        popq %rbp
        ret
        .seh_endproc

// thunkProcessHelper: every callback thunk jumps here with r10 = the thunk. The four register
// arguments go to the caller's home slots, each from its SSE register when the thunk's
// floating bit for it (byte 20) is set, else from its integer register; the home slots and
// the caller's stack arguments then form one run of words for thunkProcess(thunk rcx,
// words rdx, result r8), whose rax and xmm0 words are returned.
        .globl thunkProcessHelper
        .def thunkProcessHelper; .scl 2; .type 32; .endef
        .p2align 4
        .seh_proc thunkProcessHelper
thunkProcessHelper:
        pushq %rbp
        .seh_pushreg %rbp
        movq %rsp, %rbp
        .seh_setframe %rbp, 0
        subq $48, %rsp
        .seh_stackalloc 48
        .seh_endprologue
        movzbl 20(%r10), %eax
        movq %rcx, 16(%rbp)
        testb $1, %al
        jz 1f
        movsd %xmm0, 16(%rbp)
1:      movq %rdx, 24(%rbp)
        testb $2, %al
        jz 2f
        movsd %xmm1, 24(%rbp)
2:      movq %r8, 32(%rbp)
        testb $4, %al
        jz 3f
        movsd %xmm2, 32(%rbp)
3:      movq %r9, 40(%rbp)
        testb $8, %al
        jz 4f
        movsd %xmm3, 40(%rbp)
4:      movq %r10, %rcx                 // the thunk
        leaq 16(%rbp), %rdx             // argument words: home slots, then stack arguments
        leaq -16(%rbp), %r8             // result: rax, xmm0
        call thunkProcess
        movq -16(%rbp), %rax
        movsd -8(%rbp), %xmm0
        movq %rbp, %rsp
        popq %rbp
        ret
        .seh_endproc

// comStubEntry: every COM stub jumps here with r10 = its method record. The four register
// arguments go to the caller's home slots, xmm0-3 to a local block; then
// comMethodDispatch(record rcx, argument words rdx, xmm block r8, result r9), whose rax and
// xmm0 words are returned. The caller removes its own arguments.
        .globl comStubEntry
        .def comStubEntry; .scl 2; .type 32; .endef
        .p2align 4
        .seh_proc comStubEntry
comStubEntry:
        pushq %rbp
        .seh_pushreg %rbp
        movq %rsp, %rbp
        .seh_setframe %rbp, 0
        subq $80, %rsp
        .seh_stackalloc 80
        .seh_endprologue
        movq %rcx, 16(%rbp)
        movq %rdx, 24(%rbp)
        movq %r8, 32(%rbp)
        movq %r9, 40(%rbp)
        movsd %xmm0, -32(%rbp)
        movsd %xmm1, -24(%rbp)
        movsd %xmm2, -16(%rbp)
        movsd %xmm3, -8(%rbp)
        movq %r10, %rcx                 // the record
        leaq 16(%rbp), %rdx             // argument words
        leaq -32(%rbp), %r8             // xmm0-3
        leaq -48(%rbp), %r9             // result: rax, xmm0
        call comMethodDispatch
        movq -48(%rbp), %rax
        movsd -40(%rbp), %xmm0
        movq %rbp, %rsp
        popq %rbp
        ret
        .seh_endproc
