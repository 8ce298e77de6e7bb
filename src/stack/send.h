// Execution engine: send sites and their patching, the unlinked-send routines, relinking
// after a class-check miss, translation failures, and the message-not-understood redirection
// (src/stack/dnu). Owns findMethodHook and the pending-MNU record. Prefix: none.
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"
#include "tran/nmLayout.h"
#include "tran/tmain.h"  // the lookup answer codes

// ---- The send path, in one walk ---------------------------------------------------------------
// A send site is 11 bytes: `mov r15d, imm32; call rel32` (src/tran/nmLayout.h), the receiver
// in its register and the arguments stacked or in registers as the send type says.
//
// 1. Unlinked. The translator emits the site with the selector index in r15d and the call
//    aimed at the glue entry of its send type (the send type's row of sendTypeTable, filled
//    from the glue's SendTable: unlinkedSend0..Many and the NoCheck, NonImmediate and Super
//    forms). The glue saves the native state on the segment and calls
//    CunlinkedSend (or a sibling) on the C stack.
// 2. Lookup. findMethodHook (the translator's findMethod) probes the method cache, else walks
//    the class's method dictionaries and translates the method on its first send; it answers
//    an nmethod or a code below lookupResultLimit (not understood, not translatable, no room).
// 3. Link. smashInlineCache rewrites the site: r15d becomes the receiver's class tag and the
//    call goes to the nmethod's checked entry (64), or to the NoCheck (87) or NonImmediate (73)
//    entry where the translator proved the class. The routine then pushes the nmethod's glue
//    entry on the saved stack, so the glue's return runs the method, not the site again.
// 4. Linked. The next time the site runs, the callee's entry compares the receiver's tag
//    with r15d (offset 82) and falls into the prologue. A mismatch calls rtPICAbortSendMiss
//    (offset 51): CrtPICAbortSendMiss turns the site into a closed PIC of two cases
//    (src/tran/tpic); a PIC's miss extends it (CrtExtendClosedPIC) up to nPICMaxCases, then
//    the site moves to the selector's open PIC, whose misses look up through the method cache
//    (CrtOpenPICSendMiss). With PICs off the site is relinked to the new class instead
//    (relinkSend).
// 5. Failures. Not understood goes to doesNotUnderstand (src/stack/dnu), which builds the
//    Message and sends doesNotUnderstand:, bound into a PIC's MNU path where PICs are on. A
//    method the translator could not place gets handleTranFailure: the code zone is compacted
//    and the lookup retried, else the report is fatal.
// Every C routine on this path runs on the C stack with the segment's state saved; it may
// translate, allocate and compact the code zone, so it re-reads what it holds afterwards, and
// it leaves through the glue by what it pushed on the saved stack.

// The lookup behind every send that no linked site serves: the nmethod for the selector
// sent to an instance of the class index, or a failure code. The translator's findMethod;
// tests put a table of their own in its place.
extern uint64_t (*findMethodHook)(oop selector, uint32_t classIndex);

// The class tag a linked site compares: the 3-bit tag of an immediate, else the header's.
inline uint32_t receiverClassTag(oop receiver) {
  return isImmediate(receiver) ? uint32_t(receiver & oopTagMask) : classTagOf(headerOf(receiver));
}
// The selector a site's immediate names, read from the top frame's method for literals.
oop selectorForIndex(uint32_t selectorIndex);
// PICs are switched off by this option bit.
bool picsDisabled();

// Site patches; R is the return address of the site's call.
void smashInlineCache(uint64_t R, uint32_t classTag, uint64_t target);
void smashInlineCall(uint64_t R, uint64_t target);
void updateInlineCache(uint64_t R, uint32_t classTag, uint64_t oldBase, uint64_t newBase);
void updateInlineCacheToPIC(uint64_t R, uint64_t oldBase, uint64_t newBase);

// Class-check miss of a linked nmethod old: relinks the site whose return address is the
// second word of the saved stack and leaves the entry to run on top.
void relinkSend(oop receiver, uint32_t classTag, oop selector, uint64_t old);
// The site called an unlinked nmethod: relink it to the current lookup result; answers 1
// when the address now on top enters an nmethod.
int relinkSendToUnlinked(oop receiver);
// A lookup that failed for code 2-4: compaction and retries, else fatal. Answers an nmethod
// or 1 (not understood).
uint64_t handleTranFailure(uint32_t classTag, oop selector, uint64_t code);

// A closed PIC of one case, the MNU path, for a first send that is not understood; 1 when
// none can be made.
uint64_t bindToMNUPIC(oop receiver, oop selector, uint64_t numArgs);
// The instruction-cache flush after a patch.
void flushSite();

// Pushes the saved native stack of the current segment.
void pushOnSavedStack(uint64_t word);

// doesNotUnderstand: records the failed send and pushes the dnu glue entry for its argument
// count; answers that address.
uint64_t doesNotUnderstand(uint64_t numArgs, oop selector, oop lookupClass);
// Sends doesNotUnderstand: (registry slot 8) for selector with the arguments in order and
// enters native code; never returns.
[[noreturn]] void doesNotUnderstandWA(uint64_t numArgs, oop receiver, oop selector, oop lookupClass,
                                      const oop* arguments);

// Registers the evaluation primitives (block value, perform, running a method).
void initEvaluationPrimitives();

// The running primitive of primArgs arguments gives way to a send of selector to receiver
// with n arguments, whose answer goes to the primitive's sender (not understood: the
// doesNotUnderstand: send). Does not return, but for the failure a lookup that cannot be
// made leaves (its failPrimitive answer).
oop sendInsteadOfPrimitive(oop receiver, oop selector, const oop* args, uint64_t n, uint64_t primArgs);
// Prepares a send on the running segment as a caller's site would leave it (the receiver
// and arguments, then the method's entry on top) for backToNcodePopping; the segment grows
// when the frame needs room. 0 when no method of n arguments answers the selector.
int buildSendWithArgs(oop receiver, oop selector, const oop* args, uint64_t n);
// A new activation of the send for a Process that is not running: a stable context whose
// sender is sender, ready to run the method from its start. 0 when no method of n arguments
// answers the selector, or no room.
oop buildActivationOfSendWithArgs(oop receiver, oop selector, const oop* args, uint64_t n, oop sender);

// The C routines behind the send path's glue entries (GLUE_ENTRIES in stack/glue.h names the
// registers each entry passes). Each runs on the C stack with rsp/rbp parked on the running
// segment, and leaves through the glue, which returns to the address on top of the saved
// stack of whatever segment is current then: a routine that pushes an nmethod's glue entry
// there runs that method next. Each may translate, allocate and compact the code zone, so
// none holds a code address or an object across a lookup without re-reading it.
extern "C" {
// unlinkedSend0..Many: rbx receiver, r15d selector index, the count from the entry (r9 for
// Many). Looks the selector up in the receiver's class, links the site (the return address on
// top of the saved stack) to the method's checked entry and pushes its glue entry; a selector
// not understood binds the site to an MNU PIC or goes to doesNotUnderstand.
void CunlinkedSend(oop receiver, uint32_t selectorIndex, uint64_t numArgs);
// As CunlinkedSend, linking to the entry without a class check (the translator proved it).
void CunlinkedSendNoCheck(oop receiver, uint32_t selectorIndex, uint64_t numArgs);
// As CunlinkedSend for a receiver known to be an object (no immediate tag test).
void CunlinkedSendNonImmediate(oop receiver, uint32_t selectorIndex, uint64_t numArgs);
// unlinkedSendSuper0..Many: as CunlinkedSend, r11 the method class, looking up from its
// superclass (entered into the class table when it has no index); nil above: not understood.
void CunlinkedSendSuper(oop receiver, uint32_t selectorIndex, oop methodClass, uint64_t numArgs);
// rtAbortRelinkSendToUnlinked: rbx receiver; the saved stack holds the old nmethod's
// abort-send-miss return over the site's return address. Relinks the site as relinkSend.
void CrtAbortRelinkSendToUnlinked(oop receiver);
// rtPICAbortSendMiss: rbx receiver, a linked site's class check missed (saved stack as
// above). Makes the site a closed PIC of two cases (or relinks it: PICs off, no room) and
// leaves the entry to run on top; the glue jumps there with r15 0.
void CrtPICAbortSendMiss(oop receiver);
// dnu0..Many: rbx receiver, r12 r13 the last two arguments, the rest stacked under the
// return address. Collects the arguments of the pending not-understood send, pops the
// stacked ones and sends doesNotUnderstand: with a Message; does not return.
void Cdnu0(oop receiver);
void Cdnu1(oop receiver, oop a1);
void Cdnu2(oop receiver, oop a1, oop a2);
void Cdnu3(oop receiver, oop r12, oop r13);
void CdnuMany(oop receiver, oop r12, oop r13);
// cantReturn: rbx the value of a non-local return whose home is dead, contextOnTop the
// context. Sends cannotReturn: to that context with the value; does not return.
void CcantReturn(oop value);
// rtExtendClosedPIC: rbx receiver, r14 the PIC that missed. Adds a case for the receiver's
// class, or past nPICMaxCases moves the site to the selector's open PIC; runs the method.
void CrtExtendClosedPIC(oop receiver, uint64_t pic);
// rtOpenPICSendMiss: rbx receiver, r14 the open PIC. Looks up through the method cache and
// runs the method found, or the failure path (not understood, not translatable).
void CrtOpenPICSendMiss(oop receiver, uint64_t pic);
// rtMNUFromPIC: rbx receiver, r12 r13 the last two arguments, r14 the PIC. Relinks the site
// when the selector has come to be understood, else sends doesNotUnderstand: (as Cdnu).
void CrtMNUFromPIC(oop receiver, oop r12, oop r13, uint64_t pic);
// rtCannotResume: no registers; the top frame cannot resume. Sends the dead-context selector
// to its context, its resume pc set to the frame's cannot-resume entry; does not return.
void CrtCannotResume();
}
