// The kernel library prints Doubles through mkimage and the real engine: every line a program
// prints is the shortest decimal that reads back as the same bits (the digits of
// std::to_chars), written as the kernel writes them.
#ifdef TESSEL_EXE  // the program and mkimage run only in the native build
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Plain for decimal exponents -4 to 16, with ".0" on a whole number; else one digit, the
// point and the rest, then e, the exponent's sign and at least two exponent digits.
std::string kernelForm(double v) {
  if (std::isnan(v)) return "nan";
  std::string sign = std::signbit(v) ? "-" : "";
  if (std::isinf(v)) return sign + "inf";
  if (v == 0) return sign + "0.0";
  char buf[64];
  std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  std::string text(buf, r.ptr);
  size_t e = text.find('e');
  std::string digits = text.substr(0, e);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  int x = std::stoi(text.substr(e + 1));
  int n = int(digits.size()), k = x + 1;
  if (x < -4 || x > 16) {
    std::string out = sign + digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    std::string exponent = std::to_string(std::abs(x));
    if (exponent.size() < 2) exponent = "0" + exponent;
    return out + (x < 0 ? "e-" : "e+") + exponent;
  }
  if (k <= 0) return sign + "0." + std::string(size_t(-k), '0') + digits;
  if (k >= n) return sign + digits + std::string(size_t(k - n), '0') + ".0";
  return sign + digits.substr(0, size_t(k)) + "." + digits.substr(size_t(k));
}

// A literal mkimage reads back as exactly v: 17 significant digits, no '+' in the exponent.
std::string literal(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.16e", v);
  std::string s = buf;
  s.erase(std::remove(s.begin(), s.end(), '+'), s.end());
  return "(" + s + ")";
}

// Builds an image of the kernel and a class Table whose run: evaluates each expression and
// prints it, runs it with the engine options, and answers the lines printed.
std::vector<std::string> runTable(const std::vector<std::string>& expressions, const std::string& options) {
  fs::path dir = fs::temp_directory_path() / "kernelDoubles";
  std::error_code ignored;
  fs::create_directories(dir, ignored);
  std::ofstream source(dir / "Table.som");
  source << "Table = (\n    run: args = (\n";
  for (const std::string& e : expressions) source << "        " << e << " println.\n";
  source << "    )\n)\n";
  source.close();
  std::string kernel = std::string(TESSEL_SOURCE_DIR) + "/tools/mkimage/kernel/*.som";
  std::string image = (dir / "Table.im").string(), out = (dir / "Table.out").string();
  std::string command = std::string(TESSEL_BINARY_DIR) + "/tools/mkimage/mkimage -o " + image + " " + kernel + " " +
                        (dir / "Table.som").string() + " --args Table > /dev/null && " + TESSEL_EXE + " -noherald " +
                        options + " " + image + " > " + out;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<std::string> lines;
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(KernelDoublePrint, ShortestRoundTripDigitsForEveryKindOfDouble) {
  const double values[] = {
      0.0, -0.0,
      std::numeric_limits<double>::denorm_min(), 2 * std::numeric_limits<double>::denorm_min(), 1e-310,
      std::nextafter(std::numeric_limits<double>::min(), 0.0), std::numeric_limits<double>::min(),
      1e-300, -1e-300, 1e-100, 1e-20, 1.2345e-7, 1e-5, 9.5e-5, 0.0001, 0.001, 0.1, 0.1 + 0.2, 1.0 / 3, -2.0 / 3, 0.5,
      1.0, -1.5, std::sqrt(2.0), 3.141592653589793, 100.0, 123.456, 1e15, 1e16, 1e17, 1e21, 1e22, 1e23,
      9007199254740992.0, 9007199254740993.0 /* 2^53+1, as a Double */, 9223372036854775808.0, 1e100, 1e300,
      std::numeric_limits<double>::max(), -std::numeric_limits<double>::max()};
  static_assert(std::size(values) == 40);
  std::vector<std::string> expressions;
  for (double v : values) expressions.push_back(literal(v));
  std::vector<std::string> lines = runTable(expressions, "");
  ASSERT_EQ(lines.size(), std::size(values));
  for (size_t i = 0; i < lines.size(); i++) {
    EXPECT_EQ(lines[i], kernelForm(values[i])) << "the value written " << expressions[i];
    EXPECT_EQ(std::strtod(lines[i].c_str(), nullptr), values[i]) << lines[i] << " does not read back";
  }
}

// Infinities and NaN come from the primitives only under -ieeefp; PositiveInfinity needs none.
TEST(KernelDoublePrint, InfinitiesAndNaN) {
  std::vector<std::string> lines = runTable(
      {"(1.0e308 * 10.0)", "(1.0e308 * 10.0) negated", "((1.0e308 * 10.0) - (1.0e308 * 10.0))", "(0.0 / 0.0)",
       "Double PositiveInfinity"},
      "-ieeefp");
  EXPECT_EQ(lines, (std::vector<std::string>{"inf", "-inf", "nan", "nan", "inf"}));
  EXPECT_EQ(runTable({"Double PositiveInfinity"}, ""), std::vector<std::string>{"inf"});
}

}  // namespace
#endif
