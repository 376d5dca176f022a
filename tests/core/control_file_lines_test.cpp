#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/control_file_lines.h"
#include "tests/test_support.h"

namespace {

// The whole text of a stream from where it stands, closing it.
std::string rest(std::FILE* file) {
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

} // namespace

// The remembered copy is read from memory under its name, with the seeks a
// section reader makes; any other name, or the copy once forgotten, from
// the disk.
TEST(ControlFileLines, ReadsTheRememberedCopyFromMemory) {
  const std::string dir = makeTestDirectory("copy_in_memory");
  const std::string copy = dir + "/run.ctl.intern";
  const std::string other = dir + "/other.ctl";
  writeFile(copy, "on the disk\n");
  writeFile(other, "[other]\n");
  const std::string text = "[model_time]\n1  start day\n[coordinates]\n47.5\n";
  rememberCopiedText(copy, text);

  std::FILE* file = openControlFile(copy);
  ASSERT_NE(file, nullptr);
  char line[64];
  ASSERT_NE(std::fgets(line, sizeof line, file), nullptr);
  EXPECT_STREQ(line, "[model_time]\n");
  const long second = std::ftell(file);
  EXPECT_EQ(second, 13);
  EXPECT_EQ(rest(file), "1  start day\n[coordinates]\n47.5\n");
  file = openControlFile(copy);
  ASSERT_EQ(std::fseek(file, second, SEEK_SET), 0);
  // A stream opened before the copy is forgotten reads it whole.
  forgetCopiedText(other);
  forgetCopiedText(copy);
  EXPECT_EQ(rest(file), "1  start day\n[coordinates]\n47.5\n");

  EXPECT_EQ(rest(openControlFile(copy)), "on the disk\n");
  EXPECT_EQ(rest(openControlFile(other)), "[other]\n");
  rememberCopiedText(copy, "");
  EXPECT_EQ(rest(openControlFile(copy)), "");
  forgetCopiedText(copy);
  EXPECT_EQ(openControlFile(dir + "/missing.ctl"), nullptr);
}

// A message names the file the user wrote for the remembered copy and any
// other file as it is.
TEST(ControlFileLines, NamesTheUsersFileForTheCopy) {
  rememberCopiedLines("run.ctl.intern", "run.ctl", {3, 4});
  const struct {
    const char* name;
    const char* shown;
  } cases[] = {{"run.ctl.intern", "run.ctl"},
               {"other.ctl.intern", "other.ctl.intern"},
               {"run.ctl", "run.ctl"}};
  for (const auto& c : cases) EXPECT_EQ(userControlFile(c.name), c.shown) << c.name;
  EXPECT_EQ(controlFileLine("run.ctl.intern", 2), "line 4 of run.ctl");
  rememberCopiedLines("", "", {});
  EXPECT_EQ(userControlFile("run.ctl.intern"), "run.ctl.intern");
}
