#include "core/control_file_lines.h"

#include <cerrno>
#include <utility>

namespace {

struct CopiedLines {
  std::string copyName;
  std::string userName;
  std::vector<long> userLines;
  std::string textName;
  std::string text;
  bool hasText = false;
};

// Filled once at set-up, before any reader runs; read only afterwards.
CopiedLines& copiedLines() {
  static CopiedLines lines;
  return lines;
}

// A stream of its own copy of the text, so that it stays whole whatever
// happens to the remembered one while it is open.
std::FILE* openText(const std::string& text) {
  // A memory stream needs at least one byte of room.
  std::FILE* file = fmemopen(nullptr, text.size() + 1, "w+");
  if (!file) return nullptr;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
      std::fseek(file, 0, SEEK_SET) != 0) {
    const int error = errno ? errno : EIO;
    std::fclose(file);
    errno = error;
    return nullptr;
  }
  return file;
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

std::string userControlFile(const std::string& fileName) {
  const CopiedLines& lines = copiedLines();
  return fileName == lines.copyName && !lines.userName.empty() ? lines.userName : fileName;
}

void rememberCopiedText(const std::string& copyName, const std::string& text) {
  CopiedLines& lines = copiedLines();
  lines.textName = copyName;
  lines.text = text;
  lines.hasText = true;
}

void forgetCopiedText(const std::string& copyName) {
  CopiedLines& lines = copiedLines();
  if (!lines.hasText || lines.textName != copyName) return;
  lines.textName.clear();
  lines.text.clear();
  lines.hasText = false;
}

std::FILE* openControlFile(const std::string& fileName) {
  const CopiedLines& lines = copiedLines();
  if (lines.hasText && fileName == lines.textName) return openText(lines.text);
  return std::fopen(fileName.c_str(), "r");
}
