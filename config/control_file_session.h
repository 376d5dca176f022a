#pragma once

#include <cstdio>
#include <string>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"

// Opens the control file into a module's file handle for one reader and
// puts back the handle it held before on every way out.
class ControlFileSession {
public:
  explicit ControlFileSession(FILE*& handleArg) : handle(handleArg), previous(handleArg) {}
  ~ControlFileSession() {
    if (handle != previous && handle) std::fclose(handle);
    handle = previous;
  }
  ControlFileSession(const ControlFileSession&) = delete;
  ControlFileSession& operator=(const ControlFileSession&) = delete;

  bool open(const std::string& name) {
    handle = openControlFile(name);
    return handle != nullptr;
  }
  bool close() {
    FILE* file = handle;
    handle = previous;
    return std::fclose(file) == 0;
  }
  // The same, ending the run when the file cannot be opened (code 28) or
  // closed (code 11); each reader keeps its own wording of the opening message.
  void openOrFail(const std::string& name, DiagStream& diag,
                  const char* message = "FATAL: error opening ") {
    if (open(name)) return;
    const int error = errno;
    diag << message << name << " (" << systemReason(error) << ")"
         << "[end-entry]";
    throw 28;
  }
  void closeOrFail(const std::string& name, DiagStream& diag) {
    if (close()) return;
    diag << "FATAL: error closing " << name << "[end-entry]";
    throw 11;
  }

private:
  FILE*& handle;
  FILE* previous;
};
