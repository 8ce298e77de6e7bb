/* The engine's exported C interface for code that the image loads: reading, building and
   keeping objects (oe*), user primitives and their toolkit (UP*), and message sends into
   Smalltalk. Plain C; the names are resolved from the running engine when a library loads.
   Every call must be made on the engine's thread. */
#ifndef TESSEL_OE_H
#define TESSEL_OE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t oop; /* an object reference: a tagged immediate or an object's address */

typedef void (*oePollHandler)(void);
typedef void (*upErrorHandlerFn)(int32_t code);
typedef oop (*oeSendDelegate)(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue);

/* ---- Sends from C: the answer, failValue when the send cannot be made, 0 off the engine's
   thread. resultPtr (may be null) starts the send's result slot and receives it back. */
oop basicOeSendMessageMany(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue);
oop oeSendMessageMany(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue);
oop oeSendMessage0(oop receiver, oop selector, oop* resultPtr, oop failValue);
oop oeSendMessage1(oop receiver, oop selector, oop a1, oop* resultPtr, oop failValue);
oop oeSendMessage2(oop receiver, oop selector, oop a1, oop a2, oop* resultPtr, oop failValue);
oop oeSendMessage3(oop receiver, oop selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue);
oop oeCSendMessage0(oop receiver, const char* selector, oop* resultPtr, oop failValue);
oop oeCSendMessage1(oop receiver, const char* selector, oop a1, oop* resultPtr, oop failValue);
oop oeCSendMessage2(oop receiver, const char* selector, oop a1, oop a2, oop* resultPtr, oop failValue);
oop oeCSendMessage3(oop receiver, const char* selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue);
oop oeCSendMessageMany(oop receiver, const char* selector, const oop* argv, int64_t argc, oop* resultPtr, oop failValue);
oop UPSendMessageMany(oop receiver, oop selector, oop arguments, oop* resultPtr, oop failValue);
oop UPSendMessage0(oop receiver, oop selector, oop* resultPtr, oop failValue);
oop UPSendMessage1(oop receiver, oop selector, oop a1, oop* resultPtr, oop failValue);
oop UPSendMessage2(oop receiver, oop selector, oop a1, oop a2, oop* resultPtr, oop failValue);
oop UPSendMessage3(oop receiver, oop selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue);
oop UPCSendMessage0(oop receiver, const char* selector, oop* resultPtr, oop failValue);
oop UPCSendMessage1(oop receiver, const char* selector, oop a1, oop* resultPtr, oop failValue);
oop UPCSendMessage2(oop receiver, const char* selector, oop a1, oop a2, oop* resultPtr, oop failValue);
oop UPCSendMessage3(oop receiver, const char* selector, oop a1, oop a2, oop a3, oop* resultPtr, oop failValue);
oop UPCSendMessageMany(oop receiver, const char* selector, const oop* argv, int64_t argc, oop* resultPtr, oop failValue);

/* A host may take over oeSendMessageMany: the delegate is called when installed and
   useDelegateForSendMessageMany is exactly 1. */
extern oeSendDelegate delegateForSendMessageMany;
extern uint32_t useDelegateForSendMessageMany;
void oeInstallDelegateForSendMessageMany(oeSendDelegate delegate);
void oeReleaseDelegateForSendMessageMany(void);
void oeActivateDelegateForSendMessageMany(void);
void oeDeactivateDelegateForSendMessageMany(void);
uint32_t oeIsDelegateActivatedForSendMessageMany(void);

/* ---- oe: failures answer 0 (oeAllocRegistrySlot -1) and leave a code that no call clears:
   1 out of range, 2 invalid oop, 3 wrong kind, 4 index beyond the size, 5 no space,
   6 the holder could not be remembered. Indices are 1-based. */
enum {
  oeErrRange = 1, oeErrInvalidOop = 2, oeErrKind = 3, oeErrIndex = 4, oeErrNoSpace = 5, oeErrRemember = 6
};
uint32_t oeGetErrorCode(void);

oop oeNil(void);
oop oeTrue(void);
oop oeFalse(void);
oop oeSmallIntegerClass(void);
oop oeCharacterClass(void);
oop oeArrayClass(void);
oop oeSemaphoreClass(void);
oop oeByteStringClass(void);
oop oeLargePositiveIntegerClass(void);
oop oeLargeNegativeIntegerClass(void);
oop oeByteArrayClass(void);
oop oeTwoByteStringClass(void);
oop oeTwoByteSymbolClass(void);
oop oeDoubleClass(void);
oop oePointClass(void);
oop oeFloatClass(void);

oop oeOEToCbool(oop o, int32_t* out);
oop oeOEToCint(oop o, int64_t* out);
oop oeOEToCchar(oop o, char* out);
oop oeOEToCfloat(oop o, float* out);
oop oeOEToCdouble(oop o, double* out);
oop oeCtoOEbool(int32_t b);
oop oeCtoOEint(int64_t v);
oop oeCtoOEchar(char c);
oop oeCtoOEfloat(float f);
oop oeCtoOEdouble(double d);

void* oeOopDataPtr(oop o);
oop oeInstVarSize(oop o, uint64_t* out);
oop oeIndexVarSize(oop o, uint64_t* out);
oop oeInstVarAt(oop o, int64_t index);
oop oeInstVarAtPut(oop o, int64_t index, oop value);
oop oeBasicAt(oop o, int64_t index);
oop oeBasicAtPut(oop o, int64_t index, oop value);
oop oeByteAt(oop o, int64_t index, char* out);
oop oeByteAtPut(oop o, int64_t index, char byte);
oop oeIntegerAt(oop o, int64_t index, int64_t* out);
oop oeFloatAt(oop o, int64_t index, float* out);
oop oeDoubleAt(oop o, int64_t index, double* out);
oop oeIntegerAtPut(oop o, int64_t index, int64_t value);
oop oeFloatAtPut(oop o, int64_t index, float value);

oop oeCopyOEtoCbytes(oop o, void* buffer, int64_t length, int64_t start, int64_t* count);
oop oeCopyCtoOEbytes(oop o, const void* buffer, int64_t length, int64_t start, int64_t* count);
oop oeCopyOEtoCstring(oop o, char* buffer, int64_t length, int64_t start, int64_t* count);
oop oeCopyCtoOEstring(oop o, const char* buffer, int64_t length, int64_t start, int64_t* count);
oop oeCopyOEtoCintArray(oop o, int64_t* buffer, int64_t length, int64_t start, int64_t* count);
oop oeCopyCtoOEintArray(oop o, const int64_t* buffer, int64_t length, int64_t start, int64_t* count);
oop oeCopyOEtoCfloatArray(oop o, float* buffer, int64_t length, int64_t start, int64_t* count);
oop oeCopyCtoOEfloatArray(oop o, const float* buffer, int64_t length, int64_t start, int64_t* count);

uint32_t oeIsImmediate(oop o);
uint32_t oeIsInteger(oop o);
uint32_t oeIsCharacter(oop o);
uint32_t oeIsBoolean(oop o);
uint32_t oeIsFloat(oop o);
uint32_t oeIsDouble(oop o);
uint32_t oeIsByteLike(oop o);
uint32_t oeIsByteArray(oop o);
uint32_t oeIsString(oop o);
uint32_t oeIsArrayOfInteger(oop o);
uint32_t oeIsArrayOfFloat(oop o);
uint32_t oeIsKindOf(oop o, oop cls);
uint32_t oeCouldBeOop(oop o);
oop oeClass(oop o);
uint32_t oeClassType(oop o); /* 0 not a class, 1 fixed, 2 indexable */

oop oeAllocFsObject(oop cls);
oop oeAllocVsObject(oop cls, int64_t n);
oop oeAllocVsObjectInFixedSpace(oop cls, int64_t n);
oop oeAllocArray(oop value, int64_t n);
oop oeAllocByteArray(char byte, int64_t n);
oop oeAllocString(char byte, int64_t n);

int64_t oeAllocRegistrySlot(void);
oop oeRegisteredHandleAt(int64_t index);
oop oeRegisteredHandleAtPut(int64_t index, oop o);
uint32_t oeAddPrimitive(int64_t number, void* function, int64_t numArgs);
void oePostInterrupt(void);
oePollHandler oeInstallPollHandler(oePollHandler handler);
uint32_t oeSignalSemaphore(oop semaphore);
void oeStartLongComputation(int64_t expectedMilliseconds);
void oeFinishLongComputation(void);
void oeFail(int32_t code);

uint64_t oeRegisterSymbolAndHandle(const char* name, void* handle);

/* ---- UP: the toolkit of user primitives (numbers 10000-65535). A user primitive is called
   with the receiver and its arguments and ends with UPReturn or a failure; checks that fail
   fail the primitive with a negative code (the method's failure code receives it):
   -1 out of range, -3 invalid oop, -4 wrong kind, -7 index beyond the size, -10 no space,
   -16 the holder could not be remembered. */
enum {
  upErrRange = -1, upErrInvalidOop = -3, upErrKind = -4, upErrIndex = -7, upErrNoSpace = -10, upErrRemember = -16
};
extern oePollHandler userPollHandler;

void UPReturn(oop value);
void UPreturnTrue(void);
void UPreturnFalse(void);
void UPreturnNil(void);
void UPreturnHandle(oop value);
void UPFailPrimitive(int32_t code);
void UPfail(int32_t code);

oop UPCtoSTint(int64_t v);
oop UPCtoSTbool(int32_t b);
oop UPCtoSTchar(char c);
oop UPCtoSTfloat(float f);
oop UPCtoSTdouble(double d);
int64_t UPSTtoCint(oop o);
int32_t UPSTtoCbool(oop o);
char UPSTtoCchar(oop o);
float UPSTtoCfloat(oop o);
double UPSTtoCdouble(oop o);

uint32_t UPisInteger(oop o);
uint32_t UPisCharacter(oop o);
uint32_t UPisImmediate(oop o);
uint32_t UPisBoolean(oop o);
uint32_t UPisFloat(oop o);
uint32_t UPisDouble(oop o);
uint32_t UPisByteLike(oop o);
uint32_t UPisByteArray(oop o);
uint32_t UPisString(oop o);
uint32_t UPisArrayOfInteger(oop o);
uint32_t UPisArrayOfFloat(oop o);
uint32_t UPisKindOf(oop o, oop cls);
oop UPclass(oop o);
uint32_t UPclassType(oop o);
void UPmustBeInteger(oop o);
void UPmustBeCharacter(oop o);
void UPmustBeBoolean(oop o);
void UPmustBeFloat(oop o);
void UPmustBeByteLike(oop o);
void UPmustBeByteArray(oop o);
void UPmustBeString(oop o);
void UPmustBeArrayOfInteger(oop o);
void UPmustBeArrayOfFloat(oop o);

uint64_t UPinstVarSize(oop o);
uint64_t UPindexVarSize(oop o);
oop UPinstVarAt(oop o, int64_t index);
void UPinstVarAtPut(oop o, int64_t index, oop value);
oop UPbasicAt(oop o, int64_t index);
void UPbasicAtPut(oop o, int64_t index, oop value);
char UPbyteAt(oop o, int64_t index);
void UPbyteAtPut(oop o, int64_t index, char byte);
int64_t UPintegerAt(oop o, int64_t index);
float UPfloatAt(oop o, int64_t index);
double UPdoubleAt(oop o, int64_t index);
void UPintegerAtPut(oop o, int64_t index, int64_t value);
void UPfloatAtPut(oop o, int64_t index, float value);
oop UPcopySTtoCbytes(oop o, void* buffer, int64_t length, int64_t start, int64_t* count);
oop UPcopyCtoSTbytes(oop o, const void* buffer, int64_t length, int64_t start, int64_t* count);
oop UPcopySTtoCstring(oop o, char* buffer, int64_t length, int64_t start, int64_t* count);
oop UPcopyCtoSTstring(oop o, const char* buffer, int64_t length, int64_t start, int64_t* count);
oop UPcopySTtoCintArray(oop o, int64_t* buffer, int64_t length, int64_t start, int64_t* count);
oop UPcopyCtoSTintArray(oop o, const int64_t* buffer, int64_t length, int64_t start, int64_t* count);
oop UPcopySTtoCfloatArray(oop o, float* buffer, int64_t length, int64_t start, int64_t* count);
oop UPcopyCtoSTfloatArray(oop o, const float* buffer, int64_t length, int64_t start, int64_t* count);

oop UPallocFsObject(oop cls);
oop UPallocVsObject(oop cls, int64_t n);
oop UPallocArray(oop value, int64_t n);
oop UPallocByteArray(char byte, int64_t n);
oop UPallocString(char byte, int64_t n);

oop UPnil(void);
int64_t UPallocRegistrySlot(void);
oop UPregisteredHandleAt(int64_t index);
oop UPregisteredHandleAtPut(int64_t index, oop o);
uint32_t UPaddPrimitive(int64_t number, void* function, int64_t numArgs);
uint32_t UnsafeUPaddPrimitive(int64_t number, void* function, int64_t numArgs);
upErrorHandlerFn UPinstallErrorHandler(upErrorHandlerFn handler);
oePollHandler UPinstallPollHandler(oePollHandler handler);
void UPpostInterrupt(void);
uint32_t UPsignalSemaphore(oop semaphore);
void UPstartLongPrimitive(int32_t expectedMilliseconds);
void UPfinishLongPrimitive(void);

uint64_t UPRegisterSymbolAndHandle(const char* name, void* handle);
void* UPHandleForSymbol(const char* name);

#ifdef __cplusplus
}
#endif
#endif
