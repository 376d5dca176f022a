// The expression block of the silting-up model.

#include "lateral/silting_expressions.h"

#include <algorithm>

#include "core/control_file_text.h"
#include "core/variable_list.h"

namespace {

const std::string blockKey = "SiltingUpExpressions";
const std::string blanks = " \n\t\r";

bool readLine(std::FILE* file, std::string& line) {
  const int first = std::fgetc(file);
  if (first == EOF) return false;
  std::ungetc(first, file);
  readRestOfLine(file, line);
  return true;
}

bool onlyBlanks(const std::string& text) {
  return text.find_first_not_of(blanks) == std::string::npos;
}

bool startsSection(const std::string& line) {
  const std::size_t start = line.find_first_not_of(blanks);
  return start != std::string::npos && line[start] == '[';
}

void splitExpressions(const std::string& text, SiltingExpressionBlock& block) {
  std::string current;
  for (char ch : text) {
    if (ch == ';') {
      block.expressions.push_back(current);
      current.clear();
    } else if (blanks.find(ch) == std::string::npos) {
      current += ch;
    }
  }
  block.trailing = current;
}

} // namespace

ExpressionBlockFault readExpressionBlock(std::FILE* file, SiltingExpressionBlock& block) {
  block = SiltingExpressionBlock{};
  std::string line;
  bool found = false;
  while (readLine(file, line)) {
    if (startsSection(line)) break;
    if (line.compare(0, blockKey.size(), blockKey) == 0) {
      found = true;
      break;
    }
  }
  if (!found) return ExpressionBlockFault::noOpeningBrace;
  std::string rest = line.substr(blockKey.size());
  std::size_t open = rest.find('{');
  while (open == std::string::npos) {
    if (!onlyBlanks(rest) || !readLine(file, rest)) return ExpressionBlockFault::noOpeningBrace;
    open = rest.find('{');
  }
  std::string text = rest.substr(open + 1);
  std::size_t close = text.find('}');
  while (close == std::string::npos) {
    if (!readLine(file, line) || startsSection(line)) return ExpressionBlockFault::noClosingBrace;
    text += line;
    close = text.find('}');
  }
  splitExpressions(text.substr(0, close), block);
  if (block.expressions.empty()) return ExpressionBlockFault::noExpression;
  return ExpressionBlockFault::none;
}

std::size_t firstGroupSize(const std::vector<std::string>& expressions) {
  for (std::size_t k = 0; k < expressions.size(); ++k) {
    const std::string& e = expressions[k];
    const std::size_t equals = e.find('=');
    // "V<=..." or "V==..." compare; only "V=" followed by a value assigns.
    if (equals == std::string::npos || equals + 1 >= e.size() || e[equals + 1] == '=') continue;
    if (equalsIgnoringCase(e.substr(0, equals), "V")) return k;
  }
  return expressions.size();
}
