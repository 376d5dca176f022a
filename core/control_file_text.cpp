#include "core/control_file_text.h"

#include <cctype>

bool readControlWordFrom(FILE* file, std::string& word) {
  word.clear();
  if (!file) return false;
  int c;
  do {
    c = std::getc(file);
  } while (c != EOF && std::isspace(c));
  if (c == EOF) return false;
  while (c != EOF && !std::isspace(c)) {
    word += static_cast<char>(c);
    c = std::getc(file);
  }
  if (c != EOF) std::ungetc(c, file);
  return true;
}

void readRestOfLine(FILE* file, std::string& rest) {
  rest.clear();
  if (!file) return;
  int c;
  while ((c = std::getc(file)) != EOF) {
    rest += static_cast<char>(c);
    if (c == '\n') break;
  }
}
