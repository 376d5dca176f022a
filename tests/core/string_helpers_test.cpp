#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/string_helpers.h"

TEST(Tokenize, SplitsAtDelimitersAndKeepsQuotedStringsWhole) {
  struct Case {
    std::string text;
    std::string delimiters;
    bool keepTrailingEmpty;
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"  a  b   c", " ", false, {"a", "b", "c"}},
      {"  a  b   c", " ", true, {"a", "b", "c"}},
      {"a;b;", ";", true, {"a", "b", ""}},
      {"a;b;", ";", false, {"a", "b"}},
      {"a,b;;c", ",;", false, {"a", "b", "c"}},
      {"a \"b c\" d", " ", false, {"a", "\"b c\"", "d"}},
      {"a\"b\"c", "\"", false, {"a", "b", "c"}},
      {"\"x\\\" y\" z", " ", false, {"\"x\\\" y\"", "z"}}, // escaped quote stays inside
      {"\"x\\\\\" y", " ", false, {"\"x\\\\\"", "y"}},     // escaped backslash closes
      {"\"ab\"c d", " ", false, {"\"ab\"", "d"}},          // the character behind a word is eaten
      {"a \"b c", " ", false, {"a", "\"b c"}},             // unclosed: the rest of the text
      {"a \"b ", " ", true, {"a", "\"b ", ""}},
      {"\"", " ", false, {"\""}},
      {"", " ", true, {""}},
      {"", " ", false, {}},
      {";;;", ";", true, {"", ""}},
      {";;;", ";", false, {}},
      {"abc", "", false, {"abc"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words;
    const int count = tokenize(c.text, c.delimiters, words, c.keepTrailingEmpty);
    EXPECT_EQ(words, c.words) << "text [" << c.text << "] flag " << c.keepTrailingEmpty;
    EXPECT_EQ(count, static_cast<int>(c.words.size())) << c.text;
  }
}

TEST(Tokenize, AppendsToTheListAndCountsEveryWordInIt) {
  std::vector<std::string> words = {"before"};
  EXPECT_EQ(tokenize("a b", " ", words, false), 3);
  EXPECT_EQ(words, (std::vector<std::string>{"before", "a", "b"}));
}

// Unlike tokenize, quotes do not hold words together.
TEST(SplitWords, SplitsAtEveryKindOfBlank) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(splitWords(""), Words{});
  EXPECT_EQ(splitWords(" \t\r\n"), Words{});
  EXPECT_EQ(splitWords("a"), Words{"a"});
  EXPECT_EQ(splitWords("\tsoil.asc  soil_types\fx\vy\r\n"),
            (Words{"soil.asc", "soil_types", "x", "y"}));
  EXPECT_EQ(splitWords("\"two words\" 3"), (Words{"\"two", "words\"", "3"}));
}

TEST(NumbersBeforeComment, StopAtTheCommentOrTheFirstWord) {
  using Numbers = std::vector<double>;
  EXPECT_EQ(numbersBeforeComment(""), Numbers{});
  EXPECT_EQ(numbersBeforeComment("(maxirrig[0])"), Numbers{});
  EXPECT_EQ(numbersBeforeComment("1\t0.25 -3e-2 (glacier code, area 7 8)"),
            (Numbers{1.0, 0.25, -0.03}));
  EXPECT_EQ(numbersBeforeComment("4 5 x 6"), (Numbers{4.0, 5.0}));
  EXPECT_EQ(numbersBeforeComment("0.1 0.2 "), (Numbers{0.1, 0.2}));
}

TEST(FindSubstring, GivesThePositionOrZero) {
  struct Case {
    std::string text;
    std::string piece;
    long position;
  };
  for (const Case& c : std::vector<Case>{{"[abc]", "]", 4},
                                         {"[abc]", "bc", 2},
                                         {"[abc]", "x", 0},
                                         {"[abc]", "[", 0},
                                         {"a]b]", "]", 1},
                                         {"", "a", 0}})
    EXPECT_EQ(findSubstring(c.text, c.piece), c.position) << c.text << " / " << c.piece;
}

TEST(CutString, KeepsFirstToFirstPlusCountInclusive) {
  struct Case {
    std::string text;
    long first;
    long count;
    std::string result;
  };
  for (const Case& c : std::vector<Case>{{"[abc]", 1, 2, "abc"},
                                         {"[abc]", 0, 0, "["},
                                         {"[abc]", 0, 4, "[abc]"},
                                         {"[abc]", -1, 2, "[abc]"},
                                         {"[abc]", 1, -1, "[abc]"},
                                         {"[abc]", 2, 10, "bc]"},
                                         {"[abc]", 5, 0, ""},
                                         {"[abc]", 1, 2147483647L, "abc]"}}) {
    std::string text = c.text;
    std::string& cut = cutString(text, c.first, c.count);
    EXPECT_EQ(&cut, &text);
    EXPECT_EQ(text, c.result) << c.text << " " << c.first << " " << c.count;
  }
}

TEST(LayerFileName, InsertsTheLayerBeforeTheExtension) {
  struct Case {
    std::string name;
    int layer;
    std::string result;
  };
  for (const Case& c : std::vector<Case>{{"etp.grd", 1, "etp_Layer_1.grd"},
                                         {"etp.grd", 12, "etp_Layer_12.grd"},
                                         {"a.b.stat", 2, "a.b_Layer_2.stat"},
                                         {"etp", 3, "etp_Layer_3"},
                                         {"./out.d/etp", 2, "./out.d/etp_Layer_2"},
                                         {"out.d/etp.asc", 1, "out.d/etp_Layer_1.asc"}})
    EXPECT_EQ(layerFileName(c.name, c.layer), c.result) << c.name;
}
