// The Windows call-out's test library, machine half: ct_record keeps what a call put in the
// argument registers and the first eight stack words above the shadow area, and the stack
// pointer at entry, then returns known values in rax and xmm0.
        .data
        .globl ct_seen
        .p2align 4
ct_seen:                        // ints[4], xmm[4], stack[8], entry rsp
        .fill 17, 8, 0
        .text
        .globl ct_record
        .def ct_record; .scl 2; .type 32; .endef
        .p2align 4
ct_record:
        leaq ct_seen(%rip), %rax
        movq %rcx, 0(%rax)
        movq %rdx, 8(%rax)
        movq %r8, 16(%rax)
        movq %r9, 24(%rax)
        movsd %xmm0, 32(%rax)
        movsd %xmm1, 40(%rax)
        movsd %xmm2, 48(%rax)
        movsd %xmm3, 56(%rax)
        movq %rsp, 128(%rax)
        movq $0, %r10
1:      movq 40(%rsp,%r10,8), %r11
        movq %r11, 64(%rax,%r10,8)
        incq %r10
        cmpq $8, %r10
        jb 1b
        movabsq $0x4004000000000000, %rax   // 2.5
        movq %rax, %xmm0
        movabsq $0x0123456789ABCDEF, %rax
        ret
        .section .drectve
        .ascii " -export:ct_record -export:ct_seen,data"
