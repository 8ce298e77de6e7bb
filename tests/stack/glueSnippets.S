// Hand-built native code for the glue tests: an entry from C that runs native code on the
// current segment and comes back with rbx, callers that send with 0-8 arguments, and
// nmethods whose prologue calls a primitive through the glue.
// Writable as well as executable: tests fill the nmethods' method fields.
        .section .tessel_test_code, "awx", @progbits

// testEnter(entry): saves the C callee-saved registers, records the C stack level, moves
// onto the current segment at its saved sp/fp with testExit as return address and jumps.
        .globl testEnter
        .p2align 4
testEnter:
        pushq %rbp
        pushq %rbx
        pushq %r12
        pushq %r13
        pushq %r14
        pushq %r15
        subq $8, %rsp
        movq %rsp, testSavedRsp(%rip)
        call markStack
        movq currentStack(%rip), %rax
        movq 16(%rax), %rsp
        movq 24(%rax), %rbp
        leaq testExit(%rip), %r11
        pushq %r11
        jmp *%rdi
        .globl testExit
testExit:
        movq testSavedRsp(%rip), %rsp
        movq %rbx, %rax
        addq $8, %rsp
        popq %r15
        popq %r14
        popq %r13
        popq %r12
        popq %rbx
        popq %rbp
        ret

.macro PUSHARGS from, to
        pushq testArgs+8*\from(%rip)
  .if \to-\from
        PUSHARGS "(\from+1)", \to
  .endif
.endm

// A send of n arguments: receiver and arguments 1..n-2 stacked, the last two in r12, r13.
.macro CALLER name, n, target
        .globl \name
        .p2align 4
\name:
        movq testReceiver(%rip), %rbx
  .if \n >= 3
        pushq %rbx
        PUSHARGS 0, "(\n-3)"
  .endif
  .if \n == 1
        movq testArgs(%rip), %r12
  .endif
  .if \n >= 2
        movq testArgs+8*(\n-2)(%rip), %r12
        movq testArgs+8*(\n-1)(%rip), %r13
  .endif
        movq %rsp, rspBefore(%rip)
        call \target
        movq %rsp, rspAfter(%rip)
        ret
.endm

.macro RETURN n
        movq %rbp, %rsp
        popq %rbp
  .if \n >= 3
        ret $(8*(\n-1))
  .else
        ret
  .endif
.endm

// An nmethod with a primitive and no temporaries: header, entry offsets, the primitive
// call, its failure jump and offset word, the primitive return, the frame code, a body that
// records its fp and answers the error, a restart point and the primitive map.
.macro NMETHOD name, n, glue, loadCount
        .p2align 4
        .globl \name
\name:
        .quad 0
        .long \name\()_end - \name
        .byte 0x40, 255, \n, 0, 12
        .fill 7, 1, 0
        .quad 0, 0
        .fill 9, 1, 0xCC
        .word \name\()_body - (\name + 49)
        .fill 36, 1, 0xCC
  .if (. - \name) != 87
        .error "unchecked entry is not at 87"
  .endif
\name\()_entry:
        movq testFn(%rip), %r15
  .if \loadCount
        movq $\n, %r9
  .endif
        call \glue
\name\()_fail:
        .byte 0xEB, \name\()_frame - (\name\()_fail + 2)
        .long \name\()_fail + 2 - \name
\name\()_primret:
  .if \n > 2
        movq -8*6(%rbp), %rbx
  .else
        movq -8*(4 + \n)(%rbp), %rbx
  .endif
        RETURN \n
\name\()_frame:
        pushq %rbp
        movq %rsp, %rbp
        subq $8, %rsp
        leaq \name(%rip), %r11
        pushq %r11
        pushq %rbx
  .if \n >= 1
        pushq %r12
  .endif
  .if \n >= 2
        pushq %r13
  .endif
        pushq %r15
\name\()_body:
        movq %rbp, seenFp(%rip)
        movq %rsp, seenSp(%rip)
        movq (%rsp), %rbx
        RETURN \n
\name\()_restart:
        movq -24(%rbp), %rbx
        movq -32(%rbp), %r12
        movq -40(%rbp), %r13
        movq %rbp, %rsp
        popq %rbp
        jmp \name\()_entry
        .p2align 4
        .quad \name\()_restart - \name, \name\()_primret - \name
        .fill 15, 1, 0
        .byte 0xE0
\name\()_end:
.endm

NMETHOD nmPrim0, 0, rtPrimGlue0, 0
NMETHOD nmPrim1, 1, rtPrimGlue1, 0
NMETHOD nmPrim2, 2, rtPrimGlue2, 0
NMETHOD nmPrim3, 3, rtPrimGlue3, 0
NMETHOD nmPrim4, 4, rtPrimGlueMany, 1
NMETHOD nmPrim5, 5, rtPrimGlueMany, 1
NMETHOD nmPrim6, 6, rtPrimGlueMany, 1
NMETHOD nmPrim7, 7, rtPrimGlueMany, 1
NMETHOD nmPrim8, 8, rtPrimGlueMany, 1
NMETHOD nmVarArg1, 1, rtPrimGlueVarArgMany, 1
NMETHOD nmVarArg5, 5, rtPrimGlueVarArgMany, 1

        .p2align 4
CALLER callPrim0, 0, nmPrim0_entry
CALLER callPrim1, 1, nmPrim1_entry
CALLER callPrim2, 2, nmPrim2_entry
CALLER callPrim3, 3, nmPrim3_entry
CALLER callPrim4, 4, nmPrim4_entry
CALLER callPrim5, 5, nmPrim5_entry
CALLER callPrim6, 6, nmPrim6_entry
CALLER callPrim7, 7, nmPrim7_entry
CALLER callPrim8, 8, nmPrim8_entry
CALLER callVarArg1, 1, nmVarArg1_entry
CALLER callVarArg5, 5, nmVarArg5_entry

// Two framed methods without primitive: outer calls inner, which sends the 1-argument
// primitive; each answers what its callee answered.
.macro FRAMED name
        .p2align 4
        .globl \name
\name:
        .quad 0
        .long 128
        .byte 0, 255, 0, 0, 12
        .fill 7, 1, 0
        .quad 0, 0
        .globl \name\()_code
\name\()_code:
        pushq %rbp
        movq %rsp, %rbp
        subq $8, %rsp
        leaq \name(%rip), %r11
        pushq %r11
        pushq %rbx
.endm
FRAMED nmOuter
        call nmInner_code
        movq %rbp, %rsp
        popq %rbp
        ret
FRAMED nmInner
        movq testReceiver(%rip), %rbx
        movq testArgs(%rip), %r12
        call nmPrim1_entry
        movq %rbp, %rsp
        popq %rbp
        ret

// Asks for thisContext twice: the first call makes it, the second finds it in the frame.
FRAMED nmThisContext
        call rtLoadThisContext
        movq %rbx, firstContext(%rip)
        call rtLoadThisContext
        movq %rbp, %rsp
        popq %rbp
        ret

// A method whose only code leaves the test: the context that the outermost test frame
// returns into.
        .p2align 4
        .globl nmExit
nmExit:
        .quad 0
        .long 128
        .byte 0, 255, 0, 0, 12
        .fill 7, 1, 0
        .quad 0, 0
        .globl nmExit_code
nmExit_code:
        jmp testExit
        .fill 80, 1, 0xCC

// Sends the primitive loopTimes times from native code (r14 survives glue and C calls).
        .globl primLoop0, primLoop5
        .p2align 4
primLoop0:
        movq loopTimes(%rip), %r14
1:      movq testReceiver(%rip), %rbx
        call nmPrim0_entry
        decq %r14
        jnz 1b
        ret
        .p2align 4
primLoop5:
        movq loopTimes(%rip), %r14
1:      movq testReceiver(%rip), %rbx
        pushq %rbx
        PUSHARGS 0, 2
        movq testArgs+24(%rip), %r12
        movq testArgs+32(%rip), %r13
        call nmPrim5_entry
        decq %r14
        jnz 1b
        ret

// Where another process resumes: records rsp and rbp and leaves the test with rbx.
        .globl otherResume
        .p2align 4
otherResume:
        movq %rsp, seenSp(%rip)
        movq %rbp, seenFp(%rip)
        jmp testExit

// A loop whose back-edge checks the stack limit as generated code does (cmp rsp with the
// 32-bit absolute address of stackLimit); it ends when loopStop is set.
        .globl testLoop
        .p2align 4
testLoop:
        incq loopCount(%rip)
        cmpq $0, loopStop(%rip)
        jne 2f
        cmpq stackLimit, %rsp
        jae testLoop
        call rtEndLoop
        jmp testLoop
2:      ret

        .section .note.GNU-stack,"",@progbits
