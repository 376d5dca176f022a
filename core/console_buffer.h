#pragma once

#include <csignal>
#include <streambuf>
#include <string>

// Set once a console was given up (see ConsoleBuffer); the signal handlers
// then write nothing to the console.
extern volatile std::sig_atomic_t consoleGivenUp;

// The output of a process's console (standard output or standard error) for
// its diagnostics: what a reader (a terminal, a pipe, mpirun) does not take
// within the patience given (a negative patience: until the run is asked to
// end) is dropped, and the console is given up for the rest of the run, so
// that the run never waits for a reader that is gone. mpirun stops reading
// its processes' output once it is told to end the job, sends them SIGTERM a
// second later and kills them a second after that: a process blocked in a
// write would never reach the end of its step. Once a run is asked to end
// (endSignal), the console gets no patience.
// The stream that writes through it goes bad when it gives up, and writes
// nothing from then on. Written in pieces on each flush, so that a process
// in a collective step never waits for a slow terminal for long.
class ConsoleBuffer : public std::streambuf {
public:
  ConsoleBuffer(int fd, int patienceMilliseconds);
  ~ConsoleBuffer() override;
  ConsoleBuffer(const ConsoleBuffer&) = delete;
  ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;

  bool givenUp() const { return lost; }

protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

private:
  bool writePending();

  int fd = -1;
  bool ownFd = false;
  int slot = -1; // the standard stream whose own description it holds
  int patience = 0;
  std::string pending;
  bool lost = false;
};

// Writes text to fd (through a console buffer's own description of it, if
// one holds it) if fd takes it at once, without blocking; for the signal
// handlers (async-signal-safe), silent once a console was given up.
void noteOnConsole(int fd, const char* text, std::size_t size);
