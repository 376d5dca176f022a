#pragma once

#include <locale>
#include <sstream>
#include <string>

// Reads options written as "key = value;" from an option text, and cuts rule
// blocks in braces out of a text.
//
// The key is found by a plain, case-sensitive substring search, so a key also
// matches inside a longer word ("rows" finds "skiprows = 3;"). Callers that
// need whole-word keys split the text with tokenize and compare words.
class KeyValueParser {
public:
  // The value is read as by formatted stream input: an int or double as far
  // as it goes, a string as one blank-delimited word. An absent key throws
  // std::out_of_range. A value text without a number leaves a numeric target
  // unreliable; a string target then stays empty.
  template <typename T>
  void getValue(const std::string& text, const std::string& key, T& target) const {
    std::istringstream value(valueText(text, key));
    value.imbue(std::locale::classic()); // "2.5" reads the same in every user locale
    target = T();
    value >> target;
  }

  // Returns the first block, from the character after the first "{" up to
  // and including its closing "}" (to the end when it has none), and removes
  // everything up to that "}" from the text, so that repeated calls return
  // the blocks one after the other. An unclosed block leaves the text as it
  // is. A text without "{" throws std::out_of_range.
  std::string extractBlock(std::string& text) const;

private:
  // The text between the "=" that follows the key and the next ";" (or the
  // end of the text); empty when the key has no "=" before its ";".
  static std::string valueText(const std::string& text, const std::string& key);
};
