#include "core/replacing_file.h"

#include <cerrno>
#include <cstring>

#include "core/diag_stream.h"
#include "core/file_failure.h"
#include "core/modelobject.h"
#include "core/stack_file_format.h"

namespace {

constexpr int createFailedCode = 26;
constexpr int closeFailedCode = 27;
constexpr long writeErrorNumber = 18;

} // namespace

ReplacingFile::ReplacingFile(modelobject& ownerArg, DiagStream& diagArg, const std::string& nameArg,
                             bool text, const char* openFailure)
    : owner(ownerArg), diag(diagArg), name(nameArg), temporary(nameArg + partialFileSuffix()) {
  // One left by a killed run could be a link, which the write would follow.
  std::remove(temporary.c_str());
  file = std::fopen(temporary.c_str(), "wb");
  const int error = errno;
  if (!file && openFailure) {
    diag << "FATAL: " << openFailure << name << " (" << systemReason(error) << ")"
         << "[end-entry]";
    throw createFailedCode;
  }
  if (!file) {
    diag << "FATAL: error creating " << name << " for writing in " << (text ? "text" : "binary")
         << " mode (" << systemReason(error) << ")."
         << "[end-entry]";
    throw createFailedCode;
  }
}

ReplacingFile::~ReplacingFile() {
  if (file) std::fclose(file);
  if (!committed) std::remove(temporary.c_str());
}

void ReplacingFile::write(const void* data, size_t bytes) {
  if (bytes > 0 && std::fwrite(data, 1, bytes, file) != bytes)
    owner.writeError(name, writeErrorNumber);
}

void ReplacingFile::commit() {
  FILE* f = file;
  file = nullptr;
  if (std::fclose(f) != 0) {
    const int error = errno;
    diag << "FATAL: error closing " << name << " (" << systemReason(error) << ")"
         << "[end-entry]";
    throw fileFailureCode(error, closeFailedCode);
  }
  if (std::rename(temporary.c_str(), name.c_str()) != 0) {
    diag << "FATAL: error closing " << name << ": it cannot replace " << temporary << " ("
         << std::strerror(errno) << ")"
         << "[end-entry]";
    throw closeFailedCode;
  }
  committed = true;
}
