// Object memory: loading: the classes, instances and method dictionaries running relies on.
// Owns loadedClassUse and highestClassUse.
// Prefix: none (beginClassUse, checkLoadedClasses, selectorArity).
#include "mman/mmImageCheck.h"

#include <unordered_set>
#include <vector>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmImageLoad.h"
#include "mman/mmSysOop.h"

ClassUse* loadedClassUse;
uint32_t highestClassUse;

static uint64_t classUseBytes;                          // the mapping holding loadedClassUse
static std::vector<const ObjectHeader*> loadedContexts;  // every context met

void noteContext(const ObjectHeader* h) {
  if (classTagOf(h) != classIndexHybridMethodContext + 2) loadedContexts.push_back(h);
}

static void releaseClassUse() {
  if (loadedClassUse != nullptr) pdUnmapMemory(classUseBytes, loadedClassUse);
  loadedClassUse = nullptr;
}

// Anonymous memory comes zeroed and is backed only where a record is written: the class
// indices in use are few and low.
void beginClassUse() {
  if (!loadChecks) return;
  releaseClassUse();
  highestClassUse = 0;
  loadedContexts.clear();
  void* map = pdMapMemory(uint64_t(classIndexLimit) * sizeof(ClassUse), 0, 0, pdProtRead | pdProtWrite, &classUseBytes);
  if (map == nullptr) {
    doReportError("Insufficient memory.", errFatal | errNoHeap, SOURCE_NAME, __LINE__);
    vmExit(qrxErrorStatus);  // not reached: the report is Fatal
  }
  loadedClassUse = static_cast<ClassUse*>(map);
}

// A slot that names an object: 0 is a slot no reference was ever stored in.
static bool namesObject(oop o) { return o != 0 && isHeapObject(o); }

int selectorArity(oop selector) {
  if (!namesObject(selector) || hasPtrs(headerOf(selector))) return -1;
  const ObjectHeader* h = headerOf(selector);
  uint64_t n = byteSizeOf(h);
  if (n == 0 || h->dataPtr == 0) return -1;
  const uint8_t* text = reinterpret_cast<const uint8_t*>(h->dataPtr);
  uint8_t c = text[0];
  if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')) return 1;
  int colons = 0;
  for (uint64_t i = 0; i < n; i++) colons += text[i] == ':';
  return colons;
}

// ---- Classes by their shape --------------------------------------------------------------

// An object whose slots superclass, method dictionary and format may be read, the format
// being a SmallInteger.
static bool hasClassShape(oop o) {
  if (!namesObject(o) || !isSoundLoadedObject(o)) return false;
  const ObjectHeader* h = headerOf(o);
  return hasPtrs(h) && h->dataPtr != 0 && bodyWordsOf(h) > classFormatSlot &&
         isSmallInteger(bodyOf(h)[classFormatSlot]);
}

// The class-table slot of index, or 0 for a missing page.
static oop tableClassAt(uint32_t index) {
  if (index >= classIndexLimit || classTable[index >> 10] == nullptr) return 0;
  return classAt(index);
}

// Instances take their class index from the class's identity hash: a class with one must
// sit at that index (the hybrid-context indices 8 to 10 may hold another class).
static bool hashNamesItsSlot(oop cls, uint32_t index) {
  uint32_t hash = hashOf(headerOf(cls));
  if (index >= classIndexHybridMethodContext && index <= classIndexHybridMethodContext + 2) return true;
  return hash == index;
}

// Instances of a class with this format: the header flags they carry (non-indexable
// instances always hold pointers) and whether their body holds at least the named slots.
static uint32_t expectedKindOf(uint64_t format) {
  uint64_t flags = headerFlagsForFormat(format);
  if (!(format & formatIndexable)) flags |= hasPtrsBit;
  return instanceKindOf(flags);
}
static bool namedSlotsAreBody(uint64_t format) {
  return !(format & formatIndexable) || (format & formatPointers);
}

// Every instance noted under index fits the class there.
static bool instancesFit(uint32_t index, oop cls) {
  const ClassUse& u = loadedClassUse[index];
  uint64_t format = classFormatOf(cls);
  uint32_t kind = expectedKindOf(format);
  if ((u.kinds & classUseBody) && ((u.kinds & 7) != kind || ((u.kinds >> 4) & 7) != (~kind & 7))) return false;
  uint64_t fewest = ~u.fewest;
  return !namedSlotsAreBody(format) || fewest >= formatNamedSlots(format);
}

// ---- Method dictionaries -----------------------------------------------------------------

enum : uint8_t { methodLongHeader = 0x80, methodIsBlock = 0x20 };

// The first byte of a compiled method (or block method) whose header the translator can
// read, with its bytecode holder and literals (named slots by the header when it says so,
// else by the class format, which must agree), and the number of its bytecode bytes; null
// for anything else.
static const uint8_t* methodHeaderOf(oop m, uint64_t* bytecodeBytes = nullptr) {
  if (!namesObject(m)) return nullptr;
  const ObjectHeader* h = headerOf(m);
  if (!hasPtrs(h) || h->dataPtr == 0) return nullptr;
  uint64_t format = classFormatOf(classOfHeader(h)), named = formatNamedSlots(format);
  if (!(format & formatIndexable) || named < 2 || bodyWordsOf(h) < named) return nullptr;
  if (indexabilityOf(h) != indexabilityAskClass && indexabilityOf(h) != named) return nullptr;
  oop holder = bodyOf(h)[0];
  if (!namesObject(holder) || hasPtrs(headerOf(holder)) || headerOf(holder)->dataPtr == 0) return nullptr;
  uint64_t size = byteSizeOf(headerOf(holder));
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(headerOf(holder)->dataPtr);
  uint64_t headerBytes = (bytes[0] & methodLongHeader) ? 4 : 1;
  if (size < headerBytes) return nullptr;
  if (bytecodeBytes != nullptr) *bytecodeBytes = size - headerBytes;
  return bytes;
}

static int methodArgCount(const uint8_t* header) {
  return (header[0] & methodLongHeader) ? header[1] : (header[0] >> 2) & 3;
}

// A compiled method of cls found under selector: the lookup answers it, and its argument
// count must be what the selector's senders push.
static bool isSoundMethod(oop m, oop selector, oop cls) {
  const uint8_t* header = methodHeaderOf(m);
  if (header == nullptr || (header[0] & methodIsBlock) || slotOf(m, 1) != cls) return false;
  int arity = selectorArity(selector);
  return arity < 0 || arity == methodArgCount(header);
}

// Nil, or a pointer object of (selector, method) pairs after its named slots (an empty one
// may have no body at all).
static bool isSoundDictionary(oop dict, oop cls) {
  if (dict == nilOop()) return true;
  if (!namesObject(dict) || !hasPtrs(headerOf(dict))) return false;
  const ObjectHeader* h = headerOf(dict);
  uint64_t named = formatNamedSlots(classFormatOf(classOfHeader(h))), words = bodyWordsOf(h);
  const oop* pairs = bodyOf(h);
  for (uint64_t i = named; i + 1 < words; i += 2) {
    oop m = pairs[i + 1];
    if (m != 0 && m != nilOop() && !isSoundMethod(m, pairs[i], cls)) return false;
  }
  return true;
}

// ---- Superclass chains -------------------------------------------------------------------

struct ChainCheck {
  std::unordered_set<oop> sound;  // classes whose whole chain was found sound
  uint64_t limit;                 // more links than there are class slots means a cycle
  std::vector<oop> walked;
};

// cls and its superclasses up to nil: each of class shape, sitting at the class index its
// hash names (or without one yet), its dictionary sound. A chain longer than the class table is a cycle.
static bool isSoundChain(oop cls, ChainCheck& c) {
  c.walked.clear();
  for (oop k = cls; k != nilOop(); k = superclassOf(k)) {
    if (c.sound.count(k) != 0) break;
    if (c.walked.size() > c.limit || !hasClassShape(k)) return false;
    uint32_t hash = hashOf(headerOf(k));
    if (hash != 0 && tableClassAt(hash) != k) return false;
    if (!isSoundDictionary(slotOf(k, 1), k)) return false;
    c.walked.push_back(k);
  }
  c.sound.insert(c.walked.begin(), c.walked.end());
  return true;
}

// ---- Contexts -----------------------------------------------------------------------------

// A context's slots rebuild its frame: its method is translated, its pc mapped (a stable
// context keeps a bytecode pc, 1 to one past its last bytecode, or none; a native one,
// negative, is no longer valid once loaded), its sender resumed on return, and its
// receiver, arguments and stack copied from the contents.
static bool isSoundContext(const ObjectHeader* h) {
  if (!hasPtrs(h) || bodyWordsOf(h) < contextNamedSlots) return false;
  const oop* body = bodyOf(h);
  uint64_t bytecodeBytes;
  const uint8_t* header = methodHeaderOf(body[ctxMethod], &bytecodeBytes);
  if (header == nullptr) return false;
  bool stable = classTagOf(h) > classIndexHybridBlockContext;
  oop pc = body[ctxPc];
  if (stable && isSmallInteger(pc) && (smallIntegerValue(pc) < 1 || uint64_t(smallIntegerValue(pc)) > bytecodeBytes + 1))
    return false;
  oop sender = body[ctxSender];
  if (stable && sender != nilOop()) {
    if (!namesObject(sender)) return false;
    uint32_t tag = classTagOf(headerOf(sender));
    if (tag < classIndexHybridMethodContext || tag > classIndexBlockContext || tag == classIndexHybridMethodContext + 2)
      return false;
  }
  if (!isSmallInteger(body[ctxDepth]) || smallIntegerValue(body[ctxDepth]) < 0) return false;
  uint64_t depth = uint64_t(smallIntegerValue(body[ctxDepth]));
  int numArgs = methodArgCount(header);
  uint64_t copied = numArgs >= 3 && uint64_t(numArgs - 2) > depth ? uint64_t(numArgs - 2) : depth;
  oop contents = body[ctxContents];
  if (contents == nilOop()) return copied == 0;
  return namesObject(contents) && hasPtrs(headerOf(contents)) &&
         bodyWordsOf(headerOf(contents)) >= copied;
}

// ---- The whole check ---------------------------------------------------------------------

// The class the instances of index are made from: class objects when its class is Metaclass
// or inherits from it, as instantiation decides.
static bool instancesAreClasses(uint32_t index, oop metaclass) {
  for (oop c = classOf(classAt(index)); c != nilOop(); c = superclassOf(c))
    if (c == metaclass) return true;
  return false;
}

// Every entry of the table: the marker, nil, or a class of sound shape whose hash names it;
// each listed under its own class index (the count is compared with the hashed classes).
static bool tableEntriesSound() {
  oop marker = sysOop(sysEmptySlotMarker), nil = nilOop();
  for (uint32_t page = 0; page <= lastClassTablePageX; page++)
    for (uint32_t i = 0; classTable[page] != nullptr && i < classTablePageSlots; i++) {
      uint32_t index = page * classTablePageSlots + i;
      oop cls = classTable[page][i];
      if (cls == marker || cls == nil) continue;
      if (!hasClassShape(cls) || !hashNamesItsSlot(cls, index)) return false;
      if (hashOf(headerOf(cls)) == index) loadedClassUse[classTagOf(headerOf(cls))].listed++;
    }
  return true;
}

// Every class noted with the shape to read it by, then the classes' chains and dictionaries,
// the classes' hashes, and the contexts.
static bool classesHoldTogether() {
  // Immediates are receivers as any object is: their classes count as used.
  for (uint32_t tag : {uint32_t(classIndexCharacter), uint32_t(classIndexSmallInteger), uint32_t(classIndexSmallDouble)})
    loadedClassUse[tag].kinds |= classUseNoted;
  // First the shape of every class, so that the class of any live object (a dictionary's, a
  // method's) may be read while the chains are followed.
  if ((loadedClassUse[0].kinds & classUseNoted) || !tableEntriesSound()) return false;
  for (uint32_t index = 1; index <= highestClassUse; index++) {
    if (!(loadedClassUse[index].kinds & classUseNoted)) continue;
    oop cls = tableClassAt(index);
    if (!hasClassShape(cls) || !hashNamesItsSlot(cls, index) || !instancesFit(index, cls)) return false;
  }
  ChainCheck chains;
  chains.limit = uint64_t(lastClassTablePageX + 1) * classTablePageSlots;
  oop marker = sysOop(sysEmptySlotMarker), nil = nilOop();
  for (uint32_t index = 1; index < chains.limit; index++) {
    oop cls = classTable[index >> 10] != nullptr ? classAt(index) : nil;
    if (cls != marker && cls != nil && !isSoundChain(cls, chains)) return false;
  }
  oop metaclass = classOf(classOf(sysOop(sysArrayClass)));
  for (uint32_t index = 1; index <= highestClassUse; index++) {
    const ClassUse& u = loadedClassUse[index];
    if ((u.kinds & classUseNoted) && u.hashed != u.listed && instancesAreClasses(index, metaclass)) return false;
  }
  for (const ObjectHeader* h : loadedContexts)
    if (!isSoundContext(h)) return false;
  return true;
}

// The check's own memory is gone before a bad image is reported (the report may not return).
void checkLoadedClasses() {
  if (!loadChecks) return;
  bool sound = classesHoldTogether();
  releaseClassUse();
  if (!sound) BAD_IMAGE();
}
