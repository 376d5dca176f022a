#include "core/console_buffer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>

#include "core/ctrl_c.h"

volatile std::sig_atomic_t consoleGivenUp = 0;

namespace {

// The descriptions of standard output and error the handlers write to.
int handlerFd[3] = {-1, -1, -1};

constexpr std::size_t bufferedBytes = 4096;
constexpr long pollSliceMilliseconds = 50;

// A description of the console's own with O_NONBLOCK, so that a write
// returns what it could not write at once instead of waiting; setting the
// flag on the inherited description would change it for the terminal's
// shell too. A regular file takes every write; anything that cannot be
// opened again is written through as it is (and may block).
int openNonBlocking(int fd, bool& own) {
  own = false;
  struct stat status;
  if (fstat(fd, &status) != 0 || S_ISREG(status.st_mode)) return fd;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const int opened = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_APPEND);
  if (opened < 0) return fd;
  own = true;
  return opened;
}

} // namespace

ConsoleBuffer::ConsoleBuffer(int fdArg, int patienceMilliseconds) : patience(patienceMilliseconds) {
  fd = openNonBlocking(fdArg, ownFd);
  pending.reserve(bufferedBytes);
  if (ownFd && fdArg >= 0 && fdArg < 3) {
    slot = fdArg;
    handlerFd[slot] = fd;
  }
}

ConsoleBuffer::~ConsoleBuffer() {
  writePending();
  if (slot >= 0) handlerFd[slot] = -1;
  if (ownFd) close(fd);
}

ConsoleBuffer::int_type ConsoleBuffer::overflow(int_type c) {
  if (lost) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  pending += traits_type::to_char_type(c);
  if (pending.size() >= bufferedBytes && !writePending()) return traits_type::eof();
  return c;
}

std::streamsize ConsoleBuffer::xsputn(const char* text, std::streamsize count) {
  if (lost) return 0;
  pending.append(text, static_cast<std::size_t>(count));
  if (pending.size() >= bufferedBytes && !writePending()) return 0;
  return count;
}

int ConsoleBuffer::sync() { return writePending() ? 0 : -1; }

bool ConsoleBuffer::writePending() {
  if (lost) return false;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(patience);
  std::size_t done = 0;
  while (done < pending.size()) {
    const ssize_t written = write(fd, pending.data() + done, pending.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    const long left =
        patience < 0
            ? pollSliceMilliseconds
            : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (endSignal != 0 || left <= 0) break;
    // In slices: the SIGTERM that ends the patience may reach another thread.
    pollfd wait{fd, POLLOUT, 0};
    if (poll(&wait, 1, static_cast<int>(std::min(left, pollSliceMilliseconds))) < 0 &&
        errno != EINTR)
      break;
  }
  if (done == pending.size()) {
    pending.clear();
    return true;
  }
  pending.clear();
  lost = true;
  consoleGivenUp = 1;
  return false;
}

void noteOnConsole(int fd, const char* text, std::size_t size) {
  if (consoleGivenUp != 0) return;
  if (fd >= 0 && fd < 3 && handlerFd[fd] >= 0) fd = handlerFd[fd];
  pollfd ready{fd, POLLOUT, 0};
  if (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) return;
  ssize_t written = write(fd, text, size);
  (void)written;
}
