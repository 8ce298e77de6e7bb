// Windows layer: code that runs under a structured exception handler, for copies from and to
// memory the engine does not own (mingw g++ has no __try). Prefix: seh.
// sehCopy(destination rcx, source rdx, length r8) -> length, or -1 when the copy faulted:
// copyFaultHandler (ntMem.cpp) sees a fault between sehCopyBody and sehCopyBodyEnd and
// resumes at sehCopyFault with rax = -1, with rsi and rdi still pushed.

        .text
        .globl sehCopy, sehCopyBody, sehCopyBodyEnd, sehCopyFault
        .def sehCopy; .scl 2; .type 32; .endef
        .p2align 4
        .seh_proc sehCopy
sehCopy:
        pushq %rsi
        .seh_pushreg %rsi
        pushq %rdi
        .seh_pushreg %rdi
        subq $8, %rsp
        .seh_stackalloc 8
        .seh_endprologue
        .seh_handler copyFaultHandler, @except
        movq %r8, %rax
        movq %rcx, %rdi
        movq %rdx, %rsi
        movq %r8, %rcx
sehCopyBody:
        rep movsb
sehCopyBodyEnd:
        nop
sehCopyFault:
        addq $8, %rsp
        popq %rdi
        popq %rsi
        ret
        .seh_endproc
