#pragma once

#include <memory>
#include <string>

#include "core/variable_list.h"

// A failure while evaluating an expression: the 1-based column of the
// offending token (-1 when there is none), the error id and its message (the
// text of the id followed by an optional detail, at most 255 characters).
class Error {
public:
  enum Id : int {
    SyntaxErrorInPart = 1,
    ParenthesisMissing = 3,
    EmptyExpression = 4,
    UnexpectedPart = 5,
    UnexpectedEnd = 6,
    ValueExpected = 7,
    UnknownOperator = 101,
    UnknownFunction = 102,
    UnknownVariable = 103,
    TooLongExpression = 200,
    TooLongToken = 201,
    TooLongName = 202,
    IntegerExpected = 400,
  };

  Error(int column, int id);
  Error(int column, int id, const std::string& detail);

  int getColumn() const { return column; }
  int getId() const { return id; }
  const std::string& getMessage() const { return message; }

  static const char* textOf(int id);

private:
  int column;
  int id;
  std::string message;
};

// Evaluates one arithmetic expression against a list of named variables, in
// double precision, computing while it parses. "name = expression" at the
// start assigns; every successful result is also stored as "Ans".
//
// Precedence from low to high: & | << >> (on 32-bit integers), comparisons
// = <> < > <= >=, + -, * / % ||, ^, postfix !, one prefix -, function calls,
// then numbers, names and parentheses. Every two-operand level is
// left-associative, so 2^3^2 is 64, and -2^2 is 4.
class Parser {
public:
  // With null the parser keeps a list of its own. A given list stays the
  // caller's, who may fill and read it between evaluations.
  explicit Parser(VariableList* variables);

  // "Ans = <value>" (printf "%g"), or "Error: <message> (col <column>)".
  // The text stays valid until the next call. Never throws.
  const std::string& parse(const std::string& text);

  double getAnswer() const { return answer; }
  VariableList& getVariables() { return *variables; }

  static constexpr std::size_t maxExpressionLength = 255;
  static constexpr std::size_t maxTokenLength = 31;
  static constexpr std::size_t maxNameLength = 29;

private:
  enum TokenType : int {
    None = -1,
    Delimiter = 0,
    Number = 1,
    Variable = 2,
    Function = 3,
    Other = 4
  };

  void getToken();
  int column() const;
  bool tokenIs(const char* text) const { return tokenType == Delimiter && token == text; }

  double parseAssignment();
  double parseBitwise();
  double parseComparison();
  double parseAdditive();
  double parseMultiplicative();
  double parsePower();
  double parseFactorial();
  double parseNegation();
  double parseFunction();
  double parseValue();

  double valueOfName(const std::string& name) const;
  double callFunction(const std::string& name, double argument, int errorColumn) const;

  std::string expression;
  std::size_t position = 0; // next character of the expression to read
  std::string token;
  int tokenType = None;
  double answer = 0.0;
  std::string result;
  std::unique_ptr<VariableList> ownVariables;
  VariableList* variables;
};
