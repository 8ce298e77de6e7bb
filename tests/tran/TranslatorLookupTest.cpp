// Translator: the method cache's two probes and its victim choice, and the dictionary search
// along a class chain (linear, halving over sorted pairs, linear at any size under option
// 0x1000) on mkimage's kernel heap built in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ext/exOption.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkTestUtil.h"
#include "mman/mmSysOop.h"
#include "tran/nmLayout.h"
#include "tran/txmem.h"

namespace {

// A cache of its own for the test; the program's is put back afterwards.
class MethodCache : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = mCache;
    savedToggle = mCacheToggle;
    ASSERT_EQ(initMCache(reinterpret_cast<uint64_t>(area.data()) + 1, area.size() * 8 - 1),
              int64_t(7 + mCacheEntries * 16));
    mCacheToggle = 0;
  }
  void TearDown() override {
    mCache = saved;
    mCacheToggle = savedToggle;
  }
  std::vector<uint64_t> area = std::vector<uint64_t>(mCacheEntries * 2 + 1);
  MethodCacheEntry* saved;
  uint32_t savedToggle;
};

TEST_F(MethodCache, TooSmallAnAreaIsRefused) {
  EXPECT_EQ(initMCache(reinterpret_cast<uint64_t>(area.data()), mCacheEntries * 16 - 1), -1);
}

TEST_F(MethodCache, ProbesAndVictimsFollowTheScript) {
  // Four (selector, class) pairs whose first probe is entry 2000; the second wraps to 771.
  const uint32_t i1 = 2000, i2 = (2000 + mCacheSecondProbe) & mCacheMask;
  ASSERT_EQ(i2, 771u);
  struct Pair {
    oop selector;
    uint32_t classIndex;
    NMethodHeader nm;
  };
  std::vector<Pair> pairs;
  for (uint32_t k = 0; k < 4; k++) {
    Pair p{smallIntegerFor(int64_t(1990 + k)), i1 - (1990 + k), {}};
    p.nm.selector = p.selector;
    pairs.push_back(p);
  }
  for (Pair& p : pairs) ASSERT_EQ(mCacheFirstProbe(p.selector, p.classIndex), i1);
  auto nmOf = [&](int k) { return reinterpret_cast<uint64_t>(&pairs[size_t(k)].nm); };
  // Each step fills pair k and names the entry it must land in; then each pair's probe must
  // answer its nmethod or 0 as listed.
  struct Step {
    int pair;
    uint32_t toggleBefore;
    uint32_t entry;
    int hits[4];
  };
  const Step script[] = {
      {0, 0, i1, {1, 0, 0, 0}},  // both empty, toggle clear: first probe
      {1, 1, i2, {1, 1, 0, 0}},  // first taken, toggle set: second
      {2, 0, i1, {0, 1, 1, 0}},  // both taken, toggle clear: first
      {3, 1, i2, {0, 0, 1, 1}},  // both taken, toggle set: second
  };
  for (const Step& s : script) {
    SCOPED_TRACE(s.pair);
    ASSERT_EQ(mCacheToggle, s.toggleBefore);
    MethodCacheEntry* v = mCacheVictim(pairs[size_t(s.pair)].selector, pairs[size_t(s.pair)].classIndex);
    EXPECT_EQ(v, &mCache[s.entry]);
    mCacheFill(v, pairs[size_t(s.pair)].classIndex, nmOf(s.pair));
    for (int k = 0; k < 4; k++)
      EXPECT_EQ(mCacheProbe(pairs[size_t(k)].selector, pairs[size_t(k)].classIndex), s.hits[k] ? nmOf(k) : 0u)
          << "pair " << k;
  }
  // The same class index with another selector in the entry is no hit.
  Pair other{smallIntegerFor(77), pairs[3].classIndex, {}};
  EXPECT_EQ(mCacheProbe(other.selector, other.classIndex), 0u);
  // An empty first entry: the second only when the toggle is set and it is empty too.
  clearMCache();
  mCache[i2].classIndex = 9;
  mCacheToggle = 1;
  EXPECT_EQ(mCacheVictim(pairs[0].selector, pairs[0].classIndex), &mCache[i1]);
  mCache[i2].classIndex = 0;
  EXPECT_EQ(mCacheVictim(pairs[0].selector, pairs[0].classIndex), &mCache[i2]);
  mCacheToggle = 0;
  EXPECT_EQ(mCacheVictim(pairs[0].selector, pairs[0].classIndex), &mCache[i1]);
  // First taken, second empty, toggle clear: the empty second.
  mCache[i1].classIndex = 9;
  EXPECT_EQ(mCacheVictim(pairs[0].selector, pairs[0].classIndex), &mCache[i2]);
}

// Dictionaries and classes made by hand in plain memory (an Array-classed pointer object),
// over the kernel heap whose class table and nil they use.
struct FakeObject {
  ObjectHeader header;
  std::vector<oop> body;
  oop make(uint32_t classTag) {
    header.dataPtr = reinterpret_cast<uint64_t>(body.data());
    header.flags = hasPtrsBit;
    setClassTag(&header, classTag);
    setSizeField(&header, uint32_t(body.size()));
    return oopOf(&header);
  }
};

class DictionarySearch : public ::testing::Test {
 protected:
  void SetUp() override {
    program = compileWithKernel({{"T.som", "T = ( a = ( ^1 ) b = ( ^2 ) )"}});
    ASSERT_TRUE(mkNewHeap());
    std::string err;
    ASSERT_TRUE(mkBuildHeap(program, {}, built, err)) << err;
    savedOptions = qrxOptions;
  }
  void TearDown() override {
    qrxOptions = savedOptions;
    mDictSearchLimit = mDictSortedFrom;
    iwFreeHeap();
  }
  MkProgram program;
  MkBuilt built;
  uint64_t savedOptions;
};

TEST_F(DictionarySearch, KernelClassChainsAnswerTheirMethods) {
  oop t = built.classes.at("T");
  oop object = built.classes.at("Object");
  const MkClass* objectClass = findClass(program, "Object");
  ASSERT_TRUE(objectClass != nullptr && !objectClass->methods.empty());
  const MkMethod& inherited = objectClass->methods.back();
  struct Row {
    oop cls;
    oop selector;
    oop method;
  };
  const Row rows[] = {
      {t, built.symbols.at("a"), built.methods.at(findMethod(program, "T", "a"))},
      {t, built.symbols.at("b"), built.methods.at(findMethod(program, "T", "b"))},
      {t, built.symbols.at(inherited.selector), built.methods.at(&inherited)},
      {object, built.symbols.at("a"), 0},
      {t, smallIntegerFor(4242), 0},
  };
  for (const Row& r : rows) EXPECT_EQ(lookupCompiledMethod(r.selector, r.cls), r.method);
}

// 70 pairs (140 slots): immediates, kernel symbols and immediates sharing each symbol's hash.
TEST_F(DictionarySearch, LargeDictionariesAreHalvedUnlessTheOptionSaysLinear) {
  std::vector<oop> selectors;
  for (const char* name : {"a", "b", "new"}) {
    oop sym = built.symbols.at(name);
    uint32_t h = hashOf(headerOf(sym));
    ASSERT_NE(h, 0u);
    selectors.push_back(sym);
    selectors.push_back(smallIntegerFor(int64_t(h)));
  }
  for (int64_t v = 1; selectors.size() < 70; v += 997) selectors.push_back(smallIntegerFor(v));
  std::stable_sort(selectors.begin(), selectors.end(),
                   [](oop x, oop y) { return selectorHash(x) < selectorHash(y); });
  auto methodFor = [](oop selector) { return smallIntegerFor(int64_t(selector >> 1)); };
  FakeObject dict, cls;
  for (oop s : selectors) {
    dict.body.push_back(s);
    dict.body.push_back(methodFor(s));
  }
  cls.body = {nilOop(), dict.make(classIndexArray), 0};
  oop c = cls.make(classIndexArray);
  for (oop s : selectors) EXPECT_EQ(lookupCompiledMethod(s, c), methodFor(s)) << std::hex << s;
  EXPECT_EQ(lookupCompiledMethod(smallIntegerFor(2), c), 0u);

  // Unsorted: the halving search misses some; linear search under the option finds them all.
  std::reverse(selectors.begin(), selectors.end());
  dict.body.clear();
  for (oop s : selectors) {
    dict.body.push_back(s);
    dict.body.push_back(methodFor(s));
  }
  dict.make(classIndexArray);
  int missed = 0;
  for (oop s : selectors) missed += lookupCompiledMethod(s, c) == 0;
  EXPECT_GT(missed, 0);
  qrxOptions |= 0x1000;
  std::vector<uint64_t> area(mCacheEntries * 2);
  MethodCacheEntry* saved = mCache;
  ASSERT_GT(initMCache(reinterpret_cast<uint64_t>(area.data()), area.size() * 8), 0);
  mCache = saved;
  for (oop s : selectors) EXPECT_EQ(lookupCompiledMethod(s, c), methodFor(s)) << std::hex << s;
}

}  // namespace
