// mkimage tests: the kernel objects built in the engine's own old space: the heap verifier's
// verdict, registry roles, class table, metaclasses, lookup through the method dictionaries,
// methods against their records, literals, and the process that starts the program.
#include <cmath>
#include <cstring>
#include <set>

#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "mman/heapVerifier.h"
#include "mman/mmDebug.h"
#include "mman/mmImageHeader.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

namespace {

// The image writer's empty heap, as mkimage makes it.
void emptyHeap() { ASSERT_TRUE(mkNewHeap()); }

struct Built {
  MkProgram program;
  MkBuilt out;
};

// Compiles the kernel, Hello and the extra sources and builds the heap.
void build(Built& b, const std::vector<MkSource>& extra = {}, std::vector<std::string> args = {"Hello"}) {
  std::vector<MkSource> all = extra;
  all.push_back({"Hello.som", readText(std::string(MKIMAGE_DIR) + "/examples/Hello.som")});
  b.program = compileWithKernel(all);
  emptyHeap();
  std::string err;
  ASSERT_TRUE(mkBuildHeap(b.program, args, b.out, err)) << err;
}

std::string bytesOf(oop o) {
  ObjectHeader* h = headerOf(o);
  return std::string(reinterpret_cast<const char*>(bodyOf(h)), byteSizeOf(h));
}
uint64_t slotsOf(oop o) { return bodyWordsOf(headerOf(o)); }
uint32_t indexOf(oop cls) { return hashOf(headerOf(cls)); }
bool isMetaclassIndex(Built& b, uint32_t tag) {
  return classOf(classAt(tag)) == b.out.classes.at("Metaclass");
}
bool isSymbol(oop o, const std::string& text) {
  return isHeapObject(o) && classTagOf(headerOf(o)) == 21 && bytesOf(o) == text;
}

// The lookup the engine makes: up the superclass chain, each dictionary searched linearly
// below 128 slots and by halving over selector hashes from 128 on.
oop lookup(oop cls, oop selector) {
  uint32_t h = hashOf(headerOf(selector));
  for (oop c = cls; c != nilOop(); c = superclassOf(c)) {
    oop d = slotOf(c, 1);
    uint64_t n = slotsOf(d);
    if (n < 128) {
      for (uint64_t i = 0; i + 1 < n; i += 2)
        if (slotOf(d, i) == selector) return slotOf(d, i + 1);
      continue;
    }
    uint64_t lo = 0, hi = n / 2;
    while (lo < hi) {
      uint64_t mid = (lo + hi) / 2;
      uint32_t mh = hashOf(headerOf(slotOf(d, 2 * mid)));
      if (mh == h && slotOf(d, 2 * mid) == selector) return slotOf(d, 2 * mid + 1);
      if (mh < h)
        lo = mid + 1;
      else
        hi = mid;
    }
  }
  return 0;
}

}  // namespace

TEST(MkHeap_Build, TheHeapVerifierAcceptsTheKernel) {
  Built b;
  build(b);
  EXPECT_EQ(verifyHeap(), "");
  EXPECT_EQ(sysOopRegistryOop, b.out.registry);
  EXPECT_EQ(bodyOf(headerOf(b.out.registry)), sysOopRegistry);
  iwFreeHeap();
}

TEST(MkHeap_Registry, EveryFixedRoleHoldsItsObject) {
  Built b;
  build(b);
  auto classAtSlot = [](uint32_t slot) { return bytesOf(slotOf(sysOop(slot), 3)); };
  EXPECT_EQ(classAtSlot(sysSmallIntegerClass), "SmallInteger");
  EXPECT_EQ(classAtSlot(sysCharacterClass), "Character");
  for (int i = 0; i < mkNumKernelClasses; i++) {
    const MkKernelClass& k = mkKernelClasses[i];
    if (k.registry == 0) continue;
    SCOPED_TRACE(k.name);
    EXPECT_EQ(sysOop(k.registry), b.out.classes.at(k.name));
    EXPECT_EQ(classAtSlot(k.registry), k.name);
  }
  for (int i = 0; i < mkNumRegistrySelectors; i++)
    EXPECT_TRUE(isSymbol(sysOop(mkRegistrySelectors[i].slot), mkRegistrySelectors[i].selector)) << i;
  EXPECT_EQ(classOf(nilOop()), b.out.classes.at("Nil"));
  EXPECT_EQ(classOf(trueOop()), b.out.classes.at("True"));
  EXPECT_EQ(classOf(falseOop()), b.out.classes.at("False"));
  EXPECT_EQ(classOf(sysOop(sysProcessor)), b.out.classes.at("ProcessorScheduler"));
  EXPECT_EQ(slotsOf(sysOop(sysClassTablePages)), uint64_t(classTablePages));
  EXPECT_EQ(sysOop(sysRt), rt.object);
  EXPECT_EQ(sysOop(sysOldRt), nilOop());
  ObjectHeader* queue = headerOf(sysOop(sysFinalQueue));
  EXPECT_EQ(classOfHeader(queue), sysOop(sysWeakArrayClass));
  EXPECT_TRUE(isGCSpecial(queue));
  oop marker = sysOop(sysEmptySlotMarker);
  EXPECT_TRUE(isHeapObject(marker) && marker != nilOop());
  oop errors = sysOop(sysPrimErrorTable);
  ASSERT_EQ(slotsOf(errors), uint64_t(mkErrorTableSlots));
  for (int64_t k = 0; k < mkErrorTableSlots; k++)
    EXPECT_EQ(slotOf(errors, uint64_t(k)), smallIntegerFor(-(k + 1)));
  oop specials = sysOop(sysSpecialSelectors);
  ASSERT_EQ(slotsOf(specials), uint64_t(2 * mkNumSpecials));
  for (int i = 0; i < mkNumSpecials; i++) {
    EXPECT_TRUE(isSymbol(slotOf(specials, uint64_t(2 * i)), mkSpecials[i].selector)) << i;
    EXPECT_EQ(slotOf(specials, uint64_t(2 * i + 1)), smallIntegerFor(mkSpecials[i].numArgs)) << i;
  }
  for (uint32_t slot = 0; slot < sysFirstRunTimeSlot; slot++) {
    if (isImmediate(sysOop(slot)) || sysOop(slot) == nilOop()) continue;
    EXPECT_NE(classTagOf(headerOf(sysOop(slot))), 0u) << "registry slot " << slot << " has no class";
  }
  iwFreeHeap();
}

TEST(MkHeap_Classes, IndicesMetaclassesAndFormats) {
  Built b;
  build(b);
  for (int i = 0; i < mkNumKernelClasses; i++) {
    auto it = b.out.classes.find(mkKernelClasses[i].name);
    if (it == b.out.classes.end()) continue;
    EXPECT_EQ(indexOf(it->second), mkKernelClasses[i].classIndex) << mkKernelClasses[i].name;
  }
  oop metaclass = b.out.classes.at("Metaclass");
  std::set<uint32_t> seen;
  for (const auto& [name, cls] : b.out.classes) {
    SCOPED_TRACE(name);
    oop meta = classOf(cls);
    EXPECT_EQ(classAt(indexOf(cls)), cls);
    EXPECT_EQ(classAt(indexOf(meta)), meta);
    EXPECT_TRUE(seen.insert(indexOf(cls)).second && seen.insert(indexOf(meta)).second);
    EXPECT_EQ(classOf(meta), metaclass);
    EXPECT_EQ(slotOf(meta, 5), cls);  // thisClass
    EXPECT_TRUE(isSymbol(slotOf(cls, 3), name));
    oop super = superclassOf(cls);
    EXPECT_EQ(superclassOf(meta), super == nilOop() ? b.out.classes.at("Class") : classOf(super));
    EXPECT_EQ(formatNamedSlots(classFormatOf(meta)), slotsOf(cls));
    EXPECT_EQ(classType(cls), (classFormatOf(cls) & formatIndexable) ? 2 : 1);
  }
  EXPECT_EQ(classType(nilOop()), 0);
  EXPECT_EQ(classType(smallIntegerFor(3)), 0);
  EXPECT_EQ(firstClassTablePage[oopTagSmallInteger], b.out.classes.at("SmallInteger"));
  EXPECT_EQ(firstClassTablePage[oopTagCharacter], b.out.classes.at("Character"));
  EXPECT_EQ(firstClassTablePage[oopTagSmallDouble], b.out.classes.at("SmallDouble"));
  struct {
    const char* name;
    uint64_t format;
  } formats[] = {{"Array", formatPointers | formatIndexable},
                 {"String", formatIndexable},
                 {"Symbol", formatIndexable},
                 {"LargeNegativeInteger", formatIndexable},
                 {"WeakArray", formatPointers | formatIndexable | formatWeak},
                 {"ClassTablePage", formatPointers | formatIndexable | formatWeak},
                 {"CompiledMethod", formatPointers | formatIndexable | 3},
                 {"Process", formatPointers | 4},
                 {"Semaphore", formatPointers | 3},
                 {"ProcessorScheduler", formatPointers | 2},
                 {"Block", formatPointers | 3},
                 {"BlockContext", formatPointers | 6},
                 {"Message", formatPointers | 2},
                 {"Class", formatPointers | 5},
                 {"Metaclass", formatPointers | 6}};
  for (const auto& f : formats) EXPECT_EQ(classFormatOf(b.out.classes.at(f.name)), f.format) << f.name;
  EXPECT_EQ(formatNamedSlots(classFormatOf(classOf(b.out.classes.at("Symbol")))), 6u);  // + table
  iwFreeHeap();
}

// Class>>fields: every class and metaclass holds its instances' field names, one Symbol per
// named slot, the inherited ones first; the debug printers still find a class's name and a
// metaclass's class by their slots.
TEST(MkHeap_Classes, FieldNamesOfClassesAndMetaclasses) {
  Built b;
  build(b, {{"Fields.som",
             "FieldsRoot = nil ( | a b | ---- | r | )\n"
             "FieldsSub = FieldsRoot ( | c | ---- | s t | )\n"}});
  auto names = [](oop cls) {
    std::vector<std::string> out;
    oop a = slotOf(cls, 4);
    EXPECT_EQ(classTagOf(headerOf(a)), uint32_t(classIndexArray));
    for (uint64_t i = 0; i < slotsOf(a); i++) {
      EXPECT_EQ(classTagOf(headerOf(slotOf(a, i))), 21u) << i;
      out.push_back(bytesOf(slotOf(a, i)));
    }
    return out;
  };
  using Names = std::vector<std::string>;
  const Names classFields = {"superclass", "methodDictionary", "format", "name", "instanceFields"};
  auto with = [](Names front, const Names& back) {
    front.insert(front.end(), back.begin(), back.end());
    return front;
  };
  oop sub = b.out.classes.at("FieldsSub");
  EXPECT_EQ(names(b.out.classes.at("FieldsRoot")), (Names{"a", "b"}));
  EXPECT_EQ(names(sub), (Names{"a", "b", "c"}));
  EXPECT_EQ(names(classOf(sub)), with(classFields, {"r", "s", "t"}));
  EXPECT_EQ(names(b.out.classes.at("Metaclass")), with(classFields, {"thisClass"}));
  EXPECT_EQ(names(b.out.classes.at("Object")), Names{});
  for (const auto& [name, cls] : b.out.classes) {
    SCOPED_TRACE(name);
    EXPECT_EQ(names(cls).size(), formatNamedSlots(classFormatOf(cls)));
    EXPECT_EQ(names(classOf(cls)).size(), slotsOf(cls));
  }
  initDebugPrims();
  uint64_t n = 0;
  const char* text = dbClassNameBytes(sub, &n);
  EXPECT_EQ(std::string(text ? text : "", n), "FieldsSub");
  EXPECT_EQ(thisClassX, 5);
  EXPECT_EQ(metaclassInstSize, 6);
  classNameX = thisClassX = metaclassInstSize = -1;
  iwFreeHeap();
}

// Every object in the heap is an instance its class can describe: a real class (not the
// empty-slot marker), the class's pointer or byte kind, its named slots, and a fixed size
// when the class is not indexable. A stray object left under a reused class index fails.
TEST(MkHeap_Classes, EveryObjectFitsItsClass) {
  Built b;
  build(b);
  writeBackOldSpace();
  oop marker = sysOop(sysEmptySlotMarker);
  size_t objects = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + objectHeaderBytes; a <= s->otHigh; a += objectHeaderBytes) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
      uint32_t tag = classTagOf(h);
      if (tag == 0) continue;  // a free entry
      objects++;
      oop cls = classAt(tag);
      ASSERT_NE(cls, marker) << "class index " << tag;
      uint64_t format = classFormatOf(cls);
      uint64_t named = formatNamedSlots(format);
      SCOPED_TRACE(bytesOf(slotOf(isMetaclassIndex(b, tag) ? slotOf(cls, 4) : cls, 3)));
      EXPECT_EQ(hasPtrs(h), (format & formatPointers) != 0);
      if (!(format & formatPointers)) continue;
      EXPECT_GE(bodyWordsOf(h), named);
      if (!(format & formatIndexable)) { EXPECT_EQ(bodyWordsOf(h), named); }
    }
  EXPECT_GT(objects, 1000u);
  iwFreeHeap();
}

TEST(MkHeap_Methods, LookupFindsEveryMethodAndDictionariesAreSorted) {
  std::string big = "Big = (";
  for (int i = 0; i < 80; i++) big += " m" + std::to_string(i) + " = ( ^" + std::to_string(i) + " )";
  Built b;
  build(b, {{"big.som", big + " )"}});
  for (const MkClass& k : b.program.classes) {
    oop cls = b.out.classes.at(k.name);
    for (int side = 0; side < 2; side++) {
      oop holder = side ? classOf(cls) : cls;
      oop d = slotOf(holder, 1);
      EXPECT_EQ(classOf(d), b.out.classes.at("MethodDictionary"));
      for (uint64_t i = 2; i + 1 < slotsOf(d); i += 2)
        EXPECT_LT(hashOf(headerOf(slotOf(d, i - 2))), hashOf(headerOf(slotOf(d, i))));
      for (const MkMethod& m : side ? k.classMethods : k.methods)
        EXPECT_EQ(lookup(holder, b.out.symbols.at(m.selector)), b.out.methods.at(&m))
            << k.name << ">>" << m.selector;
    }
  }
  oop object = b.out.classes.at("Object");
  EXPECT_EQ(slotsOf(slotOf(b.out.classes.at("Big"), 1)), 160u);  // searched by halving
  oop println = lookup(b.out.classes.at("SmallInteger"), b.out.symbols.at("println"));
  EXPECT_EQ(slotOf(println, 1), object);
  EXPECT_EQ(lookup(b.out.classes.at("Hello"), b.out.symbols.at("at:put:")), 0u);
  oop newMethod = lookup(classOf(b.out.classes.at("Hello")), b.out.symbols.at("new"));
  EXPECT_EQ(slotOf(newMethod, 1), b.out.classes.at("Class"));
  iwFreeHeap();
}

namespace {

void checkMethod(Built& b, const MkMethod& m, oop cls, oop home) {
  SCOPED_TRACE(m.className + ">>" + m.selector);
  oop method = b.out.methods.at(&m);
  ObjectHeader* h = headerOf(method);
  EXPECT_EQ(classOfHeader(h), b.out.classes.at(m.isBlock ? "CompiledBlock" : "CompiledMethod"));
  EXPECT_EQ(indexabilityOf(h), 3u);
  ASSERT_EQ(slotsOf(method), 3 + m.literals.size());
  oop bytes = slotOf(method, 0);
  EXPECT_EQ(classTagOf(headerOf(bytes)), uint32_t(classIndexByteArray));
  EXPECT_EQ(bytesOf(bytes), std::string(m.bytes.begin(), m.bytes.end()));
  EXPECT_EQ(slotOf(method, 1), cls);
  if (m.isBlock)
    EXPECT_EQ(slotOf(method, 2), home);
  else
    EXPECT_TRUE(isSymbol(slotOf(method, 2), m.selector));
  for (size_t i = 0; i < m.literals.size(); i++) {
    const MkLiteral& l = m.literals[i];
    oop v = slotOf(method, 3 + i);
    switch (l.kind) {
      case mkLitSmallInt: EXPECT_EQ(v, smallIntegerFor(l.small)); break;
      case mkLitSymbol: EXPECT_TRUE(isSymbol(v, l.text)); break;
      case mkLitString:
        EXPECT_EQ(classTagOf(headerOf(v)), uint32_t(classIndexByteString));
        EXPECT_EQ(bytesOf(v), l.text);
        break;
      case mkLitClass: EXPECT_EQ(v, b.out.classes.at(l.text)); break;
      case mkLitSystem: EXPECT_EQ(v, b.out.system); break;
      case mkLitBlock:
        EXPECT_EQ(v, b.out.methods.at(&m.blocks[size_t(l.block)]));
        checkMethod(b, m.blocks[size_t(l.block)], cls, home ? home : method);
        break;
      default: break;  // encodings of the other kinds: LiteralsTakeTheirHeapForms
    }
  }
}

}  // namespace

TEST(MkHeap_Methods, ObjectsMatchTheirRecords) {
  Built b;
  build(b, {{"x.som", readText(std::string(MKIMAGE_DIR) + "/examples/Blocks.som")}});
  size_t count = 0;
  for (const MkClass& k : b.program.classes) {
    oop cls = b.out.classes.at(k.name);
    for (const MkMethod& m : k.methods) checkMethod(b, m, cls, 0), count++;
    for (const MkMethod& m : k.classMethods) checkMethod(b, m, classOf(cls), 0), count++;
  }
  EXPECT_GT(count, 200u);
  iwFreeHeap();
}

TEST(MkHeap_Literals, LiteralsTakeTheirHeapForms) {
  Built b;
  build(b, {{"l.som",
             "L = ( m = ( ^#(1152921504606846976 -1180591620717411303424 1.5 1.0e300 -0.0 $a 'x' #at:put: "
             "(2 nil true) 1152921504606846975) ) n = ( ^L ) o = ( ^system ) )"}});
  oop array = slotOf(b.out.methods.at(&findClass(b.program, "L")->methods[0]), 3);
  ASSERT_EQ(slotsOf(array), 10u);
  auto large = [](oop o, uint32_t tag, std::string magnitude) {
    ObjectHeader* h = headerOf(o);
    EXPECT_EQ(classTagOf(h), tag);
    EXPECT_TRUE(isImmutable(h));
    EXPECT_EQ(bytesOf(o), magnitude);
  };
  large(slotOf(array, 0), classIndexLargePositiveInteger, std::string("\0\0\0\0\0\0\0\x10", 8));
  large(slotOf(array, 1), classIndexLargeNegativeInteger, std::string("\0\0\0\0\0\0\0\0\x40", 9));
  EXPECT_EQ(slotOf(array, 2), smallDoubleFor(1.5));
  ObjectHeader* boxed = headerOf(slotOf(array, 3));
  EXPECT_EQ(classTagOf(boxed), uint32_t(classIndexDouble));
  EXPECT_TRUE(isImmutable(boxed));
  double d;
  memcpy(&d, bodyOf(boxed), 8);
  EXPECT_EQ(d, 1.0e300);
  EXPECT_EQ(slotOf(array, 4), oop(13));
  EXPECT_EQ(slotOf(array, 5), characterFor('a'));
  EXPECT_EQ(bytesOf(slotOf(array, 6)), "x");
  EXPECT_EQ(slotOf(array, 7), b.out.symbols.at("at:put:"));
  oop nested = slotOf(array, 8);
  EXPECT_EQ(classTagOf(headerOf(nested)), uint32_t(classIndexArray));
  EXPECT_EQ(slotOf(nested, 0), smallIntegerFor(2));
  EXPECT_EQ(slotOf(nested, 1), nilOop());
  EXPECT_EQ(slotOf(nested, 2), trueOop());
  EXPECT_EQ(slotOf(array, 9), smallIntegerFor(smallIntegerMax));
  EXPECT_EQ(verifyHeap(), "");
  iwFreeHeap();
}

// An external method: an ExternalMethod running primitive 395 whose slots after the selector
// are the engine's (handle nil, flags, kinds, zero sizes, nils), then the C name and library;
// its last literal holds the type symbols, result first.
TEST(MkHeap_Methods, ExternalMethodsCarryTheirCall) {
  Built b;
  build(b, {{"CInterface.som", readText(std::string(MKIMAGE_DIR) + "/kernel/CInterface.som")},
            {"c.som",
             "C = ( cos: x = ( <cCall: 'cos' library: 'libm.so.6' returns: #double args: #(#double)> ) "
             "put: s at: p = ( <cCall: 'fputs' library: '' returns: #int args: #(#pointer #struct:P) flags: "
             "8> ) )"}});
  const MkClass* c = findClass(b.program, "C");
  oop cos = b.out.methods.at(&c->methods[0]);
  EXPECT_EQ(classOf(cos), b.out.classes.at("ExternalMethod"));
  EXPECT_EQ(formatNamedSlots(classFormatOf(classOf(cos))), 13u);
  EXPECT_EQ(c->methods[0].primitive, 395);
  EXPECT_EQ(slotOf(cos, 3), nilOop());
  EXPECT_EQ(slotOf(cos, 4), smallIntegerFor(0));
  EXPECT_EQ(bytesOf(slotOf(cos, 5)), std::string("\x09\x09", 2));
  EXPECT_EQ(slotOf(cos, 6), smallIntegerFor(0));
  EXPECT_EQ(slotOf(cos, 7), smallIntegerFor(0));
  EXPECT_EQ(bytesOf(slotOf(cos, 11)), "cos");
  EXPECT_EQ(bytesOf(slotOf(cos, 12)), "libm.so.6");
  oop types = slotOf(cos, slotsOf(cos) - 1);
  ASSERT_EQ(slotsOf(types), 2u);
  EXPECT_TRUE(isSymbol(slotOf(types, 0), "double"));
  oop put = b.out.methods.at(&c->methods[1]);
  EXPECT_EQ(slotOf(put, 4), smallIntegerFor(8));
  EXPECT_EQ(bytesOf(slotOf(put, 5)), std::string("\x04\x0d\x11", 3));
  EXPECT_EQ(bytesOf(slotOf(put, 12)), "");
  oop putTypes = slotOf(put, slotsOf(put) - 1);
  EXPECT_TRUE(isSymbol(slotOf(putTypes, 2), "struct:P"));
  EXPECT_EQ(verifyHeap(), "");
  iwFreeHeap();
}

TEST(MkHeap_Start, TheActiveProcessResumesSystemStart) {
  Built b;
  build(b, {}, {"Hello", "a b"});
  oop scheduler = sysOop(sysProcessor);
  oop lists = slotOf(scheduler, 0);
  ASSERT_EQ(slotsOf(lists), uint64_t(mkPriorityLevels));
  for (uint64_t p = 0; p < mkPriorityLevels; p++) {
    EXPECT_EQ(classOf(slotOf(lists, p)), b.out.classes.at("LinkedList"));
    EXPECT_EQ(slotOf(slotOf(lists, p), 0), nilOop());
    EXPECT_EQ(slotOf(slotOf(lists, p), 1), nilOop());
  }
  oop process = slotOf(scheduler, 1);
  EXPECT_EQ(process, b.out.process);
  EXPECT_EQ(slotOf(process, 0), nilOop());
  EXPECT_EQ(slotOf(process, 2), smallIntegerFor(mkStartPriority));
  EXPECT_EQ(slotOf(process, 3), nilOop());
  oop context = slotOf(process, 1);
  EXPECT_EQ(classTagOf(headerOf(context)), uint32_t(classIndexMethodContext));
  EXPECT_EQ(lookup(b.out.classes.at("System"), b.out.symbols.at("start")), slotOf(context, 0));
  EXPECT_EQ(slotOf(context, 1), smallIntegerFor(1));
  EXPECT_EQ(slotOf(context, 2), nilOop());
  EXPECT_EQ(slotOf(context, 3), b.out.system);
  const MkMethod* start = findMethod(b.program, "System", "start");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(slotOf(context, 4), smallIntegerFor(start->numTemps));
  oop frame = slotOf(context, 5);
  EXPECT_EQ(classTagOf(headerOf(frame)), uint32_t(classIndexArray));
  EXPECT_GE(slotsOf(frame), uint64_t(mkContextFrameMin));
  EXPECT_EQ(slotOf(frame, 0), nilOop());
  // System: globals name every class, arguments are the image's Strings, processor the scheduler.
  oop system = b.out.system;
  oop globals = slotOf(system, 0), args = slotOf(system, 1);
  ASSERT_EQ(slotsOf(globals), 2 * b.program.classes.size());
  for (size_t i = 0; i < b.program.classes.size(); i++) {
    EXPECT_TRUE(isSymbol(slotOf(globals, 2 * i), b.program.classes[i].name));
    EXPECT_EQ(slotOf(globals, 2 * i + 1), b.out.classes.at(b.program.classes[i].name));
  }
  ASSERT_EQ(slotsOf(args), 2u);
  EXPECT_EQ(bytesOf(slotOf(args, 0)), "Hello");
  EXPECT_EQ(bytesOf(slotOf(args, 1)), "a b");
  EXPECT_EQ(slotOf(system, 2), scheduler);
  // Symbol's table holds every Symbol once, so that interning finds them.
  oop table = slotOf(b.out.classes.at("Symbol"), 5);  // after Class's fields
  std::set<oop> inTable;
  for (uint64_t i = 0; i < slotsOf(table); i++) inTable.insert(slotOf(table, i));
  EXPECT_EQ(inTable.size(), slotsOf(table));
  EXPECT_EQ(inTable.size(), b.out.symbols.size());
  for (const auto& [text, s] : b.out.symbols) EXPECT_TRUE(inTable.count(s)) << text;
  iwFreeHeap();
}

TEST(MkHeap_Build, SameInputSameHashesAndIndices) {
  Built first, second;
  build(first);
  uint32_t hash = lastHash, pointer = classTableAllocationPointer;
  uint64_t used = slotsUsedInOldSpace(), entries = otEntriesUsedInOldSpace();
  std::map<std::string, uint32_t> hashes;
  for (const auto& [text, s] : first.out.symbols) hashes[text] = hashOf(headerOf(s));
  build(second);
  EXPECT_EQ(lastHash, hash);
  EXPECT_EQ(classTableAllocationPointer, pointer);
  EXPECT_EQ(slotsUsedInOldSpace(), used);
  EXPECT_EQ(otEntriesUsedInOldSpace(), entries);
  for (const auto& [text, s] : second.out.symbols) EXPECT_EQ(hashOf(headerOf(s)), hashes[text]) << text;
  iwFreeHeap();
}

TEST(MkHeap_Errors, MissingKernelPiecesAreReported) {
  struct Case {
    std::vector<MkSource> sources;
    const char* expected;
  } cases[] = {
      {{{"a.som", "Object = nil ( )"}}, "the kernel class Class is missing"},
  };
  for (const Case& c : cases) {
    MkProgram p;
    MkError e;
    ASSERT_TRUE(mkCompile(c.sources, p, e)) << mkFormatError(e);
    emptyHeap();
    MkBuilt out;
    std::string err;
    EXPECT_FALSE(mkBuildHeap(p, {}, out, err));
    EXPECT_EQ(err, c.expected);
  }
  // Without System>>start there is nothing to run.
  std::vector<MkSource> kernel = kernelSources();
  for (MkSource& s : kernel)
    if (s.name == "kernel/System.som") {
      size_t at = s.text.find("    start = (");
      ASSERT_NE(at, std::string::npos);
      s.text.replace(at, strlen("    start = ("), "    begin = (");
    }
  MkProgram p;
  MkError e;
  ASSERT_TRUE(mkCompile(kernel, p, e)) << mkFormatError(e);
  emptyHeap();
  MkBuilt out;
  std::string err;
  EXPECT_FALSE(mkBuildHeap(p, {}, out, err));
  EXPECT_EQ(err, "System has no method start");
  iwFreeHeap();
}
