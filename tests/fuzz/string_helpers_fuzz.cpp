// Feeds arbitrary text to tokenize and the key = value reader: both must
// end on any input (unclosed quotes and braces included) and never read
// outside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/key_value_parser.h"
#include "core/string_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte picks the delimiters, the rest is the text.
  const std::string delimiters = data[0] % 2 ? " \t" : " ;,\"";
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  std::vector<std::string> words;
  const int count = tokenize(text, delimiters, words, data[0] & 2);
  if (count != static_cast<int>(words.size()) || words.size() > text.size() + 1) std::abort();

  const KeyValueParser parser;
  int number = 0;
  double real = 0.0;
  std::string word;
  const std::string key = words.empty() ? std::string("a") : words.front();
  try {
    parser.getValue(text, key, number);
    parser.getValue(text, key, real);
    parser.getValue(text, key, word);
  } catch (const std::out_of_range&) {
  }

  std::string rest = text;
  try {
    // Each block takes the text up to its closing brace, so this ends.
    for (std::size_t before = rest.size() + 1; rest.size() < before;) {
      before = rest.size();
      parser.extractBlock(rest);
    }
  } catch (const std::out_of_range&) {
  }

  const long at = findSubstring(text, delimiters);
  if (at > 0 && text.compare(static_cast<std::size_t>(at), delimiters.size(), delimiters) != 0)
    std::abort();
  std::string cut = text;
  cutString(cut, data[0] % 7, size % 13);
  if (cut.size() > size % 13 + 1) std::abort();
  return 0;
}
