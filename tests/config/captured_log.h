#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "tests/test_support.h"

// A log stream whose console is captured, for the tests of the set-up
// readers, in a test directory of its own.
struct CapturedLog {
  explicit CapturedLog(const std::string& name)
      : directory(makeTestDirectory(name)), diag(directory + "/diag.xml", 4, &console, &errors) {}

  // The console entries in order, without the rank prefix (a FATAL entry
  // shows without its "FATAL: ").
  std::vector<std::string> entries() const {
    const std::string separator = "\n(mpi-rank  0) ";
    const std::string text = console.str();
    std::vector<std::string> list;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(separator, start)) != std::string::npos;
         start = end + separator.size())
      list.push_back(text.substr(start, end - start));
    return list;
  }
  std::string lastEntry() const {
    const std::vector<std::string> list = entries();
    return list.empty() ? std::string() : list.back();
  }
  bool hasEntry(const std::string& entry) const {
    for (const std::string& e : entries())
      if (e == entry) return true;
    return false;
  }
  // Entries of level FATAL in the diagnostics file.
  int fatalCount() const {
    const std::string xml = readFile(diag.getFileName());
    int count = 0;
    for (std::size_t at = 0; (at = xml.find("<line level=\"0\"", at)) != std::string::npos; ++at)
      ++count;
    return count;
  }

  std::string directory;
  std::ostringstream console;
  std::ostringstream errors;
  DiagStream diag;
};
