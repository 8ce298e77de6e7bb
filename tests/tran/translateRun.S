// Runs translated code from the translator tests: an entry from C onto the current stack
// segment with the send convention, and recording doubles for send sites and loop ends.
        .text

// tranCall(entry, receiver, args, numArgs): receiver in rbx, the last two arguments in r12
// and r13, the receiver and the others stacked for three or more; answers rbx.
        .globl tranCall
        .p2align 4
tranCall:
        pushq %rbp
        pushq %rbx
        pushq %r12
        pushq %r13
        pushq %r14
        pushq %r15
        subq $8, %rsp
        movq %rsp, tranSavedRsp(%rip)
        movq %rdi, %r14
        movq %rsi, %rbx
        movq %rdx, %r15
        movq %rcx, tranNumArgs(%rip)
        call markStack
        movq currentStack(%rip), %rax
        movq 16(%rax), %rsp
        movq 24(%rax), %rbp
        movq %rsp, tranRspBefore(%rip)
        movq tranNumArgs(%rip), %rcx
        cmpq $3, %rcx
        jb 2f
        pushq %rbx
        xorl %eax, %eax
        leaq -2(%rcx), %rdx
1:      pushq (%r15,%rax,8)
        incq %rax
        cmpq %rdx, %rax
        jb 1b
2:      cmpq $1, %rcx
        jne 3f
        movq (%r15), %r12
        jmp 4f
3:      jb 4f
        movq -16(%r15,%rcx,8), %r12
        movq -8(%r15,%rcx,8), %r13
4:      call *%r14
        movq %rsp, tranRspAfter(%rip)
        movq tranSavedRsp(%rip), %rsp
        movq %rbx, %rax
        addq $8, %rsp
        popq %r15
        popq %r14
        popq %r13
        popq %r12
        popq %rbx
        popq %rbp
        ret

// A send site's routine: records receiver, argument and selector index, answers recAnswer;
// with recForceLimit set it also trips the stack limit, so the next loop end calls out.
        .globl recordSend
        .p2align 4
recordSend:
        movq %rbx, recReceiver(%rip)
        movq %r12, recArg(%rip)
        movq %r15, recSelector(%rip)
        incq recCount(%rip)
        movq recAnswer(%rip), %rbx
        cmpq $0, recForceLimit(%rip)
        je 1f
        movq $-1, stackLimit(%rip)
1:      ret

// A loop end's routine: counts and puts the limit back.
        .globl recordEndLoop
        .p2align 4
recordEndLoop:
        incq recEndLoops(%rip)
        movq currentStack(%rip), %rax
        movq 32(%rax), %rax
        movq %rax, stackLimit(%rip)
        ret

        .data
        .p2align 3
        .globl tranRspBefore, tranRspAfter, recReceiver, recArg, recSelector, recCount, recAnswer
        .globl recForceLimit, recEndLoops
tranSavedRsp:   .quad 0
tranNumArgs:    .quad 0
tranRspBefore:  .quad 0
tranRspAfter:   .quad 0
recReceiver:    .quad 0
recArg:         .quad 0
recSelector:    .quad 0
recCount:       .quad 0
recAnswer:      .quad 0
recForceLimit:  .quad 0
recEndLoops:    .quad 0

        .section .note.GNU-stack,"",@progbits
