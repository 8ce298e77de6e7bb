// Error reports: the composed texts, the banner, suppressed notes and Fatal exits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "mman/mmImageHeader.h"

namespace {

std::string usageText() {
  testing::internal::CaptureStdout();
  reportUsage();
  return testing::internal::GetCapturedStdout();
}

// Runs one non-fatal report and answers what it printed.
std::string reportOf(const char* message, uint32_t code, const char* file, int line) {
  testing::internal::CaptureStdout();
  doReportError(message, code, file, line);
  return testing::internal::GetCapturedStdout();
}

class ErrorReport : public testing::Test {
 protected:
  void SetUp() override {
    initError();
    bannerPending = 0;
    viHeraldString[0] = 0;
    printHelp = 0;
  }
};

TEST_F(ErrorReport, ComposesEachCodeExactly) {
  struct Case {
    const char* message;
    uint32_t code;
    const char* file;
    int line;
    std::string expected;
  } cases[] = {
      {"Can't open x.im", 0x1207, "src/ext/exInit.c", 9, "Error: Can't open x.im\n\n"},
      {nullptr, 0x201, "f.cpp", 3, "f.cpp:3\nError.\nUnable to read the image file. File may be truncated.\n"},
      {"boom", 0x2100, "f.cpp", 5, "f.cpp:5\nNote: boom\n\n"},
      {"bug", 0x4100, nullptr, 0, "Note: bug\n\n"},
      {"odd", 0x20C, "f.cpp", 0, "Error: odd\nUnknown error.\n"},
      {"lim", 0x8208, "g.cpp", 7, "g.cpp:7\nError: lim\nRemembered table overflow.\n"},
  };
  for (const Case& c : cases) {
    std::string out = reportOf(c.message, c.code, c.file, c.line);
    if ((c.code & 0xFF) == 7) out = out.substr(0, out.size() - usageText().size());
    EXPECT_EQ(out, c.expected) << std::hex << c.code;
    EXPECT_EQ(qrxErrorStatus, c.code);
  }
}

TEST_F(ErrorReport, UsageErrorIsFollowedByTheUsage) {
  std::string out = reportOf("Missing", 0x207, nullptr, 0);
  EXPECT_EQ(out, "Error: Missing\n\n" + usageText());
}

TEST_F(ErrorReport, BannerOnFirstReportOnlyEvenWhenSuppressed) {
  bannerPending = 1;
  EXPECT_EQ(reportOf("quiet", 0x100, "f.cpp", 1), "");  // a plain Note is suppressed
  EXPECT_EQ(qrxErrorStatus, 0x100u);
  EXPECT_EQ(bannerPending, 0u);
  EXPECT_EQ(reportOf("loud", 0x2100, nullptr, 0), "Note: loud\n\n");
  bannerPending = 1;
  strcpy(viHeraldString, "My Image 1.0");
  EXPECT_EQ(reportOf("first", 0x2100, nullptr, 0), "My Image 1.0\nNote: first\n\n");
}

TEST_F(ErrorReport, CauseAndContactLinesGoOnlyToTheSecondPrint) {
  // The Unix build suppresses the second print, so neither line is shown.
  EXPECT_EQ(reportOf("x", 0x22100, "f.cpp", 2), "f.cpp:2\nNote: x\n\n");
}

TEST_F(ErrorReport, LongMessagesAreCutToTheBuffer) {
  std::string huge(5000, 'm');
  std::string out = reportOf(huge.c_str(), 0x2100, nullptr, 0);
  EXPECT_EQ(out.size(), (size_t)reportBufferBytes);  // cut text, line end
  EXPECT_EQ(out.substr(0, 7), "Note: m");
}

TEST(ErrorText, NumbersAboveEightAreUnknown) {
  initError();
  EXPECT_STREQ(errorTextFor(2), "Can't load image.");
  EXPECT_STREQ(errorTextFor(7), "");
  EXPECT_STREQ(errorTextFor(9), "Unknown error.");
  EXPECT_STREQ(errorTextFor(255), "Unknown error.");
}

// A report names its source file from its last "src/" folder on, without the extension,
// whatever the build's path to it; SOURCE_NAME gives this file's name so.
TEST(ErrorText, SourceNamesDropTheBuildPathAndTheExtension) {
  static constexpr SourceName<sizeof("src/stack/nsupport.cpp")> relative{"src/stack/nsupport.cpp"};
  static constexpr SourceName<sizeof("/w/src/x/src/tran/tloop.cpp")> nested{"/w/src/x/src/tran/tloop.cpp"};
  static constexpr SourceName<sizeof("/a.b/mysrc/src/ext/exError.h")> dotted{"/a.b/mysrc/src/ext/exError.h"};
  static constexpr SourceName<sizeof("src/plat/unxMem")> bare{"src/plat/unxMem"};
  static constexpr SourceName<sizeof("tests/ext/x.y.cpp")> outside{"tests/ext/x.y.cpp"};
  EXPECT_STREQ(relative.text, "src/stack/nsupport");
  EXPECT_STREQ(nested.text, "src/tran/tloop");
  EXPECT_STREQ(dotted.text, "src/ext/exError");
  EXPECT_STREQ(bare.text, "src/plat/unxMem");
  EXPECT_STREQ(outside.text, "tests/ext/x.y");
  EXPECT_STREQ(SOURCE_NAME, "tests/ext/ErrorReportTest");
}

// A Fatal report ends the process: run it in a death-test child whose standard output
// goes to a file, then compare the file.
std::string fatalReportOf(const char* message, uint32_t code, const char* file, int line,
                          int expectedStatus) {
  std::string path = testing::TempDir() + "fatal_report.txt";
  remove(path.c_str());
  EXPECT_EXIT(
      {
        if (freopen(path.c_str(), "w", stdout) == nullptr) abort();
        initError();
        bannerPending = 0;
        doReportError(message, code, file, line);
      },
      testing::ExitedWithCode(expectedStatus), "");
  FILE* f = fopen(path.c_str(), "r");
  std::string text;
  if (f != nullptr) {
    char buffer[4096];
    size_t n = fread(buffer, 1, sizeof buffer, f);
    text.assign(buffer, n);
    fclose(f);
  }
  return text;
}

TEST(ErrorReportDeathTest, FatalCodesEndTheProcessWithTheirStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EQ(fatalReportOf("user fault", 0x1400, "f.cpp", 4, 9), "Fatal error: user fault\n\n");
  EXPECT_EQ(fatalReportOf(nullptr, 0x4400, "src/x.cpp", 12, 9),
            "src/x.cpp:12\nFatal error.\n\n");
  EXPECT_EQ(fatalReportOf("bad format", 0x402, "h.cpp", 1, 2),
            "h.cpp:1\nFatal error: bad format\nCan't load image.\n");
}

}  // namespace
