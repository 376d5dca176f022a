#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/key_value_parser.h"

TEST(KeyValueParser, ReadsIntegersDoublesAndWords) {
  const KeyValueParser parser;
  struct IntCase {
    std::string text, key;
    int value;
  };
  for (const IntCase& c : std::vector<IntCase>{
           {"skiprows = 3; format = horva;", "skiprows", 3},
           {"skiprows = 3; format = horva;", "rows", 3}, // a key also matches inside a word
           {"max = 5; x = 1;", "x", 5},
           {"n=-12;", "n", -12},
           {"n = 3.7;", "n", 3},
           {"a = 1; b = 2", "b", 2}}) {
    int value = -1;
    parser.getValue(c.text, c.key, value);
    EXPECT_EQ(value, c.value) << c.text << " / " << c.key;
  }

  struct DoubleCase {
    std::string text, key;
    double value;
  };
  for (const DoubleCase& c : std::vector<DoubleCase>{
           {"a = 2.5", "a", 2.5}, {"limit=1e-3;", "limit", 1e-3}, {"a = 2.5x; b = 1", "a", 2.5}}) {
    double value = 0.0;
    parser.getValue(c.text, c.key, value);
    EXPECT_DOUBLE_EQ(value, c.value) << c.text;
  }

  struct WordCase {
    std::string text, key, value;
  };
  for (const WordCase& c :
       std::vector<WordCase>{{"skiprows = 3; format = horva;", "format", "horva"},
                             {"key=value;", "key", "value"},
                             {"name = a b;", "name", "a"},
                             {"name = ;", "name", ""},
                             {"flag; other = 5;", "flag", ""}}) {
    std::string value = "stale";
    parser.getValue(c.text, c.key, value);
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(KeyValueParser, AnAbsentKeyIsOutOfRange) {
  const KeyValueParser parser;
  int number = 0;
  std::string word;
  EXPECT_THROW(parser.getValue("format = horva;", "rows", number), std::out_of_range);
  EXPECT_THROW(parser.getValue("Format = horva;", "format", word), std::out_of_range);
  EXPECT_THROW(parser.getValue("", "a", word), std::out_of_range);
}

TEST(KeyValueParser, ExtractsBraceBlocksOneAfterTheOther) {
  const KeyValueParser parser;
  std::string text = "options {x = 1;} rest";
  EXPECT_EQ(parser.extractBlock(text), "x = 1;}");
  EXPECT_EQ(text, " rest");
  EXPECT_THROW(parser.extractBlock(text), std::out_of_range);

  text = "{a = 1;}{b = 2;} tail";
  EXPECT_EQ(parser.extractBlock(text), "a = 1;}");
  EXPECT_EQ(parser.extractBlock(text), "b = 2;}");
  EXPECT_EQ(text, " tail");

  text = "first {a = 1;";
  EXPECT_EQ(parser.extractBlock(text), "a = 1;");
  EXPECT_EQ(text, "first {a = 1;") << "an unclosed block leaves the text as it is";

  // A stray "}" ahead of the first block neither repeats nor loses a block.
  text = "x } y {a = 1;} {b = 2;}";
  EXPECT_EQ(parser.extractBlock(text), "a = 1;}");
  EXPECT_EQ(parser.extractBlock(text), "b = 2;}");
  EXPECT_EQ(text, "");
}
