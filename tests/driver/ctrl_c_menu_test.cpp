#include <gtest/gtest.h>

#include <cstdio>

#include "driver/ctrl_c_menu.h"
#include "tests/driver/model_run.h"

// Rank 0 takes the first character of the line that is not blank; anything
// else counts as 0, and the rest of the line does not answer the next menu.
// An input at its end (a run in the background) cannot answer.
TEST(CtrlCMenu, ReadsOneAnswerPerLine) {
  const std::string dir = makeTestDirectory("ctrlc_menu");
  RunLog log(dir);
  std::FILE* input = std::tmpfile();
  ASSERT_NE(input, nullptr);
  std::fputs("1\n  3 and more\n2\n\nx1\n0\n3", input);
  std::rewind(input);
  std::vector<RunAnswer> answers;
  for (int k = 0; k < 8; ++k) answers.push_back(askCtrlCMenu(*log.diag, input, 0));
  std::fclose(input);
  const std::vector<RunAnswer> expected = {
      RunAnswer::finish,       RunAnswer::flushAndGoOn, RunAnswer::stopWithoutSaving,
      RunAnswer::goOn,         RunAnswer::goOn,         RunAnswer::goOn,
      RunAnswer::flushAndGoOn, RunAnswer::unanswered};
  EXPECT_EQ(answers, expected);
  EXPECT_TRUE(log.has("0 = no (continue)\n(mpi-rank  0) 1 = cancel with next interval (writing all "
                      "grids and buffers)\n(mpi-rank  0) 2 = cancel now without saving buffers!\n"
                      "(mpi-rank  0) 3 = flush buffers and go on\n(mpi-rank  0) your choice: \n"))
      << log.text();
  // The menu is a prompt: nothing of it goes to the diagnostics file.
  log.diag.reset();
  EXPECT_EQ(readFile(dir + "/diag_0.xml").find("your choice"), std::string::npos);
}

TEST(CtrlCMenu, CommandsOfTheExternalProgram) {
  const struct {
    const char* line;
    RunAnswer answer;
    bool warned;
  } cases[] = {
      {"Command=Continue", RunAnswer::goOn, false},
      {"Command=Finish", RunAnswer::finish, false},
      {"Command=StopWithoutSaving", RunAnswer::stopWithoutSaving, false},
      {"Command=SaveAndContinue  free text", RunAnswer::flushAndGoOn, false},
      {"  Command=Finish\r", RunAnswer::finish, false},
      {"Command=finish", RunAnswer::goOn, true},
      {"Command=FinishNow", RunAnswer::goOn, true},
      {"Finish", RunAnswer::goOn, true},
      {"Command=", RunAnswer::goOn, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    RunLog log(makeTestDirectory("ctrlc_command"));
    EXPECT_EQ(answerOfCommand(*log.diag, c.line, "sem.txt"), c.answer);
    EXPECT_EQ(log.has("semaphore file sem.txt: unknown command"), c.warned);
  }
}
