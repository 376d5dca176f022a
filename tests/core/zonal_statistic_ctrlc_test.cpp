#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <thread>

#include "core/ctrl_c.h"
#include "tests/core/zonal_statistic_fixture.h"

namespace {

using Handler = void (*)(int);

Handler sigintHandler() {
  struct sigaction current {};
  sigaction(SIGINT, nullptr, &current);
  return current.sa_handler;
}

Handler armedHandler() {
  ArmCtrlCHandler();
  const Handler armed = sigintHandler();
  ResetCtrlCHandler();
  return armed;
}

// Runs `write` on a FIFO whose reader looks at SIGINT as soon as data
// arrives and only then drains it: a write of more than the pipe holds
// cannot have finished by then. Returns the handler seen and the text.
std::pair<Handler, std::string> handlerWhileWriting(const std::string& fifo,
                                                    const std::function<void()>& write) {
  EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  Handler seen = nullptr;
  std::string text;
  std::thread reader([&] {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) return;
    seen = sigintHandler();
    char buffer[65536];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got == 0) break;
      if (got > 0) text.append(buffer, static_cast<size_t>(got));
      if (got < 0) poll(&p, 1, 1000);
    }
  });
  write();
  reader.join();
  close(fd);
  return {seen, text};
}

} // namespace

// SIGINT is ignored while a statistics file is written; afterwards the buffer
// writer arms the Ctrl-C handler again and the header writer restores the
// default action, also when the file cannot be opened.
TEST(ZonalStatistic, IgnoresCtrlCWhileWritingFiles) {
  const Handler armed = armedHandler();
  ASSERT_NE(armed, SIG_DFL);
  ASSERT_NE(armed, SIG_IGN);
  const int n = 20000; // header and line each far larger than a pipe holds
  StatisticFixture f("zonal_ctrlc", std::vector<double>(n, 1.0), std::vector<double>(n, 0.5));
  auto s = f.zonal(2001, 1, "fifo");

  ResetCtrlCHandler();
  auto header =
      handlerWhileWriting(f.path("fifo"), [&] { s->writeHeader("a", "b", f.table.data(), 8); });
  EXPECT_EQ(header.first, SIG_IGN);
  EXPECT_EQ(header.second.substr(0, 16), "YY\tMM\tDD\tHH\t\"1\"\t");
  EXPECT_EQ(sigintHandler(), SIG_DFL);

  s->resetZones();
  s->addValue(1, 1, 1, 2.0, 1.0);
  s->storeStep(2020, 1, 1, 0, 0, 1);
  std::remove(f.path("fifo").c_str());
  auto lines = handlerWhileWriting(f.path("fifo"), [&] { s->writeBuffer(); });
  EXPECT_EQ(lines.first, SIG_IGN);
  EXPECT_EQ(lines.second.substr(0, 21), "2020\t 1\t 1\t 0\t2.0\t0.0");
  EXPECT_EQ(lines.second.size(), 13 + 4 * static_cast<size_t>(n + 1) + 1);
  EXPECT_EQ(sigintHandler(), armed);

  // The same states after a file that cannot be opened.
  auto broken = f.zonal(2001, 1, "missing/dir/x.stat");
  ResetCtrlCHandler();
  EXPECT_EQ(exitCodeOf([&] { broken->writeHeader("a", "b", f.table.data(), 8); }), 15);
  EXPECT_EQ(sigintHandler(), SIG_DFL);
  broken->resetZones();
  broken->storeStep(2020, 1, 1, 0, 0, 1);
  EXPECT_EQ(exitCodeOf([&] { broken->writeBuffer(); }), 15);
  EXPECT_EQ(sigintHandler(), armed);
  EXPECT_NE(f.console.str().find("error opening \n" + f.path("missing/dir/x.stat")),
            std::string::npos);
  ResetCtrlCHandler();
}
