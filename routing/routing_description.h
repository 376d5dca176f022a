#pragma once

#include <cstddef>
#include <string>

class DiagStream;

// A number of a description ends at the end of the text, at a blank or at a
// sign such as ",", ")" or "&": "25x" or "3.5" as a code are no numbers.
bool endsNumber(char c);

// The joined text of one routing description and a reading position in it.
// Values are found positionally: a code right after its keyword, every
// further value after the next "=" sign. A value that is missing ends the
// set-up with code 17.
class RoutingDescriptionText {
public:
  // Stands where two lines of a description were joined; it ends a number
  // or a word as a blank does.
  static constexpr char lineJoin = '\n';

  RoutingDescriptionText(DiagStream& diag, std::string text, int number);

  const std::string& text() const { return joined; }
  int number() const { return descriptionNumber; }
  void restart() { position = 0; }
  // Moves behind the next occurrence of the keyword from the position; false
  // (the position unchanged) when there is none.
  bool find(const char* keyword);
  // The same for a keyword that must follow.
  void expect(const char* keyword, const std::string& what);
  // The integer right at the position (after blanks); a word that is not
  // wholly a whole number ends the set-up with code 17.
  int integer(const std::string& what);
  // The number after the next "=".
  double value(const std::string& what);
  // The number right at the position (after blanks).
  double number(const std::string& what);
  // The blank-delimited word at the position; longer than maxLength is
  // refused with code 42.
  std::string word(std::size_t maxLength, const std::string& what);
  // Moves behind the next "=" and the blanks after it.
  void expectEquals(const std::string& what);
  // Ends the set-up with code 17: the value of `what` lies outside its
  // range, which `rule` states.
  [[noreturn]] void refuse(const std::string& what, double value, const std::string& rule) const;
  // The character at the position, 0 at the end.
  char current() const { return position < joined.size() ? joined[position] : '\0'; }
  // Moves past the joins of lines at the position and returns the character
  // there: a sign that begins the next line still follows the value before.
  char skipLineJoins();
  void advance() { ++position; }
  std::size_t offset() const { return position; }
  void moveTo(std::size_t at) { position = at; }

private:
  bool skipToValue();
  [[noreturn]] void missing(const std::string& what) const;
  // Ends the set-up with code 17 when the text at the position, up to where
  // a number ends, is more than the `length` characters read as one.
  void requireNumberEnd(std::size_t length, const std::string& what, const char* kind) const;
  void skipBlanks();

  DiagStream& diag;
  std::string joined;
  int descriptionNumber;
  std::size_t position = 0;
};
