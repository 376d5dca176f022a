#include "core/parser.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr double eulerNumber = 2.718281828459045;
constexpr double piNumber = 3.141592653589793;
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isOperatorChar(char c) { return c != '\0' && std::strchr("&|<>=+/*%^!", c) != nullptr; }
bool isNumberChar(char c) { return (c >= '0' && c <= '9') || c == '.'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || isDigit(c); }

// Toward zero; values outside the 32-bit range, and NaN, give the lowest int.
std::int32_t truncateToInt32(double x) {
  if (!(x > -2147483649.0 && x < 2147483648.0)) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(x);
}

// Reads the decimal prefix of a number token independently of the locale.
// A number beyond the range of double is infinite, one below it zero.
double readNumber(const std::string& text) {
  double value = 0.0;
  const std::from_chars_result read =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (read.ec == std::errc::result_out_of_range) {
    const std::size_t exponent = text.find_first_of("eE");
    const bool tiny =
        exponent != std::string::npos && exponent + 1 < text.size() && text[exponent + 1] == '-';
    return tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return read.ec == std::errc() ? value : 0.0;
}

// n! for an integer-valued x. Negative integers have no factorial (NaN, as
// SQRT of a negative number); from 171 on the product is infinite, which is
// returned without multiplying up to two billion factors.
double factorial(double x, int errorColumn) {
  const std::int32_t n = truncateToInt32(x);
  if (x != n) throw Error(errorColumn, Error::IntegerExpected, "factorial");
  if (n < 0) return notANumber;
  if (n > 170) return std::numeric_limits<double>::infinity();
  double product = 1.0;
  for (std::int32_t k = n; k >= 2; --k) product *= k;
  return product;
}

double sign(double x) { return x < 0.0 ? -1.0 : (x == 0.0 ? 0.0 : 1.0); }

struct FunctionEntry {
  const char* name;
  double (*apply)(double);
};

const FunctionEntry functionTable[] = {
    {"ABS", [](double x) { return std::fabs(x); }},
    {"EXP", [](double x) { return std::exp(x); }},
    {"SIGN", sign},
    {"SQRT", [](double x) { return std::sqrt(x); }},
    {"LOG", [](double x) { return std::log(x); }},
    {"LOG10", [](double x) { return std::log10(x); }},
    {"SIN", [](double x) { return std::sin(x); }},
    {"COS", [](double x) { return std::cos(x); }},
    {"TAN", [](double x) { return std::tan(x); }},
    {"ASIN", [](double x) { return std::asin(x); }},
    {"ACOS", [](double x) { return std::acos(x); }},
    {"ATAN", [](double x) { return std::atan(x); }},
};

} // namespace

// --- Error -------------------------------------------------------------------

Error::Error(int column, int id) : Error(column, id, std::string()) {}

Error::Error(int column, int id, const std::string& detail)
    : column(column), id(id), message(std::string(textOf(id)) + detail) {
  if (message.size() > 255) message.resize(255);
}

const char* Error::textOf(int id) {
  switch (id) {
  case 1:
    return "Syntax error in part: ";
  case 2:
    return "Syntax error";
  case 3:
    return "Parentesis ) missing";
  case 4:
    return "Empty expression";
  case 5:
    return "Unexpected part: ";
  case 6:
    return "Unexpected end of expression";
  case 7:
    return "Value expected";
  case 101:
    return "Unknown operator ";
  case 102:
    return "Unknown function ";
  case 103:
    return "Unknown variable ";
  case 200:
    return "Too long expression, maximum number of characters exceeded";
  case 201:
    return "Too long token, maximum number of characters exceeded: ";
  case 202:
    return "Too long name, maximum number of characters exceeded: ";
  case 300:
    return "Defining variable failed";
  case 400:
    return "Integer value expected in function ";
  default:
    return "Unknown error";
  }
}

// --- Parser ------------------------------------------------------------------

Parser::Parser(VariableList* given)
    : ownVariables(given ? nullptr : std::make_unique<VariableList>()),
      variables(given ? given : ownVariables.get()) {}

const std::string& Parser::parse(const std::string& text) {
  try {
    // Rejected before any token is read, so the error has no column.
    if (text.size() > maxExpressionLength) throw Error(-1, Error::TooLongExpression);
    expression = text;
    position = 0;
    answer = 0.0;
    getToken();
    if (tokenType == Delimiter && token.empty()) throw Error(column(), Error::EmptyExpression);

    const double value = parseAssignment();
    if (tokenType != Delimiter) throw Error(column(), Error::UnexpectedPart, token);
    if (!token.empty()) throw Error(column(), Error::UnknownOperator, token);

    variables->add("Ans", value);
    answer = value;
    char formatted[64];
    std::snprintf(formatted, sizeof formatted, "Ans = %g", value);
    result = formatted;
  } catch (const Error& error) {
    result = "Error: " + error.getMessage() + " (col " + std::to_string(error.getColumn()) + ")";
  }
  return result;
}

int Parser::column() const { return static_cast<int>(position - token.size()) + 1; }

void Parser::getToken() {
  token.clear();
  tokenType = None;
  while (position < expression.size() && isBlank(expression[position])) ++position;
  if (position == expression.size()) {
    tokenType = Delimiter;
    return;
  }

  const std::size_t start = position;
  const char c = expression[position];
  if (c == '-' || c == '(' || c == ')') {
    tokenType = Delimiter;
    ++position;
  } else if (isOperatorChar(c)) {
    tokenType = Delimiter;
    while (position < expression.size() && isOperatorChar(expression[position])) ++position;
  } else if (isNumberChar(c)) {
    tokenType = Number;
    while (position < expression.size() && isNumberChar(expression[position])) ++position;
    if (position < expression.size() &&
        (expression[position] == 'e' || expression[position] == 'E')) {
      ++position;
      if (position < expression.size() &&
          (expression[position] == '+' || expression[position] == '-'))
        ++position;
      while (position < expression.size() && isDigit(expression[position])) ++position;
    }
  } else if (isNameStart(c)) {
    while (position < expression.size() && isNameChar(expression[position])) ++position;
    std::size_t next = position;
    while (next < expression.size() && isBlank(expression[next])) ++next;
    tokenType = next < expression.size() && expression[next] == '(' ? Function : Variable;
  } else {
    tokenType = Other;
    token = expression.substr(position);
    position = expression.size();
    throw Error(column(), Error::SyntaxErrorInPart, token);
  }
  token.assign(expression, start, position - start);

  // Too long names and tokens are refused rather than cut, so that they can
  // never be read as a different, shorter name or number.
  if ((tokenType == Variable || tokenType == Function) && token.size() > maxNameLength)
    throw Error(column(), Error::TooLongName, token);
  if (token.size() > maxTokenLength) throw Error(column(), Error::TooLongToken, token);
}

double Parser::parseAssignment() {
  if (tokenType == Variable) {
    const std::string name = token;
    const std::size_t afterName = position;
    getToken();
    if (tokenIs("=")) {
      getToken();
      const double value = parseBitwise();
      variables->add(name, value);
      return value;
    }
    // Not an assignment: put the name back.
    token = name;
    tokenType = Variable;
    position = afterName;
  }
  return parseBitwise();
}

double Parser::parseBitwise() {
  double value = parseComparison();
  for (;;) {
    const bool isAnd = tokenIs("&"), isOr = tokenIs("|");
    const bool isLeft = tokenIs("<<"), isRight = tokenIs(">>");
    if (!(isAnd || isOr || isLeft || isRight)) return value;
    getToken();
    const std::int32_t left = truncateToInt32(value);
    const std::int32_t right = truncateToInt32(parseComparison());
    const int shift = right & 31;
    std::int32_t bits;
    if (isAnd) {
      bits = left & right;
    } else if (isOr) {
      bits = left | right;
    } else if (isLeft) {
      // Shifted as unsigned: a negative left operand shifts its bits too.
      bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(left) << shift);
    } else {
      bits = left >= 0 ? left >> shift : ~(~left >> shift);
    }
    value = bits;
  }
}

double Parser::parseComparison() {
  double value = parseAdditive();
  for (;;) {
    if (tokenIs("=")) {
      getToken();
      value = value == parseAdditive() ? 1.0 : 0.0;
    } else if (tokenIs("<>")) {
      getToken();
      value = value != parseAdditive() ? 1.0 : 0.0;
    } else if (tokenIs("<")) {
      getToken();
      value = value < parseAdditive() ? 1.0 : 0.0;
    } else if (tokenIs(">")) {
      getToken();
      value = value > parseAdditive() ? 1.0 : 0.0;
    } else if (tokenIs("<=")) {
      getToken();
      value = value <= parseAdditive() ? 1.0 : 0.0;
    } else if (tokenIs(">=")) {
      getToken();
      value = value >= parseAdditive() ? 1.0 : 0.0;
    } else {
      return value;
    }
  }
}

double Parser::parseAdditive() {
  double value = parseMultiplicative();
  for (;;) {
    if (tokenIs("+")) {
      getToken();
      value += parseMultiplicative();
    } else if (tokenIs("-")) {
      getToken();
      value -= parseMultiplicative();
    } else {
      return value;
    }
  }
}

double Parser::parseMultiplicative() {
  double value = parsePower();
  for (;;) {
    if (tokenIs("*")) {
      getToken();
      value *= parsePower();
    } else if (tokenIs("/")) {
      getToken();
      value /= parsePower();
    } else if (tokenIs("%")) {
      getToken();
      const std::int32_t left = truncateToInt32(value);
      const std::int32_t right = truncateToInt32(parsePower());
      // A remainder by zero is undefined (NaN, as fmod gives); by -1 it is
      // always 0, which also spares the lowest int divided by -1.
      if (right == 0) {
        value = notANumber;
      } else {
        value = right == -1 ? 0 : left % right;
      }
    } else if (tokenIs("||")) {
      getToken();
      const std::int32_t left = truncateToInt32(value);
      value = left ^ truncateToInt32(parsePower());
    } else {
      return value;
    }
  }
}

double Parser::parsePower() {
  double value = parseFactorial();
  while (tokenIs("^")) {
    getToken();
    value = std::pow(value, parseFactorial());
  }
  return value;
}

double Parser::parseFactorial() {
  double value = parseNegation();
  while (tokenIs("!")) {
    value = factorial(value, -1);
    getToken();
  }
  return value;
}

double Parser::parseNegation() {
  if (tokenIs("-")) {
    getToken();
    return -parseFunction();
  }
  return parseFunction();
}

double Parser::parseFunction() {
  if (tokenType != Function) return parseValue();
  const std::string name = token;
  getToken();
  const double argument = parseValue();
  return callFunction(name, argument, column());
}

double Parser::parseValue() {
  double value = 0.0;
  if (tokenType == Number) {
    value = readNumber(token);
  } else if (tokenType == Variable) {
    value = valueOfName(token);
  } else if (tokenIs("(")) {
    getToken();
    value = parseBitwise();
    if (!tokenIs(")")) throw Error(column(), Error::ParenthesisMissing);
  } else if (token.empty()) {
    throw Error(column(), Error::UnexpectedEnd);
  } else {
    throw Error(column(), Error::ValueExpected);
  }
  getToken();
  return value;
}

double Parser::valueOfName(const std::string& name) const {
  if (equalsIgnoringCase(name, "EULER")) return eulerNumber;
  if (equalsIgnoringCase(name, "PI")) return piNumber;
  double value = 0.0;
  if (!variables->get(name, value)) throw Error(column(), Error::UnknownVariable, name);
  return value;
}

double Parser::callFunction(const std::string& name, double argument, int errorColumn) const {
  if (equalsIgnoringCase(name, "FACTORIAL")) return factorial(argument, errorColumn);
  for (const FunctionEntry& function : functionTable)
    if (equalsIgnoringCase(name, function.name)) return function.apply(argument);
  throw Error(errorColumn, Error::UnknownFunction, name);
}
