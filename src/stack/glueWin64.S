// Execution engine: the native/C glue of the Windows x64 build: the same entries, registers
// and tables as the System V glue, calling C the Windows way, and markStack/jumpToMarkedStack
// over a NativeJumpBuffer. Prefix: rt, inToNcode/backToNcode, markStack, jumpToMarkedStack.
// Native side: rbx receiver/result, r12 r13 last two arguments, r9 argument count, r15
// primitive function / send immediate / error. C side: rcx, rdx, r8, r9, then the stack
// above a 32-byte home area; rbx, rbp, rsi, rdi, r12-r15 and xmm6-xmm15 survive a C call.

// Stack-segment header words (byte offsets); they must match the layout header.
.set SH_SP, 2*8
.set SH_FP, 3*8
.set SH_NUMARGS, 5*8
.set SH_RECEIVER, 6*8
.set SH_ARG0, 7*8
.set SH_ARG1, 8*8
.set SH_FAILADDR, 9*8
.set SH_PRIMERR, 10*8

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

        .text
        .globl minGlueInstr
minGlueInstr:

// Parks rsp, rbp in the running segment and switches to the C stack. The callee's home area
// is the 32 bytes above CStack, which the C frame that called markStack reserved for its calls.
.macro TO_C
        movq currentStack(%rip), %rax
        movq %rsp, SH_SP(%rax)
        movq %rbp, SH_FP(%rax)
        movq CStack(%rip), %rsp
        movq CFrame(%rip), %rbp
.endm

// Back onto whatever segment is current now, then return to the address on its top.
.macro FROM_C
        movq currentStack(%rip), %rax
        movq SH_SP(%rax), %rsp
        movq SH_FP(%rax), %rbp
.endm

// A standard entry: C routine with up to four arguments from native registers (or
// immediates), in rcx, rdx, r8, r9; result 1 keeps its answer in rbx.
.macro CENTRY name, routine, result, a1=, a2=, a3=, a4=
        .globl \name
        .p2align 4
\name:
        TO_C
  .ifnb \a1
        movq \a1, %rcx
  .endif
  .ifnb \a2
        movq \a2, %rdx
  .endif
  .ifnb \a3
        movq \a3, %r8
  .endif
  .ifnb \a4
        movq \a4, %r9
  .endif
        call \routine
  .if \result
        movq %rax, %rbx
  .endif
        FROM_C
        ret
.endm

// markStack(buffer): the caller's rsp and rbp become the C level of every later glue call;
// a non-null buffer also keeps the registers the caller expects back. Answers 0.
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

CENTRY rootReturn, CrootReturn, 0
CENTRY rtBadBytecode, CrtBadBytecode, 0, %rbx

.macro SENDS kind, routine
CENTRY unlinkedSend\kind\()0, \routine, 0, %rbx, %r15, $0
CENTRY unlinkedSend\kind\()1, \routine, 0, %rbx, %r15, $1
CENTRY unlinkedSend\kind\()2, \routine, 0, %rbx, %r15, $2
CENTRY unlinkedSend\kind\()3, \routine, 0, %rbx, %r15, $3
CENTRY unlinkedSend\kind\()Many, \routine, 0, %rbx, %r15, %r9
.endm
SENDS , CunlinkedSend
SENDS NoCheck, CunlinkedSendNoCheck
SENDS NonImmediate, CunlinkedSendNonImmediate
CENTRY unlinkedSendSuper0, CunlinkedSendSuper, 0, %rbx, %r15, %r11, $0
CENTRY unlinkedSendSuper1, CunlinkedSendSuper, 0, %rbx, %r15, %r11, $1
CENTRY unlinkedSendSuper2, CunlinkedSendSuper, 0, %rbx, %r15, %r11, $2
CENTRY unlinkedSendSuper3, CunlinkedSendSuper, 0, %rbx, %r15, %r11, $3
CENTRY unlinkedSendSuperMany, CunlinkedSendSuper, 0, %rbx, %r15, %r11, %r9

CENTRY rtExtendClosedPIC, CrtExtendClosedPIC, 0, %rbx, %r14
CENTRY rtOpenPICSendMiss, CrtOpenPICSendMiss, 0, %rbx, %r14
CENTRY rtMNUFromPIC, CrtMNUFromPIC, 0, %rbx, %r12, %r13, %r14
CENTRY rtAbortRelinkSendToUnlinked, CrtAbortRelinkSendToUnlinked, 0, %rbx
CENTRY cantReturn, CcantReturn, 0, %rbx
CENTRY dnu0, Cdnu0, 0, %rbx
CENTRY dnu1, Cdnu1, 0, %rbx, %r12
CENTRY dnu2, Cdnu2, 0, %rbx, %r12, %r13
CENTRY dnu3, Cdnu3, 0, %rbx, %r12, %r13
CENTRY dnuMany, CdnuMany, 0, %rbx, %r12, %r13
CENTRY rtCarefulCallPrim, CrtCarefulCallPrim, 1, %rbx
CENTRY rtAbortSend, CrtAbortSend, 0
CENTRY rtEndLoop, CrtEndLoop, 0
CENTRY rtAbortPrimFail, CrtAbortPrimFail, 0, %r15
CENTRY rtNotBoolean, CrtNotBoolean, 0, %rbx, %r9
CENTRY rtNotBooleanTrue, CrtNotBooleanTrue, 0, %rbx, %r9
CENTRY rtNotBooleanFalse, CrtNotBooleanFalse, 0, %rbx, %r9
CENTRY rtMakeFullBlock, CrtMakeFullBlock, 1, %rbx
CENTRY rtConsArray, CrtConsArray, 1, %rbx
CENTRY rtMakeFullCopyingBlock, CrtMakeFullCopyingBlock, 1, %rbx, %r12
CENTRY rtMakeCopyingBlock, CrtMakeCopyingBlock, 1, %rbx, %r12
CENTRY rtMakeCopyingBlock1, CrtMakeCopyingBlock1, 1, %rbx, %r12
// Generated code passes the new Array's size in bytes (slots x 8).
        .globl rtCreateArray
        .p2align 4
rtCreateArray:
        TO_C
        movq %r12, %rcx
        shrq $3, %rcx
        call CrtCreateArray
        movq %rax, %rbx
        FROM_C
        ret
CENTRY rtMethodReturn, CrtMethodReturn, 1, %rbx, %r12
CENTRY rtStoreContextInstVar, CrtStoreContextInstVar, 1, %r12, %rbx, %r9
CENTRY rtCheckStore, CrtCheckStore, 0, %r12, %rbx
CENTRY rtAttemptToAssign, CrtAttemptToAssign, 0, %r12, %rbx, %r9
CENTRY rtCannotResume, CrtCannotResume, 0

// A PIC's class-check miss: the routine decides where to go; we arrive there with r15 = 0.
        .globl rtPICAbortSendMiss
        .p2align 4
rtPICAbortSendMiss:
        TO_C
        movq %rbx, %rcx
        call CrtPICAbortSendMiss
        FROM_C
        popq %rax
        xorl %r15d, %r15d
        jmp *%rax

// thisContext: the frame's own context when it has one, else made by the run time.
        .globl rtLoadThisContext
        .p2align 4
rtLoadThisContext:
        movq -16(%rbp), %rbx
        testq $1, %rbx
        jz LoadThisContext
        movq -8(%rbp), %rbx
        ret
CENTRY LoadThisContext, CLoadThisContext, 1

// A context slot: stable contexts (class tag above 10) are read in place.
        .globl rtLoadContextInstVar
        .p2align 4
rtLoadContextInstVar:
        movl 8(%rbx), %eax
        andl $0xFFFFF, %eax
        cmpl $10, %eax
        jbe LoadContextInstVar
        movq (%rbx), %rax
        movq (%rax,%r9), %rbx
        ret
CENTRY LoadContextInstVar, CLoadContextInstVar, 1, %rbx, %r9

// ---- Entries from C into native code (none returns) -------------------------------------

.macro NENTRY name
        .globl \name
        .p2align 4
\name:
        FROM_C
.endm
NENTRY inToNcode
        movq 8(%rsp), %rbx
        ret
        .globl backToNcode
        .set backToNcode, inToNcode
NENTRY inToNcodePopResult
        popq %rbx
        ret
        .globl backToNcodePopResult, backToNcodePop0
        .set backToNcodePopResult, inToNcodePopResult
        .set backToNcodePop0, inToNcodePopResult
NENTRY backToNcodePop1
        popq %rbx
        popq %r12
        ret
NENTRY backToNcodePop2
        popq %rbx
        popq %r12
        popq %r13
        ret
        .globl backToNcodePopping
        .set backToNcodePopping, backToNcodePop2

// ---- Primitive calls --------------------------------------------------------------------
// Entered by the method prologue's call with r15 = the C function. The call's return address
// (the failure path) goes to failAddr; receiver and register arguments to the save area.

.macro PRIM_SAVE
        movq currentStack(%rip), %rax
        popq SH_FAILADDR(%rax)
        movq %rsp, SH_SP(%rax)
        movq %rbp, SH_FP(%rax)
        movq CStack(%rip), %rsp
        movq CFrame(%rip), %rbp
        movq %rbx, SH_RECEIVER(%rax)
        movq %r12, SH_ARG0(%rax)
        movq %r13, SH_ARG1(%rax)
.endm

// Back on the (possibly other) current segment with rbx = the answer. A committed primitive
// (receiver word 0) built its frame: the answer goes into its result slot.
.macro PRIM_RELOAD
        movq %rax, %rbx
        FROM_C
        movq SH_RECEIVER(%rax), %r15
        testq %r15, %r15
        jnz 1f
        movq %rbx, 8(%rsp)
        movq $0, SH_NUMARGS(%rax)
1:
.endm

.macro PRIM_GLUE name, dispatch=
        .globl \name
        .p2align 4
\name:
        PRIM_SAVE
  .ifb \dispatch
        movq %rbx, %rcx
        movq %r12, %rdx
        movq %r13, %r8
        call *%r15
  .else
        movq %r15, %rcx
        movq %rbx, %rdx
        movq %r12, %r8
        movq %r13, %r9
        call \dispatch
        testq %rax, %rax
        jz primFailGlueFromC
  .endif
        PRIM_RELOAD
        movq $0, SH_RECEIVER(%rax)
        ret
.endm

PRIM_GLUE rtPrimGlue0
PRIM_GLUE rtPrimGlue1
PRIM_GLUE rtPrimGlue2
        .globl rtPrimGlue3
        .p2align 4
rtPrimGlue3:
        movq $3, %r9
        jmp rtPrimGlueMany

// The k-th argument (1-based) of an n-argument call into dst: r13 for the last, r12 for
// the one before, else from the native stack at r10 (the method's return address; argument
// n-2 just above it). r11 = n.
.macro ARGK k, dst
        cmpq $\k, %r11
        jb 9f
        je 7f
        cmpq $(\k+1), %r11
        je 8f
        movq %r11, %rax
        subq $(\k+1), %rax
        movq (%r10,%rax,8), \dst
        jmp 9f
7:      movq %r13, \dst
        jmp 9f
8:      movq %r12, \dst
9:
.endm

// Calls r15 with the receiver and n = r9 arguments in order: receiver, arguments 1-3 in rcx,
// rdx, r8, r9; arguments 4 and up pushed last first (over a zero pad word when n is even, so
// that the call stays 16-byte aligned), then a fresh 32-byte home area.
        .globl rtPrimGlueMany
        .p2align 4
rtPrimGlueMany:
        PRIM_SAVE
        movq %r9, SH_NUMARGS(%rax)
        movq SH_SP(%rax), %r10
        movq %r9, %r11
        cmpq $4, %r11
        jb 3f
        testq $1, %r11
        jnz 2f
        pushq $0
2:      movq %r11, %rcx
4:      cmpq %r11, %rcx
        jne 5f
        pushq %r13
        jmp 6f
5:      leaq 1(%rcx), %rax
        cmpq %r11, %rax
        jne 5f
        pushq %r12
        jmp 6f
5:      movq %r11, %rax
        subq %rcx, %rax
        pushq -8(%r10,%rax,8)
6:      decq %rcx
        cmpq $4, %rcx
        jae 4b
3:      ARGK 3, %r9
        ARGK 2, %r8
        ARGK 1, %rdx
        movq %rbx, %rcx
        subq $32, %rsp
        call *%r15
        jmp primGlueManyReturn

// Variable-argument C primitives: f(receiver, numArgs, saved sp).
        .globl rtPrimGlueVarArgMany
        .p2align 4
rtPrimGlueVarArgMany:
        PRIM_SAVE
        movq %r9, SH_NUMARGS(%rax)
        movq %rbx, %rcx
        movq %r9, %rdx
        movq SH_SP(%rax), %r8
        call *%r15

// Result 0 is a failure. A committed primitive resumes at its frame's resume pc; otherwise,
// with 3 or more arguments, the receiver and the stacked arguments (n - 1 words above the
// return address) are dropped.
primGlueManyReturn:
        testq %rax, %rax
        jz primFailGlueFromC
        PRIM_RELOAD
        movq $0, SH_RECEIVER(%rax)
        testq %r15, %r15
        jnz 1f
        ret
1:      movq SH_NUMARGS(%rax), %r9
        cmpq $2, %r9
        jbe 2f
        popq %r15
        leaq -8(%rsp,%r9,8), %rsp
        jmp *%r15
2:      ret

// User primitives go through the dispatch (function, receiver, r12, r13; many: function, r12,
// r13, count).
PRIM_GLUE rtUPrimGlue0, CrtUPrimGlue0
PRIM_GLUE rtUPrimGlue1, CrtUPrimGlue1
PRIM_GLUE rtUPrimGlue2, CrtUPrimGlue2
        .globl rtUPrimGlue3
        .p2align 4
rtUPrimGlue3:
        movq $3, %r9
        jmp rtUPrimGlueMany
        .globl rtUPrimGlueMany
        .p2align 4
rtUPrimGlueMany:
        PRIM_SAVE
        movq %r9, SH_NUMARGS(%rax)
        movq %r15, %rcx
        movq %r12, %rdx
        movq %r13, %r8
        call CrtUPrimGlueMany
        jmp primGlueManyReturn

// Failure: the method's own code runs from failAddr with r15 = the error, the receiver in
// rbx and the register arguments restored.
primFailGlueFromC:
        FROM_C
        .globl primFailGlue
primFailGlue:
        movq currentStack(%rip), %rax
        movq SH_RECEIVER(%rax), %rbx
        movq $0, SH_RECEIVER(%rax)
        .globl primFailShort
primFailShort:
        movq currentStack(%rip), %rax
        movq SH_PRIMERR(%rax), %r15
        movq SH_ARG0(%rax), %r12
        movq SH_ARG1(%rax), %r13
        jmp *SH_FAILADDR(%rax)

        .globl maxGlueInstr
maxGlueInstr:
        nop

// ---- Tables -----------------------------------------------------------------------------
        .data
        .p2align 3
        .globl SendTable, PrimGlueTable, UserPrimGlueTable, dnuPChAddr, notBTable
        .globl cantReturnPC, primFailGlueShort, primFailGlueLong, minGluePC, maxGluePC
SendTable:
        .quad unlinkedSend0, unlinkedSend1, unlinkedSend2, unlinkedSend3, unlinkedSendMany
        .quad unlinkedSendNoCheck0, unlinkedSendNoCheck1, unlinkedSendNoCheck2, unlinkedSendNoCheck3
        .quad unlinkedSendNoCheckMany
        .quad unlinkedSendNonImmediate0, unlinkedSendNonImmediate1, unlinkedSendNonImmediate2
        .quad unlinkedSendNonImmediate3, unlinkedSendNonImmediateMany
        .quad unlinkedSendSuper0, unlinkedSendSuper1, unlinkedSendSuper2, unlinkedSendSuper3
        .quad unlinkedSendSuperMany
PrimGlueTable:
        .quad rtPrimGlue0, rtPrimGlue1, rtPrimGlue2, rtPrimGlue3, rtPrimGlueMany
UserPrimGlueTable:
        .quad rtUPrimGlue0, rtUPrimGlue1, rtUPrimGlue2, rtUPrimGlue3, rtUPrimGlueMany
dnuPChAddr:
        .quad dnu0, dnu1, dnu2, dnu3, dnuMany
notBTable:
        .quad rtNotBoolean, 0, rtNotBooleanFalse, 0, rtNotBooleanTrue, 0
cantReturnPC:       .quad cantReturn
primFailGlueShort:  .quad primFailShort
primFailGlueLong:   .quad primFailGlue
minGluePC:          .quad minGlueInstr
maxGluePC:          .quad maxGlueInstr
