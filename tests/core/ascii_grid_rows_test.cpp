#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/ascii_grid_text.h"
#include "tests/test_support.h"

// A row of a grid file read from a piece of text: the column of the first
// value that is missing, no number or not on the row's line, 0 when all are
// there; and the values on the line when the row holds another count.
TEST(AsciiGridRows, ParsesARowOrNamesItsFirstBadColumn) {
  struct Case {
    const char* text;
    long ncols;
    bool lineEndAfter; // another row follows
    long failedColumn;
    long onLine;
    std::vector<double> values;
  };
  const std::vector<Case> cases = {
      {"1 2.5 -3", 3, false, 0, 3, {1.0, 2.5, -3.0}},
      {"\n\t 4\r 5 \t6\r\n", 3, true, 0, 3, {4.0, 5.0, 6.0}},
      {"+7 1e-3 -9999", 3, false, 0, 3, {7.0, 0.001, -9999.0}},
      {"1 x 3", 3, false, 2, 3, {}},
      {"1 2", 3, false, 3, 3, {}},
      {"", 1, false, 1, 1, {}},
      {"1 2.5.1 3", 3, false, 2, 3, {}},
      {"nan 1", 2, false, 1, 2, {}},
      {"4\r\n5 \n6\n", 3, true, 2, 1, {4.0}},
      {"1 2\n x", 3, true, 3, 2, {1.0, 2.0}},
      {"1 2 3 ", 3, true, 4, 4, {1.0, 2.0, 3.0}},
      {"1 2 3 ", 3, false, 0, 3, {1.0, 2.0, 3.0}},
      {"1 2 3\t\n", 3, true, 0, 3, {1.0, 2.0, 3.0}},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    std::vector<double> values(static_cast<size_t>(c.ncols + 1), 0.0);
    long onLine = -1;
    EXPECT_EQ(parseGridRow(text.data(), text.data() + text.size(), c.ncols, values.data(),
                           c.lineEndAfter, onLine),
              c.failedColumn)
        << '"' << c.text << '"';
    EXPECT_EQ(onLine, c.onLine) << '"' << c.text << '"';
    for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(values[i + 1], c.values[i]) << c.text;
  }
  // A number longer than any grid value is refused, as the scanner refuses it.
  const std::string longNumber = "1 " + std::string(401, '1');
  std::vector<double> values(3, 0.0);
  long onLine = 0;
  EXPECT_EQ(parseGridRow(longNumber.data(), longNumber.data() + longNumber.size(), 2,
                         values.data(), false, onLine),
            2);
}

// Counting values leaves the scanner at the first character of the next
// value, also where a value spans two blocks of the file.
TEST(AsciiGridRows, SkippedValuesEndAtTheOffsetOfTheNextValue) {
  const std::string dir = makeTestDirectory("ascii_rows_skip");
  const std::string text = "12345 6\n  789\t10 11 12345678 13";
  // Values of 7 characters with their separator straddle the spans counted
  // at once: each is counted once, wherever it is cut.
  std::string straddling;
  for (int i = 0; i < 2000; ++i) straddling += "123456 ";
  const std::string path = dir + "/values.txt";
  struct Case {
    const std::string* text;
    long skip;
    long skipped;
    long offset;
  };
  for (const Case& c : std::vector<Case>{{&text, 0, 0, 0},
                                         {&text, 2, 2, 10},
                                         {&text, 5, 5, 20},
                                         {&text, 7, 7, 31},
                                         {&text, 9, 7, 31},
                                         {&straddling, 585, 585, 4095},
                                         {&straddling, 1000, 1000, 7000},
                                         {&straddling, 2500, 2000, 14000}}) {
    writeFile(path, *c.text);
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    AsciiGridScanner scanner(file);
    EXPECT_EQ(scanner.skipTokens(c.skip), c.skipped) << c.skip;
    EXPECT_EQ(scanner.offset(), c.offset) << c.skip;
    std::fclose(file);
  }
  // The smallest block, 800 characters, holds two of the longest numbers;
  // 300 values of 4 characters cross it.
  std::string many;
  for (int i = 0; i < 500; ++i) many += "123 ";
  writeFile(path, many);
  FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  AsciiGridScanner scanner(file, 800);
  EXPECT_EQ(scanner.skipTokens(300), 300);
  EXPECT_EQ(scanner.offset(), 1200);
  double value = 0.0;
  EXPECT_TRUE(scanner.nextNumber(value));
  EXPECT_EQ(value, 123.0);
  EXPECT_EQ(scanner.skipTokens(1000), 199);
  std::fclose(file);
}

// The values of a piece of a file, counted and found alone: a value that
// began before the piece is not one of it, and values that straddle the
// spans counted at once are found where they begin.
TEST(AsciiGridRows, CountsAndFindsTheValuesThatBeginInAPiece) {
  std::string straddling;
  for (int i = 0; i < 2000; ++i) straddling += "123456 ";
  struct Case {
    std::string text;
    bool afterBlank;
    long count;
    std::vector<long> wanted;
    std::vector<long> offsets;
  };
  const std::vector<Case> cases = {
      {"12 3  45", true, 3, {0, 2}, {0, 6}},
      {"12 3  45", false, 2, {0, 1}, {3, 6}},
      {"\t\n 7\r\n", false, 1, {0, 1}, {3}},
      {"", true, 0, {0}, {}},
      {straddling, true, 2000, {36, 37, 1999}, {252, 259, 13993}},
      {straddling.substr(3), false, 1999, {35, 2000}, {249}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(countTokenStarts(c.text.data(), c.text.size(), c.afterBlank), c.count) << c.text;
    std::vector<long> offsets(c.wanted.size(), -1);
    const size_t found = findTokenStarts(c.text.data(), c.text.size(), c.afterBlank,
                                         c.wanted.data(), c.wanted.size(), offsets.data());
    offsets.resize(found);
    EXPECT_EQ(offsets, c.offsets) << c.text.substr(0, 20);
  }
}
