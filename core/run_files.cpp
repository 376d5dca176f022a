#include "core/run_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"

namespace {

RunFiles* running = nullptr;

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The errno value that keeps the output from being written, or 0.
int creationFailure(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return EISDIR;
    return access(path.c_str(), W_OK) == 0 ? 0 : errno;
  }
  if (errno != ENOENT) return errno;
  const std::string folder = folderOf(path);
  if (stat(folder.c_str(), &status) != 0) return errno;
  if (!S_ISDIR(status.st_mode)) return ENOTDIR;
  return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

} // namespace

RunFiles::RunFiles(DiagStream& diagArg) : diag(diagArg) { running = this; }

RunFiles::~RunFiles() {
  if (running == this) running = nullptr;
}

RunFiles* RunFiles::current() { return running; }

std::string RunFiles::canonicalPath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  // Links are followed as far as the path exists; the rest is taken as written.
  fs::path canonical = fs::weakly_canonical(fs::path(path), error);
  if (error) canonical = fs::absolute(fs::path(path), error).lexically_normal();
  return canonical.string();
}

void RunFiles::refuse(const Named& output, const Named& input) const {
  diag << "FATAL: the output file " << output.path << " (" << output.use << ") is the file "
       << input.path << " that the run reads as " << input.use
       << "; no run may change its inputs: give the output another name or folder"
       << "[end-entry]";
  throw outputRefusedCode;
}

void RunFiles::noteInput(const std::string& path, const std::string& use) {
  if (path.empty()) return;
  const std::string key = canonicalPath(path);
  const Named input{path, use};
  const auto output = outputs.find(key);
  if (output != outputs.end()) refuse(output->second, input);
  inputs.emplace(key, input);
}

void RunFiles::noteOutput(const std::string& path, const std::string& use) {
  if (path.empty()) return;
  const std::string key = canonicalPath(path);
  const Named output{path, use};
  const auto input = inputs.find(key);
  if (input != inputs.end()) refuse(output, input->second);
  outputs.emplace(key, output);
}

void RunFiles::checkOutputsCreatable() {
  int code = 0;
  for (const auto& [key, output] : outputs) {
    const int error = creationFailure(output.path);
    if (error == 0) continue;
    diag << "FATAL: the output file " << output.path << " (" << output.use
         << ") cannot be written (" << systemReason(error)
         << "); found before the first step, so that the run does not fail at its end: remove "
            "what stands in its place or make its folder writable"
         << "[end-entry]";
    code = outputRefusedCode;
    break;
  }
  shareExitCode(diag, code);
}

void noteInputFile(const std::string& path, const std::string& use) {
  if (RunFiles* files = RunFiles::current()) files->noteInput(path, use);
}

void noteOutputFile(const std::string& path, const std::string& use) {
  if (RunFiles* files = RunFiles::current()) files->noteOutput(path, use);
}
