#include <gtest/gtest.h>

#include <filesystem>

#include "core/control_file_lines.h"
#include "core/line_reader.h"
#include "tests/config/control_file_reader_model.h"
#include "tests/test_support.h"

namespace {

using Symbols = std::vector<defaultini::ControlFileSymbol>;

size_t occurrences(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t p = text.find(piece); p != std::string::npos; p = text.find(piece, p + 1)) ++count;
  return count;
}

} // namespace

TEST(ControlFilePreprocessor, WritesTheInternCopyOfEveryFeature) {
  const std::string dir = makeTestDirectory("pre_golden");
  const std::string control = dir + "/run.ctl";
  writeFile(control, "# golden control file\n"
                     "$set $dir = /data/run1\n"
                     "   $set $step = 60\n"
                     "[output_interval]\n"
                     "24   output interval # in hours\n"
                     "$late  second switch\n"
                     "0#glued comment\n"
                     "  # indented comment line\n"
                     "timestep = $step\n"
                     "   # $set $ghost = $nowhere\n"
                     "DefaultOutputDirectory = $dir//_out.txt\n"
                     "a//b\n"
                     "ax = $ax;\n"
                     "\n"
                     "[model_time]\n"
                     "startyear = $year\n"
                     "$set $year = 2001\n"
                     "$set $copy = $dir\n"
                     "$set $a = 5\n"
                     "$set $b = 5\n"
                     "$set $ax = $a//x\n"
                     "$set $late = 1\n"
                     "$set $year = 1999\n"
                     "last line $copy");
  ControlFileReaderModel reader(dir, control);
  std::string intern;
  reader.compileSymbols(control, intern);

  EXPECT_EQ(intern, control + ".intern");
  EXPECT_EQ(readFile(intern), "[output_interval]\n"
                              "24   output interval\n"
                              "1  second switch\n"
                              "0\n"
                              "timestep = 60\n"
                              "DefaultOutputDirectory = /data/run1_out.txt\n"
                              "ab\n"
                              "ax = 5x;\n"
                              "\n"
                              "[model_time]\n"
                              "startyear = 2001\n"
                              "last line /data/run1");
  const std::string console = reader.console();
  EXPECT_NE(console.find("compiling symbols in control file " + control), std::string::npos);
  // Only the two equal texts are reported; equal numbers are not.
  EXPECT_EQ(occurrences(console, "possible error in control file!"), 1u);
  EXPECT_NE(console.find("content of symbol $dir is the same as symbol $copy, \n (which is: "
                         "/data/run1).\nthis may lead to collusions!"),
            std::string::npos);
}

// Messages name the line the user wrote: the copy leaves out the symbol
// definitions and the lines of a comment only.
TEST(ControlFilePreprocessor, CopyLinesNameTheUsersLines) {
  const std::string dir = makeTestDirectory("pre_lines");
  const std::string control = dir + "/run.ctl";
  writeFile(control, "# comment\n$set $a = 5\n[model_time]\n  # indented comment\n\n"
                     "startday = $a # glued\nlast\n");
  ControlFileReaderModel reader(dir, control);
  std::string intern;
  reader.compileSymbols(control, intern);
  reader.shareCopiedLines(control, intern);
  ASSERT_EQ(readFile(intern), "[model_time]\n\nstartday = 5\nlast\n");
  const struct {
    long line;
    std::string named;
  } cases[] = {{1, "line 3 of " + control}, {2, "line 5 of " + control},
               {3, "line 6 of " + control}, {4, "line 7 of " + control},
               {5, "line 5 of " + intern},  {0, "line 0 of " + intern}};
  for (const auto& c : cases) EXPECT_EQ(controlFileLine(intern, c.line), c.named) << c.line;
  EXPECT_EQ(controlFileLine(control, 2), "line 2 of " + control);
}

TEST(ControlFilePreprocessor, CopiesAFileWithoutSymbolsUnchanged) {
  const std::string dir = makeTestDirectory("pre_plain");
  const std::string control = dir + "/plain.ctl";
  const std::string text = "[zone_grid]\nzone.asc  zone grid\n\n\t[coordinates]\n47.5 / 2\nend";
  writeFile(control, text);
  ControlFileReaderModel reader(dir, control);
  std::string intern;
  reader.compileSymbols(control, intern);
  EXPECT_EQ(readFile(intern), text);
}

TEST(ControlFilePreprocessor, TakesLongLinesAndValuesAndThousandsOfDefinitions) {
  const std::string dir = makeTestDirectory("pre_large");
  const std::string control = dir + "/large.ctl";
  const std::string longValue(400, 'v');
  std::string text = "$set $long = " + longValue + "\n";
  std::string line;
  std::string expected;
  for (int i = 0; i < 2500; ++i) {
    text += "$set $s" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    line += "$s" + std::to_string(i) + " ";
    expected += std::to_string(i) + " ";
  }
  text += line + "$long\n";
  writeFile(control, text);
  ControlFileReaderModel reader(dir, control);
  std::string intern;
  reader.compileSymbols(control, intern);
  EXPECT_EQ(readFile(intern), expected + longValue + "\n");
}

TEST(ControlFilePreprocessor, ReplaceSymbolsCutsCommentsJoinsAndSubstitutes) {
  const std::string dir = makeTestDirectory("pre_replace");
  ControlFileReaderModel reader(dir, dir + "/none.ctl");
  const Symbols symbols = {{"$dir", "/data/run1"}, {"$a", "1"}, {"$a", "2"}, {"$ab", "x"}};
  struct Case {
    std::string line;
    std::string expected;
  };
  const Case cases[] = {
      {"12 # text\n", "12\n"},
      {"12\t# text\n", "12\n"},
      {"# text\n", ""},
      {"  \t# indented comment\n", ""},
      {"value#text\n", "value\n"},
      {"last line # no line end", "last line\n"},
      {"a//b\n", "ab\n"},
      {"a///b c////d\n", "a/b cd\n"},
      {"x = $a;\n", "x = 1;\n"},
      {"$ab $a\n", "x 1\n"},
      {"p = $dir//_out.txt\n", "p = /data/run1_out.txt\n"},
      {"  $set $b = $a//c # note\n", "  $set $b = $a//c\n"},
  };
  for (const Case& c : cases) {
    std::string line = c.line;
    EXPECT_EQ(reader.replaceSymbols(line, 7, symbols), c.expected) << c.line;
  }
}

TEST(ControlFilePreprocessor, RejectsUndefinedAndMalformedSymbolsAndEndlessLines) {
  struct Case {
    std::string text;
    std::string message;
    const char* linkTo; // the control file is a link to this file instead
  };
  const std::string symbolError = "possible error in control file!\n";
  const std::string tooLong =
      ": the line is longer than 1048576 bytes (is the file a text file with line ends?)";
  std::string manyReferences = "$set $a = " + std::string(1000, 'a') + "\n";
  for (int i = 0; i < 1100; ++i) manyReferences += "$a ";
  const Case cases[] = {
      {"[a]\n$undefined here\n", symbolError + "undefined symbol at line 2:\n$undefined here\n\n",
       nullptr},
      {"$set $x = 1\nfree text costs $5\n",
       symbolError + "undefined symbol at line 2:\nfree text costs $5\n", nullptr},
      {"$set $b = $c\n$set $c = 1\n", symbolError + "undefined symbol at line 1:\n$c\n", nullptr},
      {"a = $dir/file\n$set $dir = x\n",
       symbolError + "undefined symbol at line 1:\na = $dir/file\n", nullptr},
      {"x\n$set $a=5\n",
       symbolError + "malformed definition (expected \"$set $name = value\") at line 2:\n"
                     "$set $a=5\n",
       nullptr},
      {"$set a = 5\n", symbolError + "malformed definition", nullptr},
      {"$set $a = x$a\n", symbolError + "symbol $a refers to itself at line 1:\n", nullptr},
      {"$set $a = $a\n", symbolError + "symbol $a refers to itself at line 1:\n", nullptr},
      {std::string(maxLineBytes, 'x') + "\n" + std::string(maxLineBytes + 1, 'y'),
       "bad.ctl, line 2" + tooLong, nullptr},
      {"", "bad.ctl, line 1" + tooLong, "/dev/zero"},
      {manyReferences,
       "control file line 2 grows beyond 1048576 bytes by the substitution of $a; shorten the "
       "symbol's value or split the line",
       nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = makeTestDirectory("pre_reject" + std::to_string(n++));
    const std::string control = dir + "/bad.ctl";
    if (c.linkTo)
      std::filesystem::create_symlink(c.linkTo, control);
    else
      writeFile(control, c.text);
    ControlFileReaderModel reader(dir, control);
    std::string intern;
    EXPECT_EQ(exitCodeOf([&] { reader.compileSymbols(control, intern); }), 17) << c.message;
    EXPECT_NE(reader.console().find(c.message), std::string::npos)
        << reader.console().substr(0, 500);
    EXPECT_FALSE(fileExists(control + ".intern")) << c.message;
  }
}

TEST(ControlFilePreprocessor, DetectsCyclesThroughOtherSymbols) {
  const std::string dir = makeTestDirectory("pre_cycle");
  ControlFileReaderModel reader(dir, dir + "/none.ctl");
  std::string line = "v = $a\n";
  EXPECT_EQ(exitCodeOf([&] { reader.replaceSymbols(line, 4, {{"$a", "$b"}, {"$b", "x$a"}}); }), 17);
  EXPECT_NE(reader.console().find("symbol $a refers to itself at line 4:"), std::string::npos);

  // A symbol used twice in one value is no cycle.
  line = "v = $a $b\n";
  EXPECT_EQ(reader.replaceSymbols(line, 5, {{"$a", "$b//-$b"}, {"$b", "x"}}), "v = x-x x\n");
}

TEST(ControlFilePreprocessor, FailsOnAMissingControlFile) {
  const std::string dir = makeTestDirectory("pre_missing");
  const std::string control = dir + "/absent.ctl";
  ControlFileReaderModel reader(dir, control);
  std::string intern;
  EXPECT_EQ(exitCodeOf([&] { reader.compileSymbols(control, intern); }), 28);
  EXPECT_NE(reader.console().find("error opening " + control), std::string::npos);
}
