#include "core/run_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/file_failure.h"

namespace {

RunFiles* running = nullptr;

int writeWholeFile(const std::string& path, const std::string& text, const char* mode = "w") {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (!file) return errno;
  int error = 0;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) error = errno ? errno : EIO;
  if (std::fclose(file) != 0 && error == 0) error = errno;
  return error;
}

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
  // Links are followed as far as the path exists; the rest is taken as
  // written. A relative name is taken from the working folder first: a file
  // that does not exist yet would otherwise keep its relative name and
  // differ from another name of it.
  const fs::path absolute = fs::absolute(fs::path(path), error);
  if (error) return fs::path(path).lexically_normal().string();
  fs::path canonical = fs::weakly_canonical(absolute, error);
  if (error) canonical = absolute.lexically_normal();
  return canonical.string();
}

void RunFiles::refuse(const Named& output, const Named& input) const {
  diag << "FATAL: the output file " << output.path << " (" << output.use << ") is the file "
       << input.path << " that the run reads as " << input.use
       << "; no run may change its inputs: give the output another name or folder"
       << "[end-entry]";
  throw outputRefusedCode;
}

void RunFiles::refuseTwice(const Named& first, const Named& second) const {
  diag << "FATAL: the output file " << second.path << " (" << second.use << ") is the file "
       << first.path << " that the run writes as " << first.use
       << "; one would overwrite the other: give one of them another name or folder"
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
  note(Named{path, use, false});
}

void RunFiles::noteSharedOutput(const std::string& path, const std::string& use) {
  note(Named{path, use, true});
}

void RunFiles::note(const Named& output) {
  if (output.path.empty()) return;
  const std::string key = canonicalPath(output.path);
  const auto input = inputs.find(key);
  if (input != inputs.end()) refuse(output, input->second);
  const auto former = outputs.find(key);
  if (former != outputs.end() && former->second.use != output.use &&
      !(former->second.shared && output.shared))
    refuseTwice(former->second, output);
  outputs.emplace(key, output);
}

void RunFiles::noteOwnFiles(int processes) {
  for (int rank = 0; rank < processes; ++rank) {
    const std::string which = " of process " + std::to_string(rank);
    noteOutput(diag.fileNameOfRank(rank), "the diagnostics file" + which);
    noteOutput(modelLogFileName(rank), "the log file" + which);
  }
  // Rank 0 writes under the default name when the requested one cannot be
  // created.
  if (diag.getRank() == 0 && diag.getFileName() != diag.fileNameOfRank(0))
    noteOutput(diag.getFileName(), "the diagnostics file of process 0");
}

void RunFiles::checkOutputsCreatable() {
  int code = 0;
  for (const auto& [key, output] : outputs) {
    const int error = creationFailure(output.path);
    if (error == 0) continue;
    diag << "FATAL: the output file " << output.path << " (" << output.use
         << ") cannot be written (" << systemReason(error)
         << "); found before the first step, so that the run does not fail at its end: "
         << (error == ENOENT ? "create its folder"
                             : "remove what stands in its place or make "
                               "its folder writable")
         << repeatedFolderNote(output.path) << "[end-entry]";
    code = outputRefusedCode;
    break;
  }
  shareExitCode(diag, code);
}

bool RunFiles::hold(const std::string& path, const std::string& text) {
  if (created) return false;
  const std::string key = canonicalPath(path);
  if (held.find(key) == held.end()) heldOrder.push_back(key);
  held[key] = {path, text};
  return true;
}

bool RunFiles::hold(const std::function<void()>& write) {
  if (created) return false;
  heldWrites.push_back(write);
  return true;
}

bool RunFiles::holdAppend(const std::string& path, const std::string& text) {
  if (created) return false;
  heldAppends.emplace_back(path, text);
  return true;
}

void RunFiles::createHeldOutputs() {
  created = true;
  int code = 0;
  const auto failed = [&](const std::string& path, const std::string& use, int error) {
    diag << "FATAL: the output file " << path << " (" << use << ") cannot be written ("
         << systemReason(error) << "); make room on the disk or make its folder writable"
         << "[end-entry]";
    code = fileFailureCode(error, outputRefusedCode);
  };
  for (const std::string& key : heldOrder) {
    const auto& [path, text] = held[key];
    const int error = writeWholeFile(path, text);
    if (error == 0) continue;
    const auto output = outputs.find(key);
    failed(path, output != outputs.end() ? output->second.use : std::string("an output"), error);
    break;
  }
  for (std::size_t k = 0; code == 0 && k < heldAppends.size(); ++k) {
    const auto& [path, text] = heldAppends[k];
    const int error = writeWholeFile(path, text, "a");
    if (error != 0) failed(path, "a log", error);
  }
  held.clear();
  heldOrder.clear();
  heldAppends.clear();
  shareExitCode(diag, code);
  std::vector<std::function<void()>> writes;
  writes.swap(heldWrites);
  for (const std::function<void()>& write : writes) write();
}

std::string RunFiles::repeatedFolderNote(const std::string& path) const {
  if (outputDirectory.empty() ||
      path.compare(0, 2 * outputDirectory.size(), outputDirectory + outputDirectory) != 0)
    return "";
  return ", or give the name without the folder " + outputDirectory +
         ": DefaultOutputDirectory of [output_interval] is put in front of every output name, "
         "so a name that begins with it names that folder twice";
}

std::string modelLogFileName(int rank) { return "modell_" + std::to_string(rank) + ".log"; }

void noteInputFile(const std::string& path, const std::string& use) {
  if (RunFiles* files = RunFiles::current()) files->noteInput(path, use);
}

void noteOutputFile(const std::string& path, const std::string& use) {
  if (RunFiles* files = RunFiles::current()) files->noteOutput(path, use);
}

void noteSharedOutputFile(const std::string& path, const std::string& use) {
  if (RunFiles* files = RunFiles::current()) files->noteSharedOutput(path, use);
}

int createOutputFile(const std::string& path, const std::string& text) {
  RunFiles* files = RunFiles::current();
  if (files && files->hold(path, text)) return 0;
  return writeWholeFile(path, text);
}

int appendOutputFile(const std::string& path, const std::string& text) {
  RunFiles* files = RunFiles::current();
  if (files && files->holdAppend(path, text)) return 0;
  return writeWholeFile(path, text, "a");
}

void createOutputsWhenChecked(const std::function<void()>& write) {
  RunFiles* files = RunFiles::current();
  if (files && files->hold(write)) return;
  write();
}

OutputText::OutputText() : stream(open_memstream(&buffer, &size)) {
  if (!stream) throw std::bad_alloc();
}

OutputText::~OutputText() {
  std::fclose(stream);
  std::free(buffer);
}

std::string OutputText::text() {
  if (std::fflush(stream) != 0 || std::ferror(stream)) throw std::bad_alloc();
  return std::string(buffer, size);
}
