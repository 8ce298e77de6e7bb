// Unix layer: the names of the platform's error numbers and primitives 696 and 697.
// Owns errorCodes. Prefix: none (initOSErrorCodePrims, errorCodeName).
#include <cerrno>
#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmCString.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "plat/unxMain.h"

// The errno names in the order the image relies on (EWOULDBLOCK, EAGAIN, EINTR, EALREADY,
// ENODATA, then every other name alphabetically, EDEADLK before EDEADLOCK), then the
// engine's own codes; a null name ends the table. Aliases share a number: the first
// entry of a number names it.
const ErrorCodeEntry errorCodes[] = {
    {EWOULDBLOCK, "EWOULDBLOCK"}, {EAGAIN, "EAGAIN"}, {EINTR, "EINTR"}, {EALREADY, "EALREADY"},
    {ENODATA, "ENODATA"}, {E2BIG, "E2BIG"}, {EACCES, "EACCES"}, {EADDRINUSE, "EADDRINUSE"},
    {EADDRNOTAVAIL, "EADDRNOTAVAIL"}, {EADV, "EADV"}, {EAFNOSUPPORT, "EAFNOSUPPORT"},
    {EBADE, "EBADE"}, {EBADF, "EBADF"}, {EBADFD, "EBADFD"}, {EBADMSG, "EBADMSG"},
    {EBADR, "EBADR"}, {EBADRQC, "EBADRQC"}, {EBADSLT, "EBADSLT"}, {EBFONT, "EBFONT"},
    {EBUSY, "EBUSY"}, {ECANCELED, "ECANCELED"}, {ECHILD, "ECHILD"}, {ECHRNG, "ECHRNG"},
    {ECOMM, "ECOMM"}, {ECONNABORTED, "ECONNABORTED"}, {ECONNREFUSED, "ECONNREFUSED"},
    {ECONNRESET, "ECONNRESET"}, {EDEADLK, "EDEADLK"}, {EDEADLOCK, "EDEADLOCK"},
    {EDESTADDRREQ, "EDESTADDRREQ"}, {EDOM, "EDOM"}, {EDOTDOT, "EDOTDOT"}, {EDQUOT, "EDQUOT"},
    {EEXIST, "EEXIST"}, {EFAULT, "EFAULT"}, {EFBIG, "EFBIG"}, {EHOSTDOWN, "EHOSTDOWN"},
    {EHOSTUNREACH, "EHOSTUNREACH"}, {EHWPOISON, "EHWPOISON"}, {EIDRM, "EIDRM"},
    {EILSEQ, "EILSEQ"}, {EINPROGRESS, "EINPROGRESS"}, {EINVAL, "EINVAL"}, {EIO, "EIO"},
    {EISCONN, "EISCONN"}, {EISDIR, "EISDIR"}, {EISNAM, "EISNAM"}, {EKEYEXPIRED, "EKEYEXPIRED"},
    {EKEYREJECTED, "EKEYREJECTED"}, {EKEYREVOKED, "EKEYREVOKED"}, {EL2HLT, "EL2HLT"},
    {EL2NSYNC, "EL2NSYNC"}, {EL3HLT, "EL3HLT"}, {EL3RST, "EL3RST"}, {ELIBACC, "ELIBACC"},
    {ELIBBAD, "ELIBBAD"}, {ELIBEXEC, "ELIBEXEC"}, {ELIBMAX, "ELIBMAX"}, {ELIBSCN, "ELIBSCN"},
    {ELNRNG, "ELNRNG"}, {ELOOP, "ELOOP"}, {EMEDIUMTYPE, "EMEDIUMTYPE"}, {EMFILE, "EMFILE"},
    {EMLINK, "EMLINK"}, {EMSGSIZE, "EMSGSIZE"}, {EMULTIHOP, "EMULTIHOP"},
    {ENAMETOOLONG, "ENAMETOOLONG"}, {ENAVAIL, "ENAVAIL"}, {ENETDOWN, "ENETDOWN"},
    {ENETRESET, "ENETRESET"}, {ENETUNREACH, "ENETUNREACH"}, {ENFILE, "ENFILE"},
    {ENOANO, "ENOANO"}, {ENOBUFS, "ENOBUFS"}, {ENOCSI, "ENOCSI"}, {ENODEV, "ENODEV"},
    {ENOENT, "ENOENT"}, {ENOEXEC, "ENOEXEC"}, {ENOKEY, "ENOKEY"}, {ENOLCK, "ENOLCK"},
    {ENOLINK, "ENOLINK"}, {ENOMEDIUM, "ENOMEDIUM"}, {ENOMEM, "ENOMEM"}, {ENOMSG, "ENOMSG"},
    {ENONET, "ENONET"}, {ENOPKG, "ENOPKG"}, {ENOPROTOOPT, "ENOPROTOOPT"}, {ENOSPC, "ENOSPC"},
    {ENOSR, "ENOSR"}, {ENOSTR, "ENOSTR"}, {ENOSYS, "ENOSYS"}, {ENOTBLK, "ENOTBLK"},
    {ENOTCONN, "ENOTCONN"}, {ENOTDIR, "ENOTDIR"}, {ENOTEMPTY, "ENOTEMPTY"},
    {ENOTNAM, "ENOTNAM"}, {ENOTRECOVERABLE, "ENOTRECOVERABLE"}, {ENOTSOCK, "ENOTSOCK"},
    {ENOTSUP, "ENOTSUP"}, {ENOTTY, "ENOTTY"}, {ENOTUNIQ, "ENOTUNIQ"}, {ENXIO, "ENXIO"},
    {EOPNOTSUPP, "EOPNOTSUPP"}, {EOVERFLOW, "EOVERFLOW"}, {EOWNERDEAD, "EOWNERDEAD"},
    {EPERM, "EPERM"}, {EPFNOSUPPORT, "EPFNOSUPPORT"}, {EPIPE, "EPIPE"}, {EPROTO, "EPROTO"},
    {EPROTONOSUPPORT, "EPROTONOSUPPORT"}, {EPROTOTYPE, "EPROTOTYPE"}, {ERANGE, "ERANGE"},
    {EREMCHG, "EREMCHG"}, {EREMOTE, "EREMOTE"}, {EREMOTEIO, "EREMOTEIO"},
    {ERESTART, "ERESTART"}, {ERFKILL, "ERFKILL"}, {EROFS, "EROFS"}, {ESHUTDOWN, "ESHUTDOWN"},
    {ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT"}, {ESPIPE, "ESPIPE"}, {ESRCH, "ESRCH"},
    {ESRMNT, "ESRMNT"}, {ESTALE, "ESTALE"}, {ESTRPIPE, "ESTRPIPE"}, {ETIME, "ETIME"},
    {ETIMEDOUT, "ETIMEDOUT"}, {ETOOMANYREFS, "ETOOMANYREFS"}, {ETXTBSY, "ETXTBSY"},
    {EUCLEAN, "EUCLEAN"}, {EUNATCH, "EUNATCH"}, {EUSERS, "EUSERS"}, {EXDEV, "EXDEV"},
    {EXFULL, "EXFULL"},
    {-1, "nosupport"}, {-2, "allocfail"}, {-3, "eof"}, {-4, "unknown"}, {-5, "badargs"},
    {-6, "inappropriate"}, {0, nullptr},
};

const char* errorCodeName(int64_t code) {
  for (const ErrorCodeEntry* e = errorCodes; e->name != nullptr; e++)
    if (e->code == code) return e->name;
  return nullptr;
}

static oop stringOrFail(const char* text, uint32_t noSpaceCode) {
  oop s = STStringWithSize(text, strlen(text));
  return s != 0 ? s : failPrimitive(primErrorAt(noSpaceCode), 1);
}

// Primitive 696: the name of an error number.
static oop primErrorCodeName(oop, oop code) {
  if (!isSmallInteger(code)) return failPrimitive(primErrorAt(primErrGeneral), 1);
  const char* name = errorCodeName(smallIntegerValue(code));
  if (name == nullptr) return failPrimitive(primErrorAt(primErrGeneral), 1);
  return stringOrFail(name, primErrNoSpace);
}

// Primitive 697: the system's text for an error number.
static oop primErrorCodeText(oop, oop code) {
  if (!isSmallInteger(code) || smallIntegerValue(code) < 0 || smallIntegerValue(code) > 0x7FFFFFFF)
    return failPrimitive(primErrorAt(primErrBadArgument), 1);
  const char* text = strerror((int)smallIntegerValue(code));
  if (text == nullptr) return failPrimitive(primErrorAt(primErrBadArgument), 1);
  return stringOrFail(text, primErrNoSpace);
}

void initOSErrorCodePrims() {
  addCPrimitive(696, reinterpret_cast<const void*>(primErrorCodeName), 1);
  addCPrimitive(697, reinterpret_cast<const void*>(primErrorCodeText), 1);
}
