// Engine options: the numeric syntax and the effect of each option that succeeds.
// Failures end the process; their messages are checked through the real program.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ext/exError.h"
#include "ext/exOption.h"
#ifdef _WIN32
#include "platpc/ntMain.h"
#endif

namespace {

// The option globals the cases set, put back after each.
class Option_Set : public ::testing::Test {
 protected:
  uint32_t savedVersion = reportVersionOnly, savedDump = dumpStackOnExit, savedIEEE = IEEEInfNaN;
  uint32_t savedGUI = loadGUIOnStartup;
  const char* savedPolicy = desiredLoadPolicyName;
  uint64_t savedOptions = qrxOptions;
  std::string savedLibrary = guiLibraryFilename;
  void TearDown() override {
    reportVersionOnly = savedVersion, dumpStackOnExit = savedDump, IEEEInfNaN = savedIEEE;
    loadGUIOnStartup = savedGUI;
    desiredLoadPolicyName = savedPolicy;
    qrxOptions = savedOptions;
    memcpy(guiLibraryFilename, savedLibrary.c_str(), savedLibrary.size() + 1);
  }
};

class Option_Walk : public ::testing::Test {
 protected:
  char* savedImage = imageFilename;
  void TearDown() override { imageFilename = savedImage; }
};

TEST(Option_Numeric, SyntaxTable) {
  struct Case {
    const char* text;
    uint64_t value;
  } cases[] = {
      {"64k", 65536},       {"0x10000", 65536},   {"0X1f", 31},        {"010", 8},
      {"+5", 5},            {"8s", 256},          {"63S", 1ULL << 63},  {"3K", 3072},
      {"1m", 1 << 20},      {"5M", 5 << 20},      {"2G", 2ULL << 30},   {"2g", 2ULL << 30},
      {"0", 0},             {"-1", ~0ULL},        {"18446744073709551615", ~0ULL},
      {"0xFFFFFFFFFFFFFFFF", ~0ULL},              {"17179869183g", 17179869183ULL << 30},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseNumericOption(0, ~0ULL, "o", "options", c.text), c.value) << c.text;
  }
}

TEST_F(Option_Set, SpaceOptionsTakeTheNextArgument) {
  struct Case {
    const char* option;
    const char* value;
    uint64_t* global;
    uint64_t expected;
  } cases[] = {
      {"m1", "64k", &mOptionEdenSpaceSize, 65536},
      {"m2", "10000", &mOptionSurvivorSpaceSize, 10000},
      {"m3", "8s", &mOptionLargeSpaceSize, 256},
      {"m4", "0x40000", &mOptionStackSpaceSize, 0x40000},
      {"m5xyz", "1m", &mOptionCompiledCodeCacheSize, 1 << 20},  // text after the digit ignored
      {"M6", "200000", &mOptionOldSpaceHeadroom, 200000},
      {"m7", "0", &mOptionFixedSpaceInitialSize, 0},
  };
  for (const Case& c : cases) {
    *c.global = 12345;
    EXPECT_EQ(setOption(c.option, c.value), 1u) << c.option;
    EXPECT_EQ(*c.global, c.expected) << c.option;
  }
}

#ifndef _WIN32
// The X11 build's own options: the GUI library and the resource class.
void expectPlatformFlags() {
  showHerald = 1;
  EXPECT_EQ(setOption("noherald", nullptr), 0u);
  EXPECT_EQ(showHerald, 0u);
  EXPECT_EQ(setOption("gui", nullptr), 0u);  // -noherald -gui shows the herald
  EXPECT_EQ(showHerald, 1u);
  EXPECT_EQ(loadGUIOnStartup, 1u);
  EXPECT_EQ(setOption("NoHerald", nullptr), 0u);  // -gui -noherald does not
  EXPECT_EQ(showHerald, 0u);
  EXPECT_EQ(setOption("guilib", "/x/g.so"), 1u);
  EXPECT_STREQ(guiLibraryFilename, "/x/g.so");
  EXPECT_EQ(setOption("className", "Foo"), 1u);
  EXPECT_STREQ(resourceClassName, "Foo");
}
#else
// The Windows build's own options: the herald's bitmap and sound, the ignored -walltime.
void expectPlatformFlags() {
  showHerald = 1;
  EXPECT_EQ(setOption("noherald", nullptr), 0u);
  EXPECT_EQ(showHerald, 0u);
  EXPECT_EQ(setOption("logo", "a.bmp"), 1u);
  EXPECT_STREQ(heraldBitmapPath, L"a.bmp");
  EXPECT_EQ(setOption("sound", "b.wav"), 1u);
  EXPECT_STREQ(heraldSoundPath, L"b.wav");
  EXPECT_EQ(setOption("nosound", nullptr), 0u);
  EXPECT_STREQ(heraldSoundPath, L"");
  EXPECT_EQ(setOption("walltime", nullptr), 0u);
}
#endif

TEST_F(Option_Set, FlagsAndValues) {
  expectPlatformFlags();
  EXPECT_EQ(setOption("ieeefp", nullptr), 0u);
  EXPECT_EQ(IEEEInfNaN, 1u);
  EXPECT_EQ(setOption("lpromote", "next"), 0u);
  EXPECT_STREQ(desiredLoadPolicyName, "promote");
  EXPECT_EQ(setOption("l", "demote"), 1u);
  EXPECT_STREQ(desiredLoadPolicyName, "demote");
  qrxOptions = 0;
  EXPECT_EQ(setOption("o", "0x40000"), 1u);
  EXPECT_EQ(setOption("o0x10", nullptr), 0u);
  EXPECT_EQ(qrxOptions, 0x40010u);
  EXPECT_EQ(setOption("o", "-1"), 1u);  // -o -1 sets every option bit
  EXPECT_EQ(qrxOptions, ~0ULL);
  qrxOptions = 0;
  EXPECT_EQ(setOption("verbose", nullptr), 0u);
  EXPECT_EQ(reportVersionOnly, 1u);
  EXPECT_EQ(setOption("xqz", nullptr), 0u);
  EXPECT_EQ(dumpStackOnExit, 1u);
}

// A path longer than its buffer: the Unix library name is cut, the Windows herald path refused.
TEST_F(Option_Set, LongPathValueStaysInItsBuffer) {
  std::string name(6000, 'g');
#ifdef _WIN32
  setOption("logo", name.c_str());
  EXPECT_STREQ(heraldBitmapPath, L"");
#else
  setOption("guilib", name.c_str());
  EXPECT_EQ(strlen(guiLibraryFilename), (size_t)guiLibraryFilenameBytes - 1);
#endif
}

TEST_F(Option_Walk, StopsAtTheImageName) {
  const char* argv[] = {"tessel", "-m1", "100000", "-=img.im", "-m1", "200000", "x"};
  imageFilename = nullptr;
  walkArguments(7, (char**)argv);
  EXPECT_STREQ(imageFilename, "img.im");
  EXPECT_EQ(mOptionEdenSpaceSize, 100000u);  // the second -m1 is left to the image
  const char* bare[] = {"tessel", "img2.im", "-m1", "300000"};
  imageFilename = nullptr;
  walkArguments(4, (char**)bare);
  EXPECT_STREQ(imageFilename, "img2.im");
  EXPECT_EQ(mOptionEdenSpaceSize, 100000u);
  const char* spaced[] = {"tessel", "-=", "img3.im"};
  imageFilename = nullptr;
  walkArguments(3, (char**)spaced);
  EXPECT_STREQ(imageFilename, "img3.im");
}

}  // namespace
