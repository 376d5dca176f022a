#include "config/parameter_table_entry.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <sstream>

#include "core/diag_stream.h"
#include "core/string_helpers.h"

namespace {

const char* const blanks = " \t\r\n";

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string quoted(const std::string& key) { return "\"" + key + "\""; }

std::string numberText(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

} // namespace

ParameterTableEntry::ParameterTableEntry(const std::string& block) {
  std::string body = block;
  const std::size_t close = body.rfind('}');
  if (close != std::string::npos) body.erase(close);
  std::vector<std::string> pieces;
  tokenize(body, ";", pieces, false);
  for (const std::string& piece : pieces) {
    const std::string statement = trimmed(piece);
    if (statement.empty()) continue;
    const std::size_t equals = statement.find('=');
    if (equals == std::string::npos) throw Fault{"statement without \"=\": " + statement};
    const std::string key = trimmed(statement.substr(0, equals));
    if (key.empty() || key.find_first_of(blanks) != std::string::npos)
      throw Fault{"invalid key in statement: " + statement};
    std::vector<std::string> values;
    tokenize(statement.substr(equals + 1), blanks, values, false);
    if (!statements.emplace(key, values).second) throw Fault{"repeated key " + quoted(key)};
  }
}

bool ParameterTableEntry::has(const std::string& key) const {
  asked.insert(key);
  return statements.count(key) > 0;
}

const std::vector<std::string>& ParameterTableEntry::valuesOf(const std::string& key) const {
  asked.insert(key);
  const auto found = statements.find(key);
  if (found == statements.end()) throw Fault{"missing required key " + quoted(key)};
  return found->second;
}

std::vector<double> ParameterTableEntry::numbers(const std::string& key, std::size_t count) const {
  const std::vector<std::string>& words = valuesOf(key);
  if (words.empty() || (count > 0 && words.size() != count))
    throw Fault{"wrong number of values for " + quoted(key) + ": " + std::to_string(words.size()) +
                " given, " + (count > 0 ? std::to_string(count) : std::string("at least 1")) +
                " expected"};
  std::vector<double> values;
  values.reserve(words.size());
  for (const std::string& w : words) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(w.c_str(), &end);
    if (end == w.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(value))
      throw Fault{"value of " + quoted(key) + " is not a number: " + w};
    values.push_back(value);
  }
  return values;
}

std::vector<double> ParameterTableEntry::numbers(const std::string& key, std::size_t count,
                                                 const std::vector<double>& fallback) const {
  return has(key) ? numbers(key, count) : fallback;
}

double ParameterTableEntry::number(const std::string& key) const { return numbers(key, 1)[0]; }

double ParameterTableEntry::number(const std::string& key, double fallback) const {
  return has(key) ? number(key) : fallback;
}

int ParameterTableEntry::integer(const std::string& key, int fallback) const {
  if (!has(key)) return fallback;
  const std::vector<double> values = numbers(key, 1);
  requireIntegers(key, values);
  requireRange(key, values, -2147483647.0, 2147483647.0);
  return static_cast<int>(values[0]);
}

std::string ParameterTableEntry::word(const std::string& key) const {
  const std::vector<std::string>& words = valuesOf(key);
  if (words.size() != 1)
    throw Fault{"wrong number of values for " + quoted(key) + ": " + std::to_string(words.size()) +
                " given, 1 expected"};
  return words[0];
}

void ParameterTableEntry::requireAllKeysKnown() const {
  for (const auto& statement : statements)
    if (asked.count(statement.first) == 0) throw Fault{"unknown key " + quoted(statement.first)};
}

void ParameterTableEntry::requireRange(const std::string& key, const std::vector<double>& values,
                                       double lowest, double highest) {
  const double none = std::numeric_limits<double>::max();
  for (double value : values) {
    if (value >= lowest && value <= highest) continue;
    std::string allowed = "allowed " + numberText(lowest) + " .. " + numberText(highest);
    if (highest == none) allowed = "must be at least " + numberText(lowest);
    if (lowest == -none) allowed = "must be at most " + numberText(highest);
    throw Fault{"value out of range for " + quoted(key) + ": " + numberText(value) + " (" +
                allowed + ")"};
  }
}

void ParameterTableEntry::requireAbove(const std::string& key, const std::vector<double>& values,
                                       double limit) {
  for (double value : values)
    if (!(value > limit))
      throw Fault{"value out of range for " + quoted(key) + ": " + numberText(value) +
                  " (must be above " + numberText(limit) + ")"};
}

void ParameterTableEntry::requireSumAtMost(const std::string& key,
                                           const std::vector<double>& values, double limit) {
  const double sum = std::accumulate(values.begin(), values.end(), 0.0);
  if (sum > limit * (1.0 + 1e-9))
    throw Fault{"value out of range for " + quoted(key) + ": the values add up to " +
                numberText(sum) + " (at most " + numberText(limit) + ")"};
}

void ParameterTableEntry::requireIntegers(const std::string& key,
                                          const std::vector<double>& values) {
  for (double value : values)
    if (value != std::floor(value))
      throw Fault{"value out of range for " + quoted(key) + ": " + numberText(value) +
                  " is not a whole number"};
}

void ParameterTableEntry::requireAscendingDays(const std::string& key,
                                               const std::vector<double>& values, double lowest,
                                               double highest) {
  requireIntegers(key, values);
  requireRange(key, values, lowest, highest);
  for (std::size_t i = 1; i < values.size(); ++i)
    if (values[i] <= values[i - 1])
      throw Fault{"value out of range for " + quoted(key) + ": " + numberText(values[i]) +
                  " does not follow " + numberText(values[i - 1]) + " in ascending order"};
}

void reportTableEntryFault(DiagStream* diag, const std::string& where, const std::string& name,
                           const std::string& reason, int code) {
  if (diag)
    *diag << "FATAL: error in " << where << " (" << name << "): " << reason << "[end-entry]";
  throw code;
}
