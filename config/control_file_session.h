#pragma once

#include <cstdio>
#include <string>

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
    handle = std::fopen(name.c_str(), "r");
    return handle != nullptr;
  }
  bool close() {
    FILE* file = handle;
    handle = previous;
    return std::fclose(file) == 0;
  }

private:
  FILE*& handle;
  FILE* previous;
};
