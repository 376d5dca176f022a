#pragma once

#include <cstdio>
#include <string>

class DiagStream;
class modelobject;

// A file written under a temporary name and renamed over its real name only
// once it is complete, so that a failed write never leaves a file that looks
// valid; the temporary file is removed on every other way out.
class ReplacingFile {
public:
  // Fails with code 26 when the temporary file cannot be created; the
  // message is openFailure and the name when one is given (stacks say
  // "error opening "), else "error creating <name> for writing in ... mode.".
  ReplacingFile(modelobject& owner, DiagStream& diag, const std::string& name, bool text,
                const char* openFailure = nullptr);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // A failed write ends through the owner's writeError.
  void write(const void* data, size_t bytes);
  // Closes and renames; fails with code 27.
  void commit();

private:
  modelobject& owner;
  DiagStream& diag;
  std::string name;
  std::string temporary;
  FILE* file = nullptr;
  bool committed = false;
};
