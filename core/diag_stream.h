#pragma once

#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

// The one log of a process. Every message (an entry) is a chain of
// insertions that starts with a level prefix ("FATAL: ", "ERROR: ",
// "WARNING: ", "INFO: ", "DEBUG: ", "SKIP: ") and ends with "[end-entry]".
// Rank 0 echoes every entry to the console and writes the entries up to the
// chosen level as <line> elements of an XML diagnostics file, which ends
// with its closing tag after every entry. Other ranks
// stay silent, except that their FATAL and ERROR entries go to standard error
// and to a diagnostics file of their own (<name>_<rank>.xml, written with
// each of them), so that a failure on a worker alone is never lost.
class DiagStream {
public:
  // The console streams can be replaced for tests; the program uses the
  // process's standard output and standard error.
  DiagStream(const std::string& requestedFileName, int maxLevel,
             std::ostream* consoleStream = &std::cout, std::ostream* errorStream = &std::cerr);
  ~DiagStream();
  DiagStream(const DiagStream&) = delete;
  DiagStream& operator=(const DiagStream&) = delete;

  DiagStream& operator<<(const char* text);
  DiagStream& operator<<(const std::string& text);
  DiagStream& operator<<(char value);
  DiagStream& operator<<(int value);
  DiagStream& operator<<(unsigned int value);
  DiagStream& operator<<(long value);
  DiagStream& operator<<(unsigned long value);
  DiagStream& operator<<(long long value);
  DiagStream& operator<<(unsigned long long value);
  DiagStream& operator<<(float value);
  DiagStream& operator<<(double value);
  DiagStream& operator<<(const void* value);
  DiagStream& operator<<(decltype(std::setw(0)) width);
  DiagStream& operator<<(decltype(std::setfill('\0')) fill);

  const std::string& getFileName() const { return fileName; }
  // The file that the process of the given rank writes under the name
  // requested (rank 0 may have fallen back to another).
  std::string fileNameOfRank(int otherRank) const;
  int getRank() const { return rank; }
  // The text of the last FATAL entry on a rank other than 0, without its
  // prefix, so that rank 0 can write it into the diagnostics file.
  const std::string& lastWorkerFatal() const { return workerFatal; }

  // Maps the word of "-diaglevel:" to the highest level that reaches the file.
  static int levelFromName(const std::string& word);

  // Local time as 2020-11-15T19:26:03.
  static std::string timeStamp();

private:
  static std::string openingText();
  void writeWorkerEntry();
  void writeDiagText(const std::string& text);
  void beginDiagValue();
  void closeOpenEntry();
  void openEntryLine();
  void endEntry();
  void writeClosingTag();
  void commitEntryLine();
  void flushWorkerEntry();
  template <typename T> DiagStream& insertValue(const T& value);

  int rank = 0;
  int size = 1;
  std::ofstream file;
  std::ostream* console = nullptr;
  std::ostream* errorConsole = nullptr;
  bool atEntryStart = true;
  bool suppressed = false;
  int level = 0;
  std::string lastChunk;
  std::string fileName;
  std::string requestedBase; // the requested name before its last '.'
  int maxLevel = 4;
  // Rank 0 gathers an entry's line and writes it whole when the entry ends.
  std::ostringstream entryLine;
  bool seekable = true; // the closing tag can be written after every entry and taken back
  bool entryLineWritten = false;
  std::string workerEntry; // text of a FATAL or ERROR entry on a rank other than 0
  std::string workerFatal;
  std::string workerLines; // a worker's file as written so far, without its closing tag
  bool consoleLossNoted = false;
};

// Escapes a text for an attribute of the diagnostics file: entities for the
// XML specials, ";" for a line break, runs of three or more hyphens
// shortened to two, and "\xHH" for every byte that is not part of a UTF-8
// character XML allows (control characters, stray bytes).
std::string escapeDiagText(const std::string& text);
