#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <thread>

#include "core/console_buffer.h"
#include "core/ctrl_c.h"
#include "tests/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Far more than a pipe holds (64 KiB), in numbered lines.
std::string manyLines() {
  std::string text;
  for (int k = 0; text.size() < 300000; ++k) text += "line " + std::to_string(k) + " of the log\n";
  return text;
}

// What a pipe holds now, without waiting for more.
std::string drain(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string text;
  char block[4096];
  for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;)
    text.append(block, static_cast<std::size_t>(n));
  return text;
}

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

// A reader that reads gets every byte in order; a regular file too.
TEST(ConsoleBuffer, WritesAllAReaderTakes) {
  const std::string text = manyLines();
  Pipe p;
  std::string received;
  std::thread reader([&] {
    char block[4096];
    for (ssize_t n; (n = read(p.fds[0], block, sizeof block)) > 0;)
      received.append(block, static_cast<std::size_t>(n));
  });
  {
    ConsoleBuffer buffer(p.fds[1], 1000);
    std::ostream out(&buffer);
    out << text.substr(0, 1000) << std::flush << text.substr(1000) << std::flush;
    EXPECT_TRUE(out.good());
    close(p.fds[1]);
  }
  p.fds[1] = open("/dev/null", O_WRONLY);
  reader.join();
  EXPECT_EQ(received, text);

  const std::string dir = makeTestDirectory("console_file");
  const int file = open((dir + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  {
    ConsoleBuffer buffer(file, 10);
    std::ostream out(&buffer);
    out << text << std::flush;
    EXPECT_TRUE(out.good());
  }
  close(file);
  EXPECT_EQ(readFile(dir + "/console.txt"), text);
}

// A reader that stopped reading holds the writer for its patience only,
// or not at all once the run is asked to end; then the console is given
// up: the stream goes bad, the pipe holds what was written of the text,
// and the inherited description stays blocking (a shell shares it).
TEST(ConsoleBuffer, GivesUpAReaderThatStopped) {
  const std::string text = manyLines();
  const struct {
    const char* what;
    int patience;
    int signal;
    double least, most;
  } cases[] = {{"patience of 0.3 s", 300, 0, 0.25, 3.0},
               {"the run is being ended", 60000, SIGTERM, 0.0, 1.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    consoleGivenUp = 0;
    endSignal = c.signal;
    Pipe p;
    ConsoleBuffer buffer(p.fds[1], c.patience);
    std::ostream out(&buffer);
    const Clock::time_point start = Clock::now();
    out << text << std::flush;
    const double waited = secondsSince(start);
    EXPECT_GE(waited, c.least);
    EXPECT_LE(waited, c.most);
    EXPECT_TRUE(out.bad());
    EXPECT_TRUE(buffer.givenUp());
    EXPECT_EQ(consoleGivenUp, 1);
    EXPECT_EQ(fcntl(p.fds[1], F_GETFL) & O_NONBLOCK, 0);
    const std::string held = drain(p.fds[0]);
    EXPECT_GT(held.size(), 0u);
    EXPECT_LT(held.size(), text.size());
    EXPECT_EQ(held, text.substr(0, held.size()));
    // Nothing more, at once.
    const Clock::time_point again = Clock::now();
    out.clear();
    out << text << std::flush;
    EXPECT_LT(secondsSince(again), 0.2);
    EXPECT_EQ(drain(p.fds[0]), "");
  }
  endSignal = 0;
  consoleGivenUp = 0;
}

// The handlers' notes go out only where they need not wait, and not at all
// once a console was given up.
TEST(ConsoleBuffer, NotesOnlyWhatTheConsoleTakesAtOnce) {
  Pipe p;
  noteOnConsole(p.fds[1], "SIGTERM\n", 8);
  EXPECT_EQ(drain(p.fds[0]), "SIGTERM\n");
  const std::string full(70000, 'x');
  fcntl(p.fds[1], F_SETFL, fcntl(p.fds[1], F_GETFL) | O_NONBLOCK);
  while (write(p.fds[1], full.data(), full.size()) > 0) {
  }
  const Clock::time_point start = Clock::now();
  noteOnConsole(p.fds[1], "SIGTERM\n", 8);
  EXPECT_LT(secondsSince(start), 0.2);
  EXPECT_EQ(drain(p.fds[0]).find("SIGTERM"), std::string::npos);
  consoleGivenUp = 1;
  noteOnConsole(p.fds[1], "SIGTERM\n", 8);
  EXPECT_EQ(drain(p.fds[0]), "");
  consoleGivenUp = 0;
}
