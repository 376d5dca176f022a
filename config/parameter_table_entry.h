#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

class DiagStream;

// The "key = v1 v2 ...;" statements of one brace block of a parameter table.
// Keys are whole words and case-sensitive; a key may stand only once. Every
// accessor throws ParameterTableEntry::Fault with the reason of a malformed
// entry; the table reader turns it into its message and exit code.
class ParameterTableEntry {
public:
  struct Fault {
    std::string reason;
  };

  // The text between the braces; a closing brace at its end is dropped.
  explicit ParameterTableEntry(const std::string& block);

  bool has(const std::string& key) const;
  // Exactly `count` numbers (one or more when count is 0); absent: fault.
  std::vector<double> numbers(const std::string& key, std::size_t count) const;
  // The same, or the fallback when the key is absent.
  std::vector<double> numbers(const std::string& key, std::size_t count,
                              const std::vector<double>& fallback) const;
  double number(const std::string& key) const;
  double number(const std::string& key, double fallback) const;
  // One whole number.
  int integer(const std::string& key, int fallback) const;
  std::string word(const std::string& key) const;
  // Fails on a key that no accessor has asked for: a misspelt key would
  // otherwise be ignored without notice.
  void requireAllKeysKnown() const;

  static void requireRange(const std::string& key, const std::vector<double>& values, double lowest,
                           double highest);
  // Every value strictly above the limit.
  static void requireAbove(const std::string& key, const std::vector<double>& values, double limit);
  // The values together at most the limit (fractions of one whole).
  static void requireSumAtMost(const std::string& key, const std::vector<double>& values,
                               double limit);
  static void requireIntegers(const std::string& key, const std::vector<double>& values);
  // Strictly ascending whole numbers within lowest .. highest.
  static void requireAscendingDays(const std::string& key, const std::vector<double>& values,
                                   double lowest, double highest);

private:
  const std::vector<std::string>& valuesOf(const std::string& key) const;

  std::map<std::string, std::vector<std::string>> statements;
  mutable std::set<std::string> asked;
};

// Logs "FATAL: error in <where> (<name>): <reason>" and throws the code.
[[noreturn]] void reportTableEntryFault(DiagStream* diag, const std::string& where,
                                        const std::string& name, const std::string& reason,
                                        int code);
