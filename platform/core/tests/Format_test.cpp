#include "platform/core/Format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tarvo::platform {
namespace {

struct Case {
  const char* pattern;
  FormatArgs args;
  const char* expected;
};

void ExpectAll(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(Format(c.pattern, c.args), c.expected) << "pattern " << c.pattern;
    } catch (const EFormatError& e) {
      ADD_FAILURE() << "pattern " << c.pattern << " threw: " << e.what();
    }
  }
}

TEST(Format, TextsAndPositionalArguments) {
  ExpectAll({
      {"", {}, ""},
      {"no specifiers", {}, "no specifiers"},
      {"100%% done", {}, "100% done"},
      {"Error %d: %s.", {5, "Access is denied"}, "Error 5: Access is denied."},
      // "%0:s" repeats the first argument; "%1:s" takes the second.
      {"Close \"%s\".\r\n\r\n\"%0:s\" is still running.",
       {"Tarvo"},
       "Close \"Tarvo\".\r\n\r\n\"Tarvo\" is still running."},
      {"No updates for \"%s\".\r\nRun \"%0:s\".\r\n\r\n%1:s.",
       {"T", "Missing"},
       "No updates for \"T\".\r\nRun \"T\".\r\n\r\nMissing."},
      // After an index, unindexed specifiers go on from the following argument.
      {"%1:s %s %0:s %s", {"a", "b", "c"}, "b c a b"},
      {"sep%0:sx%0:sy", {";"}, "sep;x;y"},
      // Unused arguments are fine.
      {"%s", {"a", "b"}, "a"},
      // Type letters in either case.
      {"%S|%D|%X", {"t", 7, 255}, "t|7|FF"},
      // Widths and precisions count code points.
      {"[%6s]", {"Жук"}, "[   Жук]"},
      {"[%-6s]", {"Жук"}, "[Жук   ]"},
      {"[%.2s]", {"Привет"}, "[Пр]"},
      {"[%5.1s]", {"€uro"}, "[    €]"},
      {"[%1s]", {"longer"}, "[longer]"},
      {"Обновление %s: %d%%", {"готово", 100}, "Обновление готово: 100%"},
  });
  // An embedded NUL is kept, not an end of text.
  EXPECT_EQ(Format("<%s>", {std::string("a\0b", 3)}), std::string("<a\0b>", 5));
}

TEST(Format, Integers) {
  ExpectAll({
      {"%d", {0}, "0"},
      {"%d", {-42}, "-42"},
      {"%5d|", {42}, "   42|"},
      {"%-5d|", {42}, "42   |"},
      {"%05d", {5}, "    5"},  // the zero belongs to the width: blanks, as in the terminal
      {"%.3d", {-5}, "-005"},
      {"%6.3d", {7}, "   007"},
      {"%d", {std::numeric_limits<long long>::min()}, "-9223372036854775808"},
      {"%d", {std::numeric_limits<unsigned long long>::max()}, "18446744073709551615"},
      {"%u", {3000000000u}, "3000000000"},
      {"%u", {-1}, "4294967295"},
      {"%u", {-5000000000LL}, "18446744068709551616"},
      {"%x", {255}, "FF"},
      {"%.4x", {255}, "00FF"},
      {"%x", {-1}, "FFFFFFFF"},
      {"%x", {0x123456789ALL}, "123456789A"},
      {"%p", {255}, "000000FF"},
      {"%p", {0x123456789ALL}, "123456789A"},
      {"Deleting file \"%s\": %u", {"/x", 0u}, "Deleting file \"/x\": 0"},
      // "*" takes the width or precision from the next argument.
      {"[%*d]", {5, 42}, "[   42]"},
      {"[%*d]", {-5, 42}, "[42   ]"},
      {"[%.*d]", {4, 42}, "[0042]"},
      {"[%-*.*d]", {6, 3, 7}, "[007   ]"},
  });
}

TEST(Format, FloatingPoint) {
  ExpectAll({
      {"%f", {3.14159}, "3.14"},
      {"%.3f", {1.0}, "1.000"},
      {"%.0f", {2.4}, "2"},
      // Exact halves round away from zero, as the terminal's texts do.
      {"%.2f", {5.125}, "5.13"},
      {"%.2f", {-5.125}, "-5.13"},
      {"%.0f", {0.5}, "1"},
      {"%.0f", {2.5}, "3"},
      {"%.1f", {9.95}, "9.9"},  // 9.95 is below the half in binary: no rounding up
      {"%.1f", {9.75}, "9.8"},
      {"%.2f", {99.995}, "100.00"},  // 99.995 is just above the half in binary
      {"%.0f", {-9.5}, "-10"},
      {"%.2f", {2.675}, "2.67"},   // below the half in binary
      {"%.2f", {-0.001}, "0.00"},  // no negative zero
      {"%.2f", {-0.0}, "0.00"},
      {"%8.2f|", {3.14159}, "    3.14|"},
      {"%-8.2f|", {3.14159}, "3.14    |"},
      {"%.3f", {1e20}, "100000000000000000000.000"},
      {"%n", {1234567.891}, "1,234,567.89"},
      {"%.0n", {999.5}, "1,000"},
      {"%n", {-1234.5}, "-1,234.50"},
      {"%n", {12.0}, "12.00"},
      {"%e", {1234.5}, "1.23450000000000E+003"},
      {"%.3e", {-1234.5}, "-1.23E+003"},
      {"%.2e", {1e-10}, "1.0E-010"},
      {"%.4e", {1.5e300}, "1.500E+300"},
      {"%g", {0.5}, "0.5"},
      {"%g", {123456.0}, "123456"},
      {"%g", {1e20}, "1E20"},
      {"%g", {0.00001}, "0.00001"},
      {"%g", {1.5e-6}, "1.5E-6"},
      {"%g", {0.0}, "0"},
      {"%.3g", {1234.5}, "1.23E3"},
      {"%f", {std::numeric_limits<double>::infinity()}, "INF"},
      {"%5f", {-std::numeric_limits<double>::infinity()}, " -INF"},
      {"%e", {std::nan("")}, "NAN"},
      {"%s (%.2f%%)", {"12.500", 37.5}, "12.500 (37.50%)"},
      {"[%.*f]", {1, 2.25}, "[2.3]"},
  });
}

TEST(Format, NumberSeparatorsOfTheCaller) {
  NumberSeparators russian;
  russian.decimalSeparator = ",";
  russian.thousandSeparator = "\u00A0";  // no-break space, two bytes in UTF-8
  EXPECT_EQ(Format(russian, "%n", {1234567.5}), "1\u00A0234\u00A0567,50");
  EXPECT_EQ(Format(russian, "%.1f|%g|%.2e", {2.25, 0.5, 1500.0}), "2,3|0,5|1,5E+003");
  // Padding counts the separator as one character.
  EXPECT_EQ(Format(russian, "[%10n]", {1234.5}), "[  1\u00A0234,50]");
  // Integers and texts are not affected.
  EXPECT_EQ(Format(russian, "%d %s", {1234567, "1.5"}), "1234567 1.5");
}

TEST(Format, PatternsThatDoNotFitTheirArgumentsThrow) {
  const std::vector<Case> cases = {
      {"%s %s", {"a"}, "no argument"},
      {"%d", {}, "no argument"},
      {"%3:s", {"a", "b", "c"}, "no argument"},
      {"%2:s%s", {"a", "b", "c"}, "no argument"},  // continues past the last one
      {"%*d", {5}, "no argument"},
      {"%d", {"text"}, "does not fit"},
      {"%x", {1.5}, "does not fit"},
      {"%s", {5}, "does not fit"},
      {"%f", {5}, "does not fit"},  // integers are not floats, as in the terminal
      {"%*s", {"5", "a"}, "does not fit"},
      {"%q", {1}, "unknown type"},
      {"%-%", {}, "unknown type"},
      {"%Ж", {1}, "unknown type in \"%Ж\""},
      {"%5:d", {1}, "no argument"},
      {"100%", {}, "ends inside"},
      {"%5", {1}, "ends inside"},
      {"%.2", {1.0}, "ends inside"},
      {"%1:", {1, 2}, "ends inside"},
      {"%999999999999999999999999s", {"a"}, "too large"},
      {"%.200000f", {1.0}, "too large"},
      {"%*s", {1000000, "a"}, "too large"},
  };
  for (const auto& c : cases) {
    try {
      const std::string result = Format(c.pattern, c.args);
      ADD_FAILURE() << "pattern " << c.pattern << " gave \"" << result << "\"";
    } catch (const EFormatError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(c.expected), std::string::npos) << c.pattern << ": " << message;
      // The message names the pattern so that a broken translation is found.
      EXPECT_NE(message.find(c.pattern), std::string::npos) << c.pattern << ": " << message;
    }
  }
}

TEST(Format, ErrorMessagesNeverShowArgumentValues) {
  try {
    Format("PIN %d", {"1234-secret"});
    FAIL() << "no error";
  } catch (const EFormatError& e) {
    EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
  }
}

TEST(Format, AppendFormatAddsToTheTextOrLeavesItAsItWas) {
  std::string out = "log: ";
  const FormatArg args[] = {FormatArg("a"), FormatArg(2)};
  AppendFormat(out, "%s=%d", args, 2);
  EXPECT_EQ(out, "log: a=2");
  // A failure half-way through leaves nothing of the partial result.
  EXPECT_THROW(AppendFormat(out, "; %s=%d %s", args, 2), EFormatError);
  EXPECT_EQ(out, "log: a=2");
  // Zero arguments with a null pointer are fine as long as none is asked for.
  AppendFormat(out, " 100%%", nullptr, 0);
  EXPECT_EQ(out, "log: a=2 100%");
  EXPECT_THROW(AppendFormat(out, "%s", nullptr, 0), EFormatError);
}

}  // namespace
}  // namespace tarvo::platform
