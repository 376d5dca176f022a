#include "core/string_helpers.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

// A quote is escaped by a backslash in front of it, unless that backslash is
// itself escaped.
bool isEscapedQuote(const std::string& text, std::size_t quote) {
  if (quote < 1 || text[quote - 1] != '\\') return false;
  return !(quote >= 2 && text[quote - 2] == '\\');
}

// Index of the quote that closes the string opened at `open`, or npos.
std::size_t closingQuote(const std::string& text, std::size_t open) {
  std::size_t quote = text.find('"', open + 1);
  while (quote != std::string::npos && isEscapedQuote(text, quote))
    quote = text.find('"', quote + 1);
  return quote;
}

} // namespace

int tokenize(const std::string& text, const std::string& delimiters,
             std::vector<std::string>& words, bool keepTrailingEmpty) {
  const bool quotesAreDelimiters = delimiters.find('"') != std::string::npos;
  std::size_t start = text.find_first_not_of(delimiters);
  if (start == std::string::npos && keepTrailingEmpty) start = text.find_first_of(delimiters);

  while (start < text.size()) {
    std::size_t end; // one past the word
    if (text[start] == '"' && !quotesAreDelimiters) {
      const std::size_t quote = closingQuote(text, start);
      // An unclosed string takes the rest of the text.
      end = quote == std::string::npos ? text.size() : quote + 1;
    } else {
      end = text.find_first_of(delimiters, start);
      if (end == std::string::npos) end = text.size();
    }
    words.push_back(text.substr(start, end - start));
    // The character behind a word counts as its delimiter.
    start = end + 1 < text.size() ? text.find_first_not_of(delimiters, end + 1) : std::string::npos;
  }

  if (keepTrailingEmpty && (text.empty() || delimiters.find(text.back()) != std::string::npos))
    words.emplace_back();
  return static_cast<int>(words.size());
}

long findSubstring(const std::string& text, const std::string& piece) {
  const std::size_t position = text.find(piece);
  return position == std::string::npos ? 0 : static_cast<long>(position);
}

std::string& cutString(std::string& text, long first, long count) {
  if (first < 0 || count < 0) return text;
  const std::size_t from = static_cast<std::size_t>(first);
  if (from >= text.size()) {
    text.clear();
    return text;
  }
  text = text.substr(from, static_cast<std::size_t>(count) + 1);
  return text;
}

std::vector<std::string> splitWords(const std::string& line) {
  static const char* const blanks = " \t\r\n\f\v";
  std::vector<std::string> words;
  std::size_t p = 0;
  while ((p = line.find_first_not_of(blanks, p)) != std::string::npos) {
    const std::size_t end = line.find_first_of(blanks, p);
    words.push_back(line.substr(p, end == std::string::npos ? std::string::npos : end - p));
    p = end;
  }
  return words;
}

bool parseNumber(const std::string& word, double& value) {
  // Only the characters of a decimal number: strtod would also take "inf",
  // "nan" and hexadecimal numbers, which no reader of a stream takes.
  if (word.empty() || word.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  const char* begin = word.c_str();
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(begin, &end);
  if (end != begin + word.size() || errno == ERANGE || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool parseWholeInt(const std::string& word, int& value) {
  long parsed = 0;
  if (!parseWholeNumber(word, parsed) || parsed < INT_MIN || parsed > INT_MAX) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool looksLikeNumber(const std::string& word) {
  if (word.empty()) return false;
  if (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '+' || word[0] == '-' ||
      word[0] == '.')
    return true;
  std::string start = word.substr(0, 3);
  for (char& c : start) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return start == "nan" || start == "inf";
}

bool parseWholeNumber(const std::string& word, long& value) {
  if (word.empty() || word.find_first_not_of("0123456789+-") != std::string::npos) return false;
  const char* begin = word.c_str();
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(begin, &end, 10);
  if (end != begin + word.size() || errno == ERANGE) return false;
  value = parsed;
  return true;
}

std::string layerFileName(const std::string& name, int layer) {
  const std::size_t slash = name.rfind('/');
  std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && slash != std::string::npos && dot < slash)
    dot = std::string::npos;
  if (dot == std::string::npos) dot = name.size();
  return name.substr(0, dot) + "_Layer_" + std::to_string(layer) + name.substr(dot);
}

std::vector<double> numbersBeforeComment(const std::string& line) {
  std::vector<double> numbers;
  const std::string values = line.substr(0, line.find('('));
  const char* p = values.c_str();
  for (char* end = nullptr;; p = end) {
    const double x = std::strtod(p, &end);
    if (end == p) break;
    numbers.push_back(x);
  }
  return numbers;
}

std::string assignedKey(const std::string& line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return "";
  const std::string before = line.substr(0, equals);
  const std::vector<std::string> words = splitWords(before);
  return words.size() == 1 ? words[0] : "";
}

std::string listOfWords(const char* const* words, std::size_t count) {
  std::string list;
  for (std::size_t k = 0; k < count; ++k)
    list += (k == 0 ? "" : k + 1 == count ? " and " : ", ") + std::string(words[k]);
  return list;
}
