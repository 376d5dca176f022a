#include "core/control_file_lines.h"

#include <utility>

namespace {

struct CopiedLines {
  std::string copyName;
  std::string userName;
  std::vector<long> userLines;
};

// Filled once at set-up, before any reader runs; read only afterwards.
CopiedLines& copiedLines() {
  static CopiedLines lines;
  return lines;
}

} // namespace

void rememberCopiedLines(const std::string& copyName, const std::string& userName,
                         std::vector<long> userLines) {
  CopiedLines& lines = copiedLines();
  lines.copyName = copyName;
  lines.userName = userName;
  lines.userLines = std::move(userLines);
}

std::string controlFileLine(const std::string& fileName, long line) {
  const CopiedLines& lines = copiedLines();
  if (fileName == lines.copyName && line >= 1 && line <= static_cast<long>(lines.userLines.size()))
    return "line " + std::to_string(lines.userLines[static_cast<size_t>(line - 1)]) + " of " +
           lines.userName;
  return "line " + std::to_string(line) + " of " + fileName;
}
