// mkimage: turns a compiled program into the kernel's heap objects (classes, metaclasses,
// symbols, methods, registry, class table, scheduler and the starting process) in old space.
// Owns nothing global beyond the engine's own records it fills. Prefix mk.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mkCompiler.h"
#include "mman/mmObject.h"

// Registry roles and layout constants the builder fixes.
enum : uint32_t {
  mkPriorityLevels = 8,     // ready lists of the scheduler
  mkStartPriority = 4,      // priority of the starting process
  mkErrorTableSlots = 37,   // PrimErrorTable entries
  mkOldSlots = 1 << 18,     // slots of the one old segment the kernel is built in
  mkFinalQueueSlots = 100,  // indexed slots of the finalization queue
  mkContextFrameMin = 12,   // least size of a context's frame-contents Array
};

// What the build made, for the image writer and the tests.
struct MkBuilt {
  oop registry = 0;                        // the registry Array (also sysOopRegistryOop)
  oop system = 0;                          // the one System instance
  oop process = 0;                         // the starting Process (the active one)
  oop startContext = 0;                    // its suspended context
  oop startMethod = 0;                     // System>>start
  std::map<std::string, oop> classes;      // every class by name
  std::map<std::string, oop> symbols;      // every Symbol by its text
  std::map<const MkMethod*, oop> methods;  // each record (methods and blocks) to its object
};

// Makes the image writer's empty heap with the sizes mkimage uses and the identity hashes
// restarted, so that the same program always gives the same heap. Answers false without
// memory.
bool mkNewHeap();
// Builds every kernel object in old space on the heap mkNewHeap made: gives its roots (nil,
// true, false, the marker, registry, class table, error table) their classes and fills the
// registry, class table and the rest. Answers true, or false with the reason in err.
// args: the image's default arguments.
bool mkBuildHeap(const MkProgram& program, const std::vector<std::string>& args, MkBuilt& out,
                 std::string& err);
// Changes to a built image that no source can express, for runs of the engine on bad input.
struct MkPatches {
  std::vector<std::pair<uint32_t, std::string>> registry;  // slot and "nil" or "#selector"
  bool noActiveProcess = false;                            // the scheduler's active process nil
  std::vector<std::string> badBytecodes;  // "Class>>selector": its first bytecode made invalid
};
// Parses "slot=nil" or "slot=#selector" into patches; false when malformed.
bool mkParseRegistryPatch(const std::string& text, MkPatches& patches);
// Applies the bad bytecodes to the compiled program; false with the reason in err when a
// method named is not there.
bool mkPatchProgram(MkProgram& program, const MkPatches& patches, std::string& err);

// The whole job: a fresh heap, the kernel built on it (with the patches' registry and
// scheduler changes), the image file written and the heap freed. Answers true, or false with
// the reason in err (no file is left behind then).
bool mkWriteImage(const MkProgram& program, const std::vector<std::string>& args, const char* path,
                  std::string& err, const MkPatches& patches = MkPatches());

// Classes placed at reserved class indices and the registry slots that hold them (0: none).
struct MkKernelClass {
  const char* name;     // class name in the kernel sources
  uint32_t classIndex;  // reserved class index
  uint32_t registry;    // registry slot holding it, 0 for none
  bool required;        // the build fails without it
};
extern const MkKernelClass mkKernelClasses[];
extern const int mkNumKernelClasses;

// Selectors the registry names: slot and text.
struct MkRegistrySelector {
  uint32_t slot;         // registry slot
  const char* selector;  // selector text
};
extern const MkRegistrySelector mkRegistrySelectors[];
extern const int mkNumRegistrySelectors;
