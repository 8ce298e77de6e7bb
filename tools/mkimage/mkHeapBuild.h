// mkimage: state shared by the heap builder's two halves (objects from records in mkHeap.cpp,
// classes, registry and the starting process in mkKernel.cpp). Prefix mk.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "mkHeap.h"

struct MkBld {
  const MkProgram& p;                          // the compiled program
  MkBuilt& out;                                // what is built
  std::string err = {};                        // first fault
  oop nil = 0;                                 // nil, made first
  uint32_t symbolIndex = 21;                   // class index of Symbol
  uint32_t methodIndex = 0;                    // class index of CompiledMethod
  uint32_t blockMethodIndex = 0;               // class index of CompiledBlock
  uint32_t dictionaryIndex = 0;                // class index of MethodDictionary
  uint32_t externalMethodIndex = 0;            // class index of ExternalMethod (0: none)
  std::vector<oop> symbolOrder;                // Symbols in creation order
  std::map<std::string, const MkClass*> defs;  // class records by name
};

bool mkFail(MkBld& b, const std::string& why);
oop mkPointers(MkBld& b, uint32_t tag, uint64_t named, uint64_t slots, uint64_t flags);
oop mkBytes(MkBld& b, uint32_t tag, const void* bytes, uint64_t count, uint64_t flags);
void mkStore(oop holder, uint64_t index, oop value);
oop mkArrayOf(MkBld& b, const std::vector<oop>& values);
oop mkString(MkBld& b, const std::string& s);
oop mkSymbol(MkBld& b, const std::string& text);
oop mkLiteral(MkBld& b, const MkLiteral& l, const MkMethod& owner, oop cls, oop home);
oop mkMethodObject(MkBld& b, const MkMethod& m, oop cls, oop home);
oop mkDictionary(MkBld& b, const std::vector<MkMethod>& methods, oop cls);
