#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

class DiagStream;

// Exit code of an output that cannot be created or would replace an input.
constexpr int outputRefusedCode = 26;

// The files of one run: every file it reads and every output it will write,
// each under its canonical path (links, "." and ".." resolved) with the use
// that named it first. Whichever of an input and an output of the same file
// is noted second ends the run, as does a second output of one file for
// another use. An output created while the run is built is held in memory
// until every input and output is known and checked, so that a run refused
// at its set-up changes no file. Modules built outside a run (alone, in a
// test) note nothing: the free functions below then do nothing.
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
  // An output that several modules write in turn, each its own part (the
  // state file): noted so by each of them, it is no conflict.
  void noteSharedOutput(const std::string& path, const std::string& use);
  // The files every run writes besides its modules' outputs: the
  // diagnostics file of each of the `processes` processes and their logs
  // ("modell_<rank>.log"), so that no output of a module may be one of them.
  void noteOwnFiles(int processes);
  // The folder put in front of output names, which a refusal names when a
  // name repeats it ("output/output/...").
  void setOutputDirectory(const std::string& folder) { outputDirectory = folder; }
  // Collective: when an output noted on any process cannot be created (its
  // folder missing or not writable, a folder in its place), every process
  // ends the run with outputRefusedCode, the message naming the output, its
  // use and the system's reason. Called before the first step, so that an
  // output written only at the end of the run cannot fail after it.
  void checkOutputsCreatable();
  // Collective, after checkOutputsCreatable: writes the outputs held so far;
  // from now on createOutputFile writes at once.
  void createHeldOutputs();

  // Holds the first text of an output until createHeldOutputs; false once
  // the outputs were created (the caller then writes the file itself).
  bool hold(const std::string& path, const std::string& text);
  // Holds a write of outputs the same way; false once they were created.
  bool hold(const std::function<void()>& write);
  // Holds text to append to path the same way; false once they were created.
  bool holdAppend(const std::string& path, const std::string& text);

  // The path by which two names of one file compare equal.
  static std::string canonicalPath(const std::string& path);

private:
  struct Named {
    std::string path; // as the run names it
    std::string use;
    bool shared = false;
  };
  void note(const Named& output);
  [[noreturn]] void refuse(const Named& output, const Named& input) const;
  [[noreturn]] void refuseTwice(const Named& first, const Named& second) const;
  std::string repeatedFolderNote(const std::string& path) const;

  DiagStream& diag;
  std::map<std::string, Named> inputs;
  std::map<std::string, Named> outputs;
  // Outputs created while the run is built, by canonical path: the path as
  // named and the text, the latest creation of a path replacing the former.
  std::map<std::string, std::pair<std::string, std::string>> held;
  std::vector<std::string> heldOrder;
  std::vector<std::function<void()>> heldWrites;
  // Texts to append (a log), in the order given, after the creations.
  std::vector<std::pair<std::string, std::string>> heldAppends;
  bool created = false;
  std::string outputDirectory;
};

// The log file of the process of the given rank.
std::string modelLogFileName(int rank);

// The same on the registry of the run in progress; nothing outside a run.
void noteInputFile(const std::string& path, const std::string& use);
void noteOutputFile(const std::string& path, const std::string& use);
void noteSharedOutputFile(const std::string& path, const std::string& use);

// Creates the output file path (emptied when it exists) with text as its
// first content; within a run that is still built the file is written only
// by createHeldOutputs. Returns 0, or the errno value of the failure.
int createOutputFile(const std::string& path, const std::string& text);

// Appends text to path (created when missing); within a run that is still
// built the text waits for createHeldOutputs, so that a refused run leaves a
// log as it was. Returns 0, or the errno value of the failure.
int appendOutputFile(const std::string& path, const std::string& text);

// Runs write, which creates noted outputs, once every output was checked:
// within a run that is still built from createHeldOutputs, on every process
// in the order held (so that collective writes meet), otherwise at once.
void createOutputsWhenChecked(const std::function<void()>& write);

// A text written with the stdio functions into memory, for createOutputFile.
class OutputText {
public:
  OutputText(); // throws std::bad_alloc when no stream can be made
  ~OutputText();
  OutputText(const OutputText&) = delete;
  OutputText& operator=(const OutputText&) = delete;
  std::FILE* file() const { return stream; }
  std::string text();

private:
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* stream = nullptr;
};
