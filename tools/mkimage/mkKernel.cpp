// mkimage: the kernel's fixed structure: nil, true, false, the registry and class table,
// classes and metaclasses, System, the scheduler and the process that starts the program.
// Owns no globals (fills the engine's). Prefix mk.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "imageWriter.h"
#include "mkHeapBuild.h"
#include "mman/mmImageHeader.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

// Instance kinds by class name; a class without an entry takes its nearest ancestor's, and
// the default is fixed pointers. Immediate classes have no instances.
static const struct {
  const char* name;  // class
  uint64_t kind;     // format bits above the named count
} instanceKinds[] = {
    {"Array", formatPointers | formatIndexable},
    {"WeakArray", formatPointers | formatIndexable | formatWeak},
    {"ClassTablePage", formatPointers | formatIndexable | formatWeak},
    {"MethodDictionary", formatPointers | formatIndexable},
    {"CompiledMethod", formatPointers | formatIndexable},
    {"CompiledBlock", formatPointers | formatIndexable},
    {"String", formatIndexable},
    {"Symbol", formatIndexable},
    {"ByteArray", formatIndexable},
    {"LargePositiveInteger", formatIndexable},
    {"Double", formatIndexable},
    {"SmallInteger", 0},
    {"Character", 0},
    {"SmallDouble", 0},
};

static const char* const requiredClasses[] = {
    "Object",           "Class",          "Metaclass",     "Nil",    "True",    "False",
    "MethodDictionary", "CompiledMethod", "CompiledBlock", "System", "Process", "ProcessorScheduler",
    "LinkedList"};

// Class's leading fields; the engine reads the first three, its printers find the name.
static const char* const classFields[] = {"superclass", "methodDictionary", "format", "name",
                                          "instanceFields"};
enum : uint32_t { classFieldCount = 5, classNameSlot = 3, classInstanceFieldsSlot = 4 };

// Class records from the root down to name.
static std::vector<const MkClass*> chainOf(MkBld& b, const std::string& name) {
  std::vector<const MkClass*> out;
  for (auto it = b.defs.find(name); it != b.defs.end(); it = b.defs.find(it->second->superName)) {
    out.insert(out.begin(), it->second);
    if (it->second->superName.empty()) break;
  }
  return out;
}

static std::vector<std::string> fieldsOf(MkBld& b, const std::string& name, bool classSide) {
  std::vector<std::string> out;
  if (classSide)
    for (const MkClass* k : chainOf(b, "Class"))
      out.insert(out.end(), k->instVars.begin(), k->instVars.end());
  for (const MkClass* k : chainOf(b, name)) {
    const std::vector<std::string>& vs = classSide ? k->classVars : k->instVars;
    out.insert(out.end(), vs.begin(), vs.end());
  }
  return out;
}

static int fieldIndex(MkBld& b, const std::string& cls, const std::string& field, bool classSide) {
  std::vector<std::string> fs = fieldsOf(b, cls, classSide);
  for (size_t i = 0; i < fs.size(); i++)
    if (fs[i] == field) return int(i);
  mkFail(b, "class " + cls + " has no field " + field);
  return -1;
}

static bool formatFor(MkBld& b, const std::string& name, uint64_t& format) {
  std::vector<const MkClass*> chain = chainOf(b, name);
  uint64_t kind = formatPointers;
  for (const MkClass* k : chain)
    for (const auto& e : instanceKinds)
      if (k->name == e.name) kind = e.kind;
  uint64_t named = fieldsOf(b, name, false).size();
  if (named > formatNamedMask) return mkFail(b, "class " + name + " has too many fields");
  if (!(kind & formatPointers) && (kind & formatIndexable) && named != 0)
    return mkFail(b, "byte class " + name + " cannot have fields");
  format = kind | named;
  return true;
}

// ---------------------------------------------------------------- roots

// The image writer's heap already holds nil, true, false, the empty-slot marker, the
// registry, class-table page 0, the PrimErrorTable and the remembered table. Its stand-in
// classes (the class the constants carry, and its instances at the reserved indices and
// their registry slots) are freed, so that no stray instance of a reused index stays in the
// image and the first free index goes to the kernel.
static bool adoptRoots(MkBld& b) {
  if (sysOopRegistryOop == 0 || firstClassTablePage == nullptr)
    return mkFail(b, "the heap has no registry or class table");
  b.out.registry = sysOopRegistryOop;
  b.nil = sysOop(sysNil);
  oop marker = sysOop(sysEmptySlotMarker);
  uint32_t standIn = classTagOf(headerOf(b.nil));
  std::vector<oop> standIns;
  for (uint32_t i = 0; i < classTablePageSlots; i++) {
    oop c = firstClassTablePage[i];
    if (c == marker || !isHeapObject(c) || classTagOf(headerOf(c)) != standIn) continue;
    firstClassTablePage[i] = marker;
    standIns.push_back(c);
  }
  for (uint32_t slot = 0; slot < sysFirstRunTimeSlot; slot++)
    if (std::find(standIns.begin(), standIns.end(), sysOop(slot)) != standIns.end())
      registerSysOop(b.nil, slot);
  for (oop c : standIns) recycleOldObj(headerOf(c));
  classTableAllocationPointer = classIndexFirstFree;
  return true;
}

// ---------------------------------------------------------------- classes

static bool checkClasses(MkBld& b) {
  for (const MkClass& k : b.p.classes) b.defs[k.name] = &k;
  for (const char* name : requiredClasses)
    if (!b.defs.count(name)) return mkFail(b, std::string("the kernel class ") + name + " is missing");
  for (int i = 0; i < mkNumKernelClasses; i++)
    if (mkKernelClasses[i].required && !b.defs.count(mkKernelClasses[i].name))
      return mkFail(b, std::string("the kernel class ") + mkKernelClasses[i].name + " is missing");
  std::vector<std::string> fs = fieldsOf(b, "Class", false);
  for (uint32_t i = 0; i < classFieldCount; i++)
    if (fs.size() <= i || fs[i] != classFields[i])
      return mkFail(
          b, "Class must begin with the fields superclass methodDictionary format name instanceFields");
  return fieldIndex(b, "Metaclass", "thisClass", false) >= 0;
}

static const MkKernelClass* reservedFor(const std::string& name) {
  for (int i = 0; i < mkNumKernelClasses; i++)
    if (name == mkKernelClasses[i].name) return &mkKernelClasses[i];
  return nullptr;
}

static bool enterClass(MkBld& b, oop cls) {
  if (enterIntoClassTable(cls) != 0) return mkFail(b, "the class table is full");
  return true;
}

// Every class and metaclass gets its object and class index: kernel classes their reserved
// index, the rest the next free ones in definition order (a class, then its metaclass).
static bool makeClassObjects(MkBld& b, std::map<std::string, oop>& metas) {
  size_t metaNamed = fieldsOf(b, "Metaclass", false).size();
  for (const MkClass& k : b.p.classes) {
    oop cls = mkPointers(b, 0, fieldsOf(b, k.name, true).size(), fieldsOf(b, k.name, true).size(), 0);
    oop meta = cls ? mkPointers(b, 0, metaNamed, metaNamed, 0) : 0;
    if (meta == 0) return false;
    b.out.classes[k.name] = cls;
    metas[k.name] = meta;
    if (const MkKernelClass* r = reservedFor(k.name)) {
      classTable[0][r->classIndex] = cls;
      setHash(headerOf(cls), r->classIndex);
    }
  }
  for (const MkClass& k : b.p.classes) {
    if (!reservedFor(k.name) && !enterClass(b, b.out.classes[k.name])) return false;
    if (!enterClass(b, metas[k.name])) return false;
  }
  uint32_t metaclassIndex = hashOf(headerOf(b.out.classes["Metaclass"]));
  for (const MkClass& k : b.p.classes) {
    setClassTag(headerOf(b.out.classes[k.name]), hashOf(headerOf(metas[k.name])));
    setClassTag(headerOf(metas[k.name]), metaclassIndex);
  }
  return true;
}

// The field names of a class's instances (classSide: of the class itself) as an Array of
// Symbols, the inherited ones first, for Class>>fields.
static oop fieldNames(MkBld& b, const std::string& name, bool classSide) {
  std::vector<oop> symbols;
  for (const std::string& f : fieldsOf(b, name, classSide)) {
    symbols.push_back(mkSymbol(b, f));
    if (symbols.back() == 0) return 0;
  }
  return mkArrayOf(b, symbols);
}

static bool fillClass(MkBld& b, const MkClass& k, oop cls, oop meta,
                      const std::map<std::string, oop>& metas) {
  uint64_t format;
  if (!formatFor(b, k.name, format)) return false;
  oop name = mkSymbol(b, k.name);
  oop fields = name ? fieldNames(b, k.name, false) : 0;
  oop metaFields = fields ? fieldNames(b, k.name, true) : 0;
  if (metaFields == 0) return false;
  oop super = k.superName.empty() ? b.nil : b.out.classes[k.superName];
  mkStore(cls, classSuperclassSlot, super);
  mkStore(cls, classFormatSlot, smallIntegerFor(int64_t(format)));
  mkStore(cls, classNameSlot, name);
  mkStore(cls, classInstanceFieldsSlot, fields);
  mkStore(meta, classInstanceFieldsSlot, metaFields);
  oop metaSuper = k.superName.empty() ? b.out.classes["Class"] : metas.at(k.superName);
  mkStore(meta, classSuperclassSlot, metaSuper);
  uint64_t classNamed = fieldsOf(b, k.name, true).size();
  mkStore(meta, classFormatSlot, smallIntegerFor(int64_t(formatPointers | classNamed)));
  mkStore(meta, uint64_t(fieldIndex(b, "Metaclass", "thisClass", false)), cls);
  oop d = mkDictionary(b, k.methods, cls);
  oop md = d ? mkDictionary(b, k.classMethods, meta) : 0;
  if (md == 0) return false;
  mkStore(cls, 1, d);
  mkStore(meta, 1, md);
  return true;
}

static bool makeClasses(MkBld& b) {
  std::map<std::string, oop> metas;
  if (!checkClasses(b) || !makeClassObjects(b, metas)) return false;
  b.methodIndex = hashOf(headerOf(b.out.classes["CompiledMethod"]));
  b.blockMethodIndex = hashOf(headerOf(b.out.classes["CompiledBlock"]));
  b.dictionaryIndex = hashOf(headerOf(b.out.classes["MethodDictionary"]));
  auto external = b.out.classes.find("ExternalMethod");
  b.externalMethodIndex = external == b.out.classes.end() ? 0 : hashOf(headerOf(external->second));
  // The constants were made bare; their headers take the kind their classes give instances.
  uint64_t format;
  const std::pair<uint32_t, const char*> constants[] = {
      {sysNil, "Nil"}, {sysTrue, "True"}, {sysFalse, "False"}, {sysEmptySlotMarker, "Object"}};
  for (const auto& [slot, name] : constants) {
    ObjectHeader* h = headerOf(sysOop(slot));
    if (!formatFor(b, name, format)) return false;
    if (formatNamedSlots(format) != 0)
      return mkFail(b, std::string("class ") + name + " must have no fields");
    setClassTag(h, hashOf(headerOf(b.out.classes[name])));
    if (format & formatPointers) setFlag(h, hasPtrsBit);
  }
  // System's one instance exists before any method, since literals may name it.
  if (!formatFor(b, "System", format)) return false;
  b.out.system = mkPointers(b, hashOf(headerOf(b.out.classes["System"])), formatNamedSlots(format),
                            formatNamedSlots(format), 0);
  if (b.out.system == 0) return false;
  for (const MkClass& k : b.p.classes)
    if (!fillClass(b, k, b.out.classes[k.name], metas[k.name], metas)) return false;
  return true;
}

// ---------------------------------------------------------------- registry

static bool registerClasses(MkBld& b) {
  for (int i = 0; i < mkNumKernelClasses; i++) {
    const MkKernelClass& r = mkKernelClasses[i];
    auto it = b.out.classes.find(r.name);
    if (r.registry != 0 && it != b.out.classes.end()) registerSysOop(it->second, r.registry);
  }
  for (int i = 0; i < mkNumRegistrySelectors; i++) {
    oop s = mkSymbol(b, mkRegistrySelectors[i].selector);
    if (s == 0) return false;
    registerSysOop(s, mkRegistrySelectors[i].slot);
  }
  std::vector<oop> pairs;
  for (int i = 0; i < mkNumSpecials; i++) {
    pairs.push_back(mkSymbol(b, mkSpecials[i].selector));
    pairs.push_back(smallIntegerFor(mkSpecials[i].numArgs));
  }
  oop specials = mkArrayOf(b, pairs);
  if (specials == 0) return false;
  registerSysOop(specials, sysSpecialSelectors);
  return true;
}

// The finalization queue (a WeakArray), when the kernel has the class.
static bool makeFinalQueue(MkBld& b) {
  auto weak = b.out.classes.find("WeakArray");
  if (weak == b.out.classes.end()) return true;  // start-up makes it when it can
  uint64_t named = formatNamedSlots(classFormatOf(weak->second));
  oop queue = mkPointers(b, hashOf(headerOf(weak->second)), named, named + mkFinalQueueSlots, isGCSpecialBit);
  if (queue) registerSysOop(queue, sysFinalQueue);
  return queue != 0;
}

// ---------------------------------------------------------------- the starting process

static uint32_t indexOfClass(MkBld& b, const char* name) { return hashOf(headerOf(b.out.classes[name])); }

// A stable method context that runs System>>start from its first bytecode: no sender, its
// temporaries nil in the frame contents.
static oop startContext(MkBld& b) {
  auto sel = b.out.symbols.find("start");
  oop dict = slotOf(b.out.classes["System"], 1);
  oop method = 0;
  for (uint64_t i = 0; sel != b.out.symbols.end() && i + 1 < bodyWordsOf(headerOf(dict)); i += 2)
    if (slotOf(dict, i) == sel->second) method = slotOf(dict, i + 1);
  if (method == 0) return mkFail(b, "System has no method start"), 0;
  b.out.startMethod = method;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(slotOf(method, 0))));
  bool longHeader = (bytes[0] & 0x80) != 0;
  uint64_t numArgs = longHeader ? bytes[1] : (bytes[0] >> 2) & 3;
  uint64_t numTemps = longHeader ? bytes[2] : bytes[0] & 3;
  uint64_t frameSize = longHeader ? bytes[3] : ((bytes[0] & 0x10) ? 12 : 0);
  if (numArgs != 0) return mkFail(b, "System>>start must take no arguments"), 0;
  oop frame = mkPointers(b, classIndexArray, 0, std::max<uint64_t>(frameSize, mkContextFrameMin), 0);
  oop context = frame ? mkPointers(b, classIndexMethodContext, 6, 6, 0) : 0;
  if (context == 0) return 0;
  mkStore(context, 0, method);
  mkStore(context, 1, smallIntegerFor(1));
  mkStore(context, 3, b.out.system);
  mkStore(context, 4, smallIntegerFor(int64_t(numTemps)));
  mkStore(context, 5, frame);
  return context;
}

// The scheduler with its empty ready lists and the active process suspended in the start
// context, as a snapshot leaves them.
static bool makeScheduler(MkBld& b) {
  std::vector<oop> lists;
  for (uint32_t p = 0; p < mkPriorityLevels; p++) {
    lists.push_back(mkPointers(b, indexOfClass(b, "LinkedList"), 2, 2, 0));
    if (lists.back() == 0) return false;
  }
  oop readyLists = mkArrayOf(b, lists);
  oop scheduler = readyLists ? mkPointers(b, indexOfClass(b, "ProcessorScheduler"), 2, 2, 0) : 0;
  oop process = scheduler ? mkPointers(b, indexOfClass(b, "Process"), 4, 4, 0) : 0;
  oop context = process ? startContext(b) : 0;
  if (context == 0) return false;
  mkStore(process, 1, context);
  mkStore(process, 2, smallIntegerFor(mkStartPriority));
  mkStore(scheduler, 0, readyLists);
  mkStore(scheduler, 1, process);
  registerSysOop(scheduler, sysProcessor);
  b.out.process = process;
  b.out.startContext = context;
  return true;
}

// ---------------------------------------------------------------- System and Symbol

static bool fillSystem(MkBld& b, const std::vector<std::string>& args) {
  std::vector<oop> globals, strings;
  for (const MkClass& k : b.p.classes) {
    globals.push_back(mkSymbol(b, k.name));
    globals.push_back(b.out.classes[k.name]);
  }
  for (const std::string& a : args) {
    strings.push_back(mkString(b, a));
    if (strings.back() == 0) return false;
  }
  oop g = mkArrayOf(b, globals);
  oop a = g ? mkArrayOf(b, strings) : 0;
  int gi = fieldIndex(b, "System", "globals", false), ai = fieldIndex(b, "System", "arguments", false);
  int pi = fieldIndex(b, "System", "processor", false);
  if (a == 0 || gi < 0 || ai < 0 || pi < 0) return false;
  mkStore(b.out.system, uint64_t(gi), g);
  mkStore(b.out.system, uint64_t(ai), a);
  mkStore(b.out.system, uint64_t(pi), sysOop(sysProcessor));
  return true;
}

// Symbol's class-side table holds every Symbol, so that interning at run time finds them.
static bool fillSymbolTable(MkBld& b) {
  std::vector<std::string> fs = fieldsOf(b, "Symbol", true);
  for (size_t i = 0; i < fs.size(); i++)
    if (fs[i] == "table") {
      oop table = mkArrayOf(b, b.symbolOrder);
      if (table) mkStore(b.out.classes["Symbol"], i, table);
      return table != 0;
    }
  return true;
}

bool mkBuildHeap(const MkProgram& program, const std::vector<std::string>& args, MkBuilt& out,
                 std::string& err) {
  MkBld b{program, out, {}, 0, 21, 0, 0, 0, 0, {}, {}};
  out = MkBuilt();
  bool ok = adoptRoots(b) && makeClasses(b) && registerClasses(b) && makeScheduler(b) &&
            fillSystem(b, args) && makeFinalQueue(b) && fillSymbolTable(b);
  err = b.err;
  return ok && err.empty();
}

// ---------------------------------------------------------------- the image

bool mkNewHeap() {
  IwHeapSizes sizes;
  sizes.oldSlots = mkOldSlots;
  lastHash = 0;  // the same input always gives the same hashes
  return iwNewHeap(sizes) != 0;
}

// ---------------------------------------------------------------- patches

bool mkParseRegistryPatch(const std::string& text, MkPatches& patches) {
  size_t eq = text.find('=');
  if (eq == 0 || eq == std::string::npos || eq + 1 >= text.size()) return false;
  if (text.find_first_not_of("0123456789") != eq || eq > 4) return false;
  std::string value = text.substr(eq + 1);
  if (value != "nil" && (value[0] != '#' || value.size() < 2)) return false;
  patches.registry.push_back({uint32_t(std::stoul(text.substr(0, eq))), value});
  return true;
}

bool mkPatchProgram(MkProgram& program, const MkPatches& patches, std::string& err) {
  for (const std::string& name : patches.badBytecodes) {
    size_t sep = name.find(">>");
    MkMethod* found = nullptr;
    for (MkClass& k : program.classes)
      for (MkMethod& m : k.methods)
        if (sep != std::string::npos && k.name == name.substr(0, sep) && m.selector == name.substr(sep + 2))
          found = &m;
    if (found == nullptr) {
      err = "no method " + name + " for a bad bytecode";
      return false;
    }
    // After the one-byte or four-byte header: 0x2C is no instruction.
    size_t first = (found->bytes[0] & 0x80) != 0 ? 4 : 1;
    if (first >= found->bytes.size()) {
      err = "method " + name + " has no bytecodes";
      return false;
    }
    found->bytes[first] = 0x2C;
  }
  return true;
}

static bool patchHeap(const MkBuilt& built, const MkPatches& patches, std::string& err) {
  oop scheduler = sysOop(sysProcessor);
  if (patches.noActiveProcess) mkStore(scheduler, 1, nilOop());
  for (const auto& [slot, value] : patches.registry) {
    oop o = nilOop();
    if (value != "nil") {
      auto it = built.symbols.find(value.substr(1));
      if (it == built.symbols.end()) {
        err = "no Symbol " + value + " for registry slot " + std::to_string(slot);
        return false;
      }
      o = it->second;
    }
    if (slot >= bodyWordsOf(headerOf(built.registry))) {
      err = "no registry slot " + std::to_string(slot);
      return false;
    }
    mkStore(built.registry, slot, o);
  }
  return true;
}

bool mkWriteImage(const MkProgram& program, const std::vector<std::string>& args, const char* path,
                  std::string& err, const MkPatches& patches) {
  if (!mkNewHeap()) {
    iwFreeHeap();
    err = "no memory for the heap";
    return false;
  }
  MkBuilt built;
  bool ok = mkBuildHeap(program, args, built, err) && patchHeap(built, patches, err);
  if (ok) {
    uint64_t bytes = 0;
    int status = iwWriteImage(path, IwWriteOptions(), &bytes);
    if (status != 0) {
      ok = false;
      err = std::string("cannot write ") + path + ": " +
            (status > 0 ? strerror(status) : "the image writer failed");
      unlink(path);  // no half-written image; unlink never takes a directory
    }
  }
  iwFreeHeap();
  return ok;
}
