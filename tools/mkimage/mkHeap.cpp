// mkimage: the kernel's heap objects built from compiled records with the engine's own
// allocation, class table and registry code. Owns no globals. Prefix mk.
#include "mkHeap.h"

#include <algorithm>
#include <cstring>

#include "mkHeapBuild.h"
#include "mman/mmImageHeader.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

const MkKernelClass mkKernelClasses[] = {
    {"Character", classIndexCharacter, sysCharacterClass, true},
    {"SmallInteger", classIndexSmallInteger, sysSmallIntegerClass, true},
    {"SmallDouble", classIndexSmallDouble, 5, false},
    {"HybridMethodContext", classIndexHybridMethodContext, 0, false},
    {"HybridBlockContext", classIndexHybridBlockContext, 0, false},
    {"MethodContext", classIndexMethodContext, sysMethodContextClass, true},
    {"BlockContext", classIndexBlockContext, sysBlockContextClass, false},
    {"Block", 13, 0, false},
    {"Message", sysMessageClass, sysMessageClass, false},
    {"Array", classIndexArray, sysArrayClass, true},
    {"Semaphore", classIndexSemaphore, sysSemaphoreClass, false},
    {"String", classIndexByteString, sysByteStringClass, true},
    {"LargePositiveInteger", classIndexLargePositiveInteger, sysLargePositiveIntegerClass, false},
    {"LargeNegativeInteger", classIndexLargeNegativeInteger, sysLargeNegativeIntegerClass, false},
    {"CData", sysCDataClass, sysCDataClass, false},
    {"Symbol", 21, 21, true},
    {"ByteArray", classIndexByteArray, sysByteArrayClass, true},
    {"TwoByteString", classIndexTwoByteString, sysTwoByteStringClass, false},
    {"TwoByteSymbol", classIndexTwoByteSymbol, sysTwoByteSymbolClass, false},
    {"Double", classIndexDouble, sysDoubleClass, false},
    {"WeakArray", sysWeakArrayClass, sysWeakArrayClass, false},
    {"Point", sysPointClass, sysPointClass, false},
    {"Float", classIndexFloat, sysFloatClass, false},
    {"ClassTablePage", classIndexClassTablePage, sysClassTablePageClass, true},
};
const int mkNumKernelClasses = int(sizeof mkKernelClasses / sizeof mkKernelClasses[0]);

const MkRegistrySelector mkRegistrySelectors[] = {
    {sysUnwindSelector, "return:through:"},
    {sysDnuSelector, "doesNotUnderstand:arguments:"},
    {sysMustBeBooleanSelector, "mustBeBoolean"},
    {sysCannotReturnSelector, "cannotReturn:"},
    {sysBadBytecodeSelector, "badBytecodeAt:"},
    {sysReadOnlyAssignSelector, "cannotStore:at:"},
    {sysDeadContextSelector, "cannotResume"},
    {39, "at:"},
    {40, "at:put:"},
    {41, "length"},
};
const int mkNumRegistrySelectors = int(sizeof mkRegistrySelectors / sizeof mkRegistrySelectors[0]);

// ---------------------------------------------------------------- allocation

bool mkFail(MkBld& b, const std::string& why) {
  if (b.err.empty()) b.err = why;
  return false;
}

oop mkPointers(MkBld& b, uint32_t tag, uint64_t named, uint64_t slots, uint64_t flags) {
  ObjectHeader* h = allocInOldSpace(tag, named, slots * 8, hasPtrsBit | flags, b.nil, 0);
  if (h == nullptr) return mkFail(b, "old space is full"), 0;
  return oopOf(h);
}

oop mkBytes(MkBld& b, uint32_t tag, const void* bytes, uint64_t count, uint64_t flags) {
  ObjectHeader* h = allocInOldSpace(tag, 0, count, flags, 0, 0);
  if (h == nullptr) return mkFail(b, "old space is full"), 0;
  if (count) memcpy(bodyOf(h), bytes, count);
  return oopOf(h);
}

void mkStore(oop holder, uint64_t index, oop value) { storeSlot(holder, index, value, __FILE__, __LINE__); }

oop mkArrayOf(MkBld& b, const std::vector<oop>& values) {
  oop a = mkPointers(b, classIndexArray, 0, values.size(), 0);
  for (size_t i = 0; a && i < values.size(); i++) mkStore(a, i, values[i]);
  return a;
}

oop mkString(MkBld& b, const std::string& s) {
  return mkBytes(b, classIndexByteString, s.data(), s.size(), 0);
}

// One Symbol per text, each given its identity hash at once so that the sorted method
// dictionaries can be searched by hash.
oop mkSymbol(MkBld& b, const std::string& text) {
  auto it = b.out.symbols.find(text);
  if (it != b.out.symbols.end()) return it->second;
  oop s = mkBytes(b, b.symbolIndex, text.data(), text.size(), 0);
  if (s == 0) return 0;
  getObjHash(headerOf(s));
  b.symbolOrder.push_back(s);
  b.out.symbols[text] = s;
  return s;
}

// ---------------------------------------------------------------- literals

static oop largeInteger(MkBld& b, const MkLiteral& l) {
  uint32_t tag = l.negative ? classIndexLargeNegativeInteger : classIndexLargePositiveInteger;
  if (classTable[0][tag] == sysOop(sysEmptySlotMarker))
    return mkFail(b, "a large integer literal needs the LargeInteger classes"), 0;
  if (l.magnitude.size() < 8 || l.magnitude.back() == 0)
    return mkFail(b, "a large integer literal is not normalised"), 0;
  return mkBytes(b, tag, l.magnitude.data(), l.magnitude.size(), isImmutableBit);
}

static oop floatLiteral(MkBld& b, double d) {
  if (fitsSmallDouble(d)) return smallDoubleFor(d);
  if (classTable[0][classIndexDouble] == sysOop(sysEmptySlotMarker))
    return mkFail(b, "a float literal needs the Double class"), 0;
  return mkBytes(b, classIndexDouble, &d, 8, isImmutableBit);
}

static oop classNamed(MkBld& b, const std::string& name, bool meta) {
  auto it = b.out.classes.find(name);
  if (it == b.out.classes.end()) return mkFail(b, "no class named " + name), 0;
  return meta ? classOf(it->second) : it->second;
}

oop mkLiteral(MkBld& b, const MkLiteral& l, const MkMethod& owner, oop cls, oop home) {
  switch (l.kind) {
    case mkLitNil: return b.nil;
    case mkLitTrue: return sysOop(sysTrue);
    case mkLitFalse: return sysOop(sysFalse);
    case mkLitSmallInt:
      if (!fitsSmallInteger(l.small)) return mkFail(b, "a small integer literal is out of range"), 0;
      return smallIntegerFor(l.small);
    case mkLitLargeInt: return largeInteger(b, l);
    case mkLitFloat: return floatLiteral(b, l.real);
    case mkLitChar: return characterFor(uint64_t(l.small));
    case mkLitString: return mkString(b, l.text);
    case mkLitSymbol: return mkSymbol(b, l.text);
    case mkLitArray: {
      std::vector<oop> values;
      for (const MkLiteral& e : l.elements) {
        values.push_back(mkLiteral(b, e, owner, cls, home));
        if (values.back() == 0) return 0;
      }
      return mkArrayOf(b, values);
    }
    case mkLitClass: return classNamed(b, l.text, false);
    case mkLitMeta: return classNamed(b, l.text, true);
    case mkLitSystem: return b.out.system;
    case mkLitBlock:
      if (l.block < 0 || size_t(l.block) >= owner.blocks.size())
        return mkFail(b, "a block literal names no block"), 0;
      return mkMethodObject(b, owner.blocks[size_t(l.block)], cls, home);
  }
  return mkFail(b, "unknown literal kind"), 0;
}

// ---------------------------------------------------------------- methods

// A CompiledMethod (or block method): bytecode holder, class, selector or home method, then
// the literals. home is 0 for a method, which is then its own blocks' home.
// An external method's slots after the selector: handle nil, flags, kinds, the struct sizes
// 0, result class, descriptor and handle table nil, the C name and the library name.
enum : uint64_t { externalSlots = 10 };
static bool fillExternalSlots(MkBld& b, const MkMethod& m, oop method) {
  const MkCCall& c = m.cCall;
  oop kinds = mkBytes(b, classIndexByteArray, c.kinds.data(), c.kinds.size(), 0);
  oop name = kinds ? mkString(b, c.name) : 0;
  oop library = name ? mkString(b, c.library) : 0;
  if (library == 0) return false;
  if (!fitsSmallInteger(c.flags)) return mkFail(b, "the flags of " + m.selector + " are out of range");
  const oop slots[externalSlots] = {b.nil,
                                    smallIntegerFor(c.flags),
                                    kinds,
                                    smallIntegerFor(0),
                                    smallIntegerFor(0),
                                    b.nil,
                                    b.nil,
                                    b.nil,
                                    name,
                                    library};
  for (uint64_t i = 0; i < externalSlots; i++) mkStore(method, 3 + i, slots[i]);
  return true;
}

oop mkMethodObject(MkBld& b, const MkMethod& m, oop cls, oop home) {
  if (m.external && b.externalMethodIndex == 0)
    return mkFail(b, "the external method " + m.selector + " needs the class ExternalMethod"), 0;
  oop bytes = mkBytes(b, classIndexByteArray, m.bytes.data(), m.bytes.size(), 0);
  uint32_t tag = m.isBlock ? b.blockMethodIndex : m.external ? b.externalMethodIndex : b.methodIndex;
  uint64_t named = m.external ? 3 + externalSlots : 3;
  oop method = bytes ? mkPointers(b, tag, named, named + m.literals.size(), 0) : 0;
  if (method == 0) return 0;
  mkStore(method, 0, bytes);
  mkStore(method, 1, cls);
  mkStore(method, 2, m.isBlock ? home : mkSymbol(b, m.selector));
  if (m.external && !fillExternalSlots(b, m, method)) return 0;
  b.out.methods[&m] = method;
  for (size_t i = 0; i < m.literals.size(); i++) {
    oop v = mkLiteral(b, m.literals[i], m, cls, home ? home : method);
    if (v == 0) return 0;
    mkStore(method, named + i, v);
  }
  return method;
}

// A method dictionary: (selector, method) pairs, ordered by the selector's identity hash so
// that large dictionaries can be searched by halving.
oop mkDictionary(MkBld& b, const std::vector<MkMethod>& methods, oop cls) {
  std::vector<std::pair<oop, oop>> pairs;
  for (const MkMethod& m : methods) {
    oop method = mkMethodObject(b, m, cls, 0);
    if (method == 0) return 0;
    pairs.push_back({slotOf(method, 2), method});
  }
  std::sort(pairs.begin(), pairs.end(), [](const std::pair<oop, oop>& x, const std::pair<oop, oop>& y) {
    return hashOf(headerOf(x.first)) < hashOf(headerOf(y.first));
  });
  oop d = mkPointers(b, b.dictionaryIndex, 0, 2 * pairs.size(), 0);
  for (size_t i = 0; d && i < pairs.size(); i++) {
    mkStore(d, 2 * i, pairs[i].first);
    mkStore(d, 2 * i + 1, pairs[i].second);
  }
  return d;
}
