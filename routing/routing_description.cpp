#include "routing/routing_description.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/diag_stream.h"

bool endsNumber(char c) {
  return c == '\0' || !(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_');
}

RoutingDescriptionText::RoutingDescriptionText(DiagStream& diagArg, std::string text, int number)
    : diag(diagArg), joined(std::move(text)), descriptionNumber(number) {}

bool RoutingDescriptionText::find(const char* keyword) {
  const std::size_t at = joined.find(keyword, position);
  if (at == std::string::npos) return false;
  position = at + std::strlen(keyword);
  return true;
}

void RoutingDescriptionText::expect(const char* keyword, const std::string& what) {
  if (!find(keyword)) missing(what);
}

void RoutingDescriptionText::expectEquals(const std::string& what) {
  if (!skipToValue()) missing(what);
}

void RoutingDescriptionText::skipBlanks() {
  while (position < joined.size() &&
         (joined[position] == ' ' || joined[position] == '\t' || joined[position] == lineJoin))
    ++position;
}

char RoutingDescriptionText::skipLineJoins() {
  while (position < joined.size() && joined[position] == lineJoin) ++position;
  return current();
}

int RoutingDescriptionText::integer(const std::string& what) {
  skipBlanks();
  const char* start = joined.c_str() + position;
  char* end = nullptr;
  errno = 0;
  const long result = std::strtol(start, &end, 10);
  if (end == start) missing(what);
  requireNumberEnd(static_cast<std::size_t>(end - start), what, "a whole number");
  if (errno == ERANGE || result < INT_MIN || result > INT_MAX)
    requireNumberEnd(0, what, "a whole number");
  position += static_cast<std::size_t>(end - start);
  return static_cast<int>(result);
}

void RoutingDescriptionText::requireNumberEnd(std::size_t length, const std::string& what,
                                              const char* kind) const {
  if (length > 0 && endsNumber(joined.c_str()[position + length])) return;
  std::size_t end = position;
  while (!endsNumber(joined.c_str()[end])) ++end;
  diag << "FATAL: routing description " << descriptionNumber << " of [routing_model]: " << what
       << " reads \"" << joined.substr(position, end - position) << "\", which is not " << kind
       << "; write " << kind << "[end-entry]";
  throw 17;
}

void RoutingDescriptionText::refuse(const std::string& what, double value,
                                    const std::string& rule) const {
  diag << "FATAL: routing description " << descriptionNumber << " of [routing_model]: " << what
       << " is " << value << ", which " << rule << "; correct it"
       << "[end-entry]";
  throw 17;
}

double RoutingDescriptionText::number(const std::string& what) {
  skipBlanks();
  const char* start = joined.c_str() + position;
  char* end = nullptr;
  const double result = std::strtod(start, &end);
  if (end == start) missing(what);
  requireNumberEnd(static_cast<std::size_t>(end - start), what, "a number");
  // strtod takes "nan", "inf" and "1e999" too; they would fill the routed
  // columns, the tables and the state file with nan.
  if (!std::isfinite(result)) {
    diag << "FATAL: routing description " << descriptionNumber << " of [routing_model]: " << what
         << " reads \"" << std::string(start, static_cast<std::size_t>(end - start))
         << "\", which is not a finite number; write a number"
         << "[end-entry]";
    throw 17;
  }
  position += static_cast<std::size_t>(end - start);
  return result;
}

bool RoutingDescriptionText::skipToValue() {
  const std::size_t at = joined.find('=', position);
  if (at == std::string::npos) return false;
  position = at + 1;
  skipBlanks();
  return true;
}

double RoutingDescriptionText::value(const std::string& what) {
  if (!skipToValue()) missing(what);
  return number(what);
}

std::string RoutingDescriptionText::word(std::size_t maxLength, const std::string& what) {
  skipBlanks();
  const char stops[] = {' ', '\t', lineJoin, '\0'};
  const std::size_t end = joined.find_first_of(stops, position);
  const std::size_t stop = end == std::string::npos ? joined.size() : end;
  if (stop == position) missing(what);
  std::string result = joined.substr(position, stop - position);
  if (result.size() > maxLength) {
    diag << "FATAL: routing description " << descriptionNumber << ": " << what << " \"" << result
         << "\" is longer than " << static_cast<long>(maxLength) << " characters"
         << "[end-entry]";
    throw 42;
  }
  position = stop;
  return result;
}

void RoutingDescriptionText::missing(const std::string& what) const {
  diag << "FATAL: routing description " << descriptionNumber << " of [routing_model]: no value for "
       << what << " after character "
       << static_cast<long>(position - static_cast<std::size_t>(std::count(
                                           joined.begin(), joined.begin() + position, lineJoin)))
       << "; every element needs all its values, each after an \"=\""
       << "[end-entry]";
  throw 17;
}
