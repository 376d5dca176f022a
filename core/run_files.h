#pragma once

#include <map>
#include <string>

class DiagStream;

// Exit code of an output that cannot be created or would replace an input.
constexpr int outputRefusedCode = 26;

// The files of one run: every file it reads and every output it will write,
// each under its canonical path (links, "." and ".." resolved) with the use
// that named it first. Whichever of an input and an output of the same file
// is noted second ends the run, before the output is written, so that no run
// changes its inputs. Modules built outside a run (alone, in a test) note
// nothing: the free functions below then do nothing.
class RunFiles {
public:
  // The registry of the run from now on, until it is destroyed.
  explicit RunFiles(DiagStream& diag);
  ~RunFiles();
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;

  // The registry of the run in progress on this process, or null.
  static RunFiles* current();

  // use: what the file is to the run, e.g. "the elevation model of
  // [elevation_model]". Fails with outputRefusedCode on this process.
  void noteInput(const std::string& path, const std::string& use);
  void noteOutput(const std::string& path, const std::string& use);
  // Collective: when an output noted on any process cannot be created (its
  // folder missing or not writable, a folder in its place), every process
  // ends the run with outputRefusedCode, the message naming the output, its
  // use and the system's reason. Called before the first step, so that an
  // output written only at the end of the run cannot fail after it.
  void checkOutputsCreatable();

  // The path by which two names of one file compare equal.
  static std::string canonicalPath(const std::string& path);

private:
  struct Named {
    std::string path; // as the run names it
    std::string use;
  };
  [[noreturn]] void refuse(const Named& output, const Named& input) const;

  DiagStream& diag;
  std::map<std::string, Named> inputs;
  std::map<std::string, Named> outputs;
};

// The same on the registry of the run in progress; nothing outside a run.
void noteInputFile(const std::string& path, const std::string& use);
void noteOutputFile(const std::string& path, const std::string& use);
