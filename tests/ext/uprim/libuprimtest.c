/* User primitives for the UserPrims program: a library that sees the engine only through
   tessel/oe.h, its symbols resolved from the running engine when the image loads it. uprimInit
   (called by the image) registers 10001-10021. Objects held across a send may move: what a
   primitive keeps across one lives in a registry slot. */
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <tessel/oe.h>

static int handlerCalls, lastHandlerCode, pollCalls;

static void countHandler(int32_t code) {
  handlerCalls++;
  lastHandlerCode = code;
}
static void countPoll(void) { pollCalls++; }

/* 10001: the sum of an Array of SmallIntegers and Doubles, as a Double. */
static oop sumArray(oop receiver, oop array) {
  double sum = 0;
  uint64_t n = UPindexVarSize(array);
  for (uint64_t i = 1; i <= n; i++) {
    oop e = UPbasicAt(array, (int64_t)i);
    sum += UPisInteger(e) ? (double)UPSTtoCint(e) : UPSTtoCdouble(e);
  }
  UPReturn(UPCtoSTdouble(sum));
  return 0;
}

/* 10002: the String's bytes reversed, in a new String. */
static oop reversed(oop receiver, oop string) {
  UPmustBeString(string);
  int64_t n = (int64_t)UPindexVarSize(string);
  oop r = UPallocString(' ', n);
  for (int64_t i = 1; i <= n; i++) UPbyteAtPut(r, n + 1 - i, UPbyteAt(string, i));
  UPReturn(r);
  return 0;
}

/* 10003: 1000 new ByteArrays in an Array; element i has i % 7 + 1 bytes, each i % 256. */
static oop manyByteArrays(oop receiver) {
  oop a = UPallocArray(UPnil(), 1000);
  for (int64_t i = 1; i <= 1000; i++) UPbasicAtPut(a, i, UPallocByteArray((char)(i % 256), i % 7 + 1));
  UPReturn(a);
  return 0;
}

/* 10004: a new registry slot holding a new Array {a String of 20 $q, 12345}; answers the
   slot's index. 10005 answers what the slot holds, 10006 clears it. */
static oop keepInSlot(oop receiver) {
  int64_t slot = UPallocRegistrySlot();
  oop a = UPallocArray(UPnil(), 2);
  UPbasicAtPut(a, 1, UPallocString('q', 20));
  UPbasicAtPut(a, 2, UPCtoSTint(12345));
  UPregisteredHandleAtPut(slot, a);
  UPReturn(UPCtoSTint(slot));
  return 0;
}
static oop readSlot(oop receiver, oop index) {
  UPReturn(UPregisteredHandleAt(UPSTtoCint(index)));
  return 0;
}
static oop clearSlot(oop receiver, oop index) {
  UPregisteredHandleAtPut(UPSTtoCint(index), UPnil());
  UPreturnTrue();
  return 0;
}

/* 10007: sends from C to the target with 0-5 arguments (selectors given by the image), 3 + 4,
   a selector the target does not understand, at: by a C string, and a send whose method
   allocates until a scavenge. The answers come back in an Array. */
static oop sends(oop receiver, oop target, oop selectors) {
  oop fail = UPCtoSTint(-99);
  int64_t targetSlot = UPallocRegistrySlot(), selectorsSlot = UPallocRegistrySlot(), answersSlot = UPallocRegistrySlot();
  UPregisteredHandleAtPut(targetSlot, target);
  UPregisteredHandleAtPut(selectorsSlot, selectors);
  UPregisteredHandleAtPut(answersSlot, UPallocArray(UPnil(), 10));
#define T UPregisteredHandleAt(targetSlot)
#define SEL(i) UPbasicAt(UPregisteredHandleAt(selectorsSlot), i)
#define ANSWER(i, value)                                          \
  do {                                                            \
    oop v_ = (value);                                             \
    UPbasicAtPut(UPregisteredHandleAt(answersSlot), i, v_);      \
  } while (0)
  ANSWER(1, oeSendMessage0(T, SEL(1), 0, fail));
  ANSWER(2, oeSendMessage1(T, SEL(2), UPCtoSTint(1), 0, fail));
  ANSWER(3, oeSendMessage2(T, SEL(3), UPCtoSTint(1), UPCtoSTint(2), 0, fail));
  ANSWER(4, oeSendMessage3(T, SEL(4), UPCtoSTint(1), UPCtoSTint(2), UPCtoSTint(3), 0, fail));
  {
    oop args = UPallocArray(UPnil(), 4);
    for (int64_t i = 1; i <= 4; i++) UPbasicAtPut(args, i, UPCtoSTint(i));
    ANSWER(5, oeSendMessageMany(T, SEL(5), args, 0, fail));
  }
  {
    oop args[5];
    for (int i = 0; i < 5; i++) args[i] = UPCtoSTint(i + 1);
    char name[64];
    int64_t count = 0;
    oop sel = SEL(6);
    UPcopySTtoCstring(sel, name, sizeof name - 1, 1, &count);
    name[count] = 0;
    ANSWER(6, oeCSendMessageMany(T, name, args, 5, 0, fail));
  }
  ANSWER(7, oeCSendMessage1(UPCtoSTint(3), "+", UPCtoSTint(4), 0, fail));
  ANSWER(8, oeCSendMessage0(T, "noSuchSelector", 0, fail));
  {
    oop array = UPallocArray(UPCtoSTint(0), 3);
    UPbasicAtPut(array, 2, UPCtoSTint(42));
    ANSWER(9, oeCSendMessage1(array, "at:", UPCtoSTint(2), 0, fail));
  }
  ANSWER(10, oeCSendMessage0(T, "allocate", 0, fail));
#undef T
#undef SEL
#undef ANSWER
  oop answers = UPregisteredHandleAt(answersSlot);
  UPregisteredHandleAtPut(targetSlot, UPnil());
  UPregisteredHandleAtPut(selectorsSlot, UPnil());
  UPregisteredHandleAtPut(answersSlot, UPnil());
  UPReturn(answers);
  return 0;
}

/* 10008: the argument must be a SmallInteger. */
static oop mustBeInteger(oop receiver, oop x) {
  UPmustBeInteger(x);
  UPReturn(x);
  return 0;
}

/* 10009: the element at the index (the handler hears of a bad index). */
static oop elementAt(oop receiver, oop array, oop index) {
  UPReturn(UPbasicAt(array, UPSTtoCint(index)));
  return 0;
}

/* 10010: answers 0 (nil); with true, a poll request is pending when it does. */
static oop returnZero(oop receiver, oop post) {
  if (UPSTtoCbool(post)) oePostInterrupt();
  UPReturn(0);
  return 0;
}

/* 10011: the target's nest: with the depth, sent from C. */
static oop nest(oop receiver, oop target, oop depth) {
  UPReturn(oeCSendMessage1(target, "nest:", depth, 0, UPCtoSTint(-1)));
  return 0;
}

/* 10012: a send from a second thread: its answer. */
static oop threadTarget;
static oop threadAnswer = 1;
static void* sendFromThread(void* unused) {
  (void)unused;
  threadAnswer = oeCSendMessage0(threadTarget, "touch", 0, UPCtoSTint(-1));
  return 0;
}
static oop sendOffThread(oop receiver, oop target) {
  pthread_t t;
  threadTarget = target;
  if (pthread_create(&t, 0, sendFromThread, 0) != 0) UPfail(-100);
  pthread_join(t, 0);
  UPReturn(UPCtoSTint((int64_t)threadAnswer));
  return 0;
}

/* 10013: the delegate, active and then with the flag at 2: {delegate's answer, its calls,
   whether it got the five arguments, the answer with the flag at 2, its calls then}. */
static int delegateCalls, delegateArgsSeen;
static oop seenReceiver, seenSelector, seenArguments, *seenResultPtr, seenFail;
static oop countingDelegate(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue) {
  delegateCalls++;
  delegateArgsSeen = receiver == seenReceiver && selector == seenSelector && arguments == seenArguments &&
                     resultPtr == seenResultPtr && failValue == seenFail;
  return UPCtoSTint(77);
}
static oop delegates(oop receiver, oop target, oop selector) {
  oop result = UPnil();
  int64_t slot = UPallocRegistrySlot();
  oop args = UPallocArray(UPCtoSTint(5), 1);
  seenReceiver = target;
  seenSelector = selector;
  seenArguments = args;
  seenResultPtr = &result;
  seenFail = UPCtoSTint(-5);
  oeInstallDelegateForSendMessageMany(countingDelegate);
  oeActivateDelegateForSendMessageMany();
  oop first = oeSendMessageMany(target, selector, args, &result, seenFail);
  int callsWhenActive = delegateCalls, argsSeen = delegateArgsSeen;
  useDelegateForSendMessageMany = 2;
  oop second = oeSendMessageMany(target, selector, args, &result, seenFail);
  UPregisteredHandleAtPut(slot, second);
  oeDeactivateDelegateForSendMessageMany();
  oeReleaseDelegateForSendMessageMany();
  oop a = UPallocArray(UPnil(), 5);
  UPbasicAtPut(a, 1, first);
  UPbasicAtPut(a, 2, UPCtoSTint(callsWhenActive));
  UPbasicAtPut(a, 3, UPCtoSTbool(argsSeen));
  UPbasicAtPut(a, 4, UPregisteredHandleAt(slot));
  UPbasicAtPut(a, 5, UPCtoSTint(delegateCalls));
  UPregisteredHandleAtPut(slot, UPnil());
  UPReturn(a);
  return 0;
}

/* 10014: {the handler's calls, its last code, the poll handler's calls}. */
static oop counts(oop receiver) {
  oop a = UPallocArray(UPnil(), 3);
  UPbasicAtPut(a, 1, UPCtoSTint(handlerCalls));
  UPbasicAtPut(a, 2, UPCtoSTint(lastHandlerCode));
  UPbasicAtPut(a, 3, UPCtoSTint(pollCalls));
  UPReturn(a);
  return 0;
}

/* 10015: the target's touch sent from C with the fail value -3 (which 1) or with a word that
   is no object (which 2: answers true when that very word came back). */
static oop failValue(oop receiver, oop which, oop target) {
  const oop notAnObject = 0x10;
  if (UPSTtoCint(which) == 1) UPReturn(oeCSendMessage0(target, "touch", 0, UPCtoSTint(-3)));
  UPReturn(UPCtoSTbool(oeCSendMessage0(target, "touch", 0, notAnObject) == notAnObject));
  return 0;
}

/* 10016 (benchmarks): the sum of two SmallIntegers. */
static oop add(oop receiver, oop a, oop b) {
  UPReturn(UPCtoSTint(UPSTtoCint(a) + UPSTtoCint(b)));
  return 0;
}

/* 10017 (benchmarks): n sends of the selector (+) to 3 with 4 from C; answers the last. */
static oop sendPlus(oop receiver, oop selector, oop n) {
  oop last = UPnil();
  for (int64_t i = UPSTtoCint(n); i > 0; i--) last = oeSendMessage1(UPCtoSTint(3), selector, UPCtoSTint(4), 0, UPnil());
  UPReturn(last);
  return 0;
}

/* 10018: the sum of three SmallIntegers, answered by UPReturn over the stacked arguments. */
static oop sum3(oop receiver, oop a, oop b, oop c) {
  UPReturn(UPCtoSTint(UPSTtoCint(a) + UPSTtoCint(b) + UPSTtoCint(c)));
  return 0;
}

/* 10019: the sum of five SmallIntegers as a plain C answer; any other argument fails it. */
static oop sum5(oop receiver, oop a, oop b, oop c, oop d, oop e) {
  oop args[5] = {a, b, c, d, e};
  int64_t sum = 0;
  for (int i = 0; i < 5; i++) {
    UPmustBeInteger(args[i]);
    sum += UPSTtoCint(args[i]);
  }
  return UPCtoSTint(sum);
}

/* 10020: arms a send from the poll handler: a thread posts the poll request, and the handler
   sends the target's fromPoll: 7 (from the idle loop, no stack runs: in the Process waiting on
   the callback Semaphore). 10021 answers {the send's answer, the handler's calls}. */
static int64_t pollTargetSlot = -1;
static oop pollAnswer;
static int pollSends;
static void sendFromPoll(void) {
  pollSends++;
  pollAnswer = oeCSendMessage1(UPregisteredHandleAt(pollTargetSlot), "fromPoll:", UPCtoSTint(7), 0, UPCtoSTint(-7));
}
static void* postLater(void* unused) {
  (void)unused;
  struct timespec t = {0, 20 * 1000 * 1000};
  nanosleep(&t, 0);
  oePostInterrupt();
  return 0;
}
static oop armPollSend(oop receiver, oop target) {
  pthread_t t;
  if (pollTargetSlot < 0) pollTargetSlot = UPallocRegistrySlot();
  UPregisteredHandleAtPut(pollTargetSlot, target);
  pollSends = 0;
  UPinstallPollHandler(sendFromPoll);
  if (pthread_create(&t, 0, postLater, 0) != 0) UPfail(-100);
  pthread_detach(t);
  UPreturnTrue();
  return 0;
}
static oop pollSendResult(oop receiver) {
  UPinstallPollHandler(countPoll);
  oop a = UPallocArray(UPnil(), 2);
  UPbasicAtPut(a, 1, pollAnswer);
  UPbasicAtPut(a, 2, UPCtoSTint(pollSends));
  UPReturn(a);
  return 0;
}

/* Registers the primitives and the handlers; answers how many registered. */
int64_t uprimInit(void) {
  static const struct {
    int64_t number;
    void* function;
    int64_t numArgs;
  } table[] = {
      {10001, (void*)sumArray, 1},      {10002, (void*)reversed, 1},     {10003, (void*)manyByteArrays, 0},
      {10004, (void*)keepInSlot, 0},    {10005, (void*)readSlot, 1},     {10006, (void*)clearSlot, 1},
      {10007, (void*)sends, 2},         {10008, (void*)mustBeInteger, 1}, {10009, (void*)elementAt, 2},
      {10010, (void*)returnZero, 1},    {10011, (void*)nest, 2},         {10012, (void*)sendOffThread, 1},
      {10013, (void*)delegates, 2},     {10014, (void*)counts, 0},       {10015, (void*)failValue, 2},
      {10016, (void*)add, 2},           {10017, (void*)sendPlus, 2},
      {10018, (void*)sum3, 3},          {10019, (void*)sum5, 5},
      {10020, (void*)armPollSend, 1},   {10021, (void*)pollSendResult, 0},
  };
  int64_t registered = 0;
  for (size_t i = 0; i < sizeof table / sizeof table[0]; i++)
    registered += UPaddPrimitive(table[i].number, table[i].function, table[i].numArgs);
  UPinstallErrorHandler(countHandler);
  UPinstallPollHandler(countPoll);
  return registered;
}
