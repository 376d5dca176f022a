#pragma once

#include <string>
#include <vector>

// Splits a text into words at any of the delimiter characters and appends
// them to `words`. Runs of delimiters give no empty words; a double-quoted
// string (quotes kept) is one word unless '"' is itself a delimiter. With
// keepTrailingEmpty, a text that is empty or ends in a delimiter adds one
// empty word at the end. Returns the number of words the list now holds.
int tokenize(const std::string& text, const std::string& delimiters,
             std::vector<std::string>& words, bool keepTrailingEmpty);

// The file name of vegetation layer k from the name of the layer totals:
// "_Layer_" and k go in front of the extension ("etp.grd" gives
// "etp_Layer_2.grd"), or at the end of a name without one. Only a dot of the
// last path component starts an extension.
std::string layerFileName(const std::string& name, int layer);

// The words of a line between blanks (space, tab, line ends, form feed,
// vertical tab); quotes are ordinary characters.
std::vector<std::string> splitWords(const std::string& line);

// Position of the first occurrence of the piece, or 0 when it does not occur
// (a piece at the very start also gives 0; callers test for a result > 0).
long findSubstring(const std::string& text, const std::string& piece);

// Keeps the characters first .. first + count (inclusive) of the text; with a
// negative number the text stays as it is. Characters past the end of the
// text are not there to keep.
std::string& cutString(std::string& text, long first, long count);

// The numbers a line of a state file starts with, up to its comment, which
// begins at "(": they end at the first text that is no number.
std::vector<double> numbersBeforeComment(const std::string& line);

// A number that fills the whole word and is finite; false otherwise, also
// for a number with letters glued to it ("20x1").
bool parseNumber(const std::string& word, double& value);
// The same for a whole number.
bool parseWholeNumber(const std::string& word, long& value);
// The same for one that fits an int.
bool parseWholeInt(const std::string& word, int& value);
// Whether a word is meant as a number, readable or not: it starts with a
// digit, a sign or a point, or is "nan" or "inf" in any case. Free text
// after a number of values does not.
bool looksLikeNumber(const std::string& word);

// The key a "key = value" line sets: the one word before its first "=";
// "" for a line without "=" or with no word or several words before it.
std::string assignedKey(const std::string& line);

// "A, B and C".
std::string listOfWords(const char* const* words, std::size_t count);
