#pragma once

#include <cerrno>
#include <cstring>
#include <string>

// Exit code of a file that cannot be written.
constexpr int fileWriteFailedCode = 18;

// The system's reason for an errno value, such as "Permission denied".
inline std::string systemReason(int error) {
  return error != 0 ? std::strerror(error) : "no reason given by the system";
}

// A full disk fails a write, a flush or a close, whichever first meets the
// buffered data: it ends the run with the write failure's code wherever it
// strikes, so that one code means one cause.
inline int fileFailureCode(int error, int otherwise) {
  return error == ENOSPC || error == EDQUOT ? fileWriteFailedCode : otherwise;
}
