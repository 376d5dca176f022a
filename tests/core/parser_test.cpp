#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/parser.h"
#include "core/variable_list.h"

namespace {

const double infinity = std::numeric_limits<double>::infinity();
const double notANumber = std::numeric_limits<double>::quiet_NaN();

struct ValueCase {
  std::string expression;
  double value;
};

void expectValues(const std::vector<ValueCase>& cases) {
  VariableList variables;
  variables.add("x", 2.0);
  variables.add("Depth_1", 0.25);
  Parser parser(&variables);
  for (const ValueCase& c : cases) {
    const std::string& result = parser.parse(c.expression);
    ASSERT_EQ(result.rfind("Ans = ", 0), 0u) << c.expression << " -> " << result;
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(parser.getAnswer())) << c.expression;
    } else {
      EXPECT_DOUBLE_EQ(parser.getAnswer(), c.value) << c.expression;
    }
  }
}

} // namespace

TEST(Parser, EvaluatesByPrecedenceAndLeftAssociativity) {
  expectValues({{"1+2*3", 7},      {"(1+2)*3", 9},     {"10-4-3", 3},         {"2^3^2", 64},
                {"-2^2", 4},       {"2*-3", -6},       {"2--3", 5},           {"-(2+3)", -5},
                {"2^3!", 64},      {"2*3!", 12},       {"1 + 1 = 2", 1},      {"6 & 3 + 1", 4},
                {"1 | 2 = 2", 1},  {"1 < 2 < 3", 1},   {"3 > 2 > 1", 0},      {"2 <= 2", 1},
                {"2 >= 3", 0},     {"2 <> 3", 1},      {"2 = 2", 1},          {"8/4/2", 1},
                {"1/0", infinity}, {"x*Depth_1", 0.5}, {"X + depth_1", 2.25}, {"\t3 \t", 3}});
}

TEST(Parser, IntegerOperatorsTruncateToThirtyTwoBits) {
  expectValues({{"7 % 3", 1},
                {"-7 % 3", -1},
                {"7 % -3", 1},
                {"7.9 % 3.9", 1},
                {"5 || 3", 6},
                {"6 & 3", 2},
                {"6 | 3", 7},
                {"1 << 33", 2},
                {"1 << 31", -2147483648.0},
                {"-1 << 1", -2},
                {"-2147483648 << 1", 0},
                {"-8 >> 1", -4},
                {"-3 >> 1", -2},
                {"-1 >> 31", -1},
                {"1 >> -1", 0},
                {"3e9 & 1", 0},
                {"(0/0) | 0", -2147483648.0}});
}

TEST(Parser, ReadsNumbersConstantsAndFunctions) {
  const double pi = 3.141592653589793;
  expectValues({{"pi", pi},
                {"Euler", 2.718281828459045},
                {"1.5.2", 1.5},
                {"2e3", 2000},
                {"2E-1", 0.2},
                {".5", 0.5},
                {"1e+2", 100},
                {"1e999", infinity},
                {"1e-999", 0},
                {"sqrt(16)", 4},
                {"SQRT (16)", 4},
                {"abs(-3)", 3},
                {"exp(0)", 1},
                {"sign(-2)", -1},
                {"sign(0)", 0},
                {"sign(3)", 1},
                {"sign(0/0)", 1},
                {"log(euler)", 1},
                {"log10(1000)", 3},
                {"sin(pi/2)", 1},
                {"cos(0)", 1},
                {"tan(0)", 0},
                {"asin(1)", pi / 2},
                {"acos(1)", 0},
                {"atan(1)", pi / 4},
                {"-sqrt(4)", -2},
                {"sqrt(-1)", notANumber},
                {"factorial(5)", 120},
                {"3!", 6},
                {"0!", 1},
                {"1!", 1},
                {"3! !", 720}});
}

TEST(Parser, FactorialAndRemainderFaultsGiveDefinedResults) {
  expectValues({{"-3!", notANumber},
                {"factorial(-1)", notANumber},
                {"-2147483648!", notANumber},
                {"20!", 2432902008176640000.0},
                {"170! > 7.2574e306 & 170! < 7.2575e306", 1},
                {"171!", infinity},
                {"factorial(2147483647)", infinity}, // immediate, not two billion products
                {"7 % 0", notANumber},
                {"7 % 0.5", notANumber},
                {"-2147483648 % -1", 0},
                {"5 % -1", 0}});
}

TEST(Parser, ReportsErrorsWithMessageAndColumn) {
  const std::string longName(30, 'n');
  const std::string longestName(29, 'n');
  const std::string longNumber = "1." + std::string(30, '0');
  struct Case {
    std::string expression;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"2*(3+4 ", "Error: Parentesis ) missing (col 8)"},
      {"(1", "Error: Parentesis ) missing (col 3)"},
      {"(3 4)", "Error: Parentesis ) missing (col 4)"},
      {"Q+1", "Error: Unknown variable Q (col 1)"},
      {"3 4", "Error: Unexpected part: 4 (col 3)"},
      {"3 y", "Error: Unexpected part: y (col 3)"},
      {"3 sin(1)", "Error: Unexpected part: sin (col 3)"},
      {"3 )", "Error: Unknown operator ) (col 3)"},
      {"3 == 4", "Error: Unknown operator == (col 3)"},
      {"2 =< 3", "Error: Unknown operator =< (col 3)"},
      {"3!!", "Error: Unknown operator !! (col 2)"},
      {"", "Error: Empty expression (col 1)"},
      {"   ", "Error: Empty expression (col 4)"},
      {"2 +", "Error: Unexpected end of expression (col 4)"},
      {"x = ", "Error: Unexpected end of expression (col 5)"},
      {"--3", "Error: Value expected (col 2)"},
      {"+3", "Error: Value expected (col 1)"},
      {"2*)", "Error: Value expected (col 3)"},
      {"3 $ 4", "Error: Syntax error in part: $ 4 (col 3)"},
      {"foo(2)", "Error: Unknown function foo (col 7)"},
      {"2.5!", "Error: Integer value expected in function factorial (col -1)"},
      {"factorial(2.5) + 1", "Error: Integer value expected in function factorial (col 16)"},
      {"(0/0)!", "Error: Integer value expected in function factorial (col -1)"},
      {std::string(256, '1'),
       "Error: Too long expression, maximum number of characters exceeded (col -1)"},
      {"1+" + longName,
       "Error: Too long name, maximum number of characters exceeded: " + longName + " (col 3)"},
      {longName + "(1)",
       "Error: Too long name, maximum number of characters exceeded: " + longName + " (col 1)"},
      {"1+" + longestName, "Error: Unknown variable " + longestName + " (col 3)"},
      {longNumber,
       "Error: Too long token, maximum number of characters exceeded: " + longNumber + " (col 1)"},
  };
  Parser parser(nullptr);
  for (const Case& c : cases) EXPECT_EQ(parser.parse(c.expression), c.result) << c.expression;

  std::string longest = "1";
  while (longest.size() < Parser::maxExpressionLength) longest += "+1";
  EXPECT_EQ(parser.parse(longest), "Ans = 128");
  EXPECT_EQ(parser.parse(longNumber.substr(0, 31)), "Ans = 1");

  // The message is cut to 255 characters; the column still follows it.
  const std::string junk(253, '$');
  EXPECT_EQ(parser.parse("1+" + junk),
            "Error: " + ("Syntax error in part: " + junk).substr(0, 255) + " (col 3)");
}

TEST(Parser, AssignsVariablesAndAnsInTheSharedList) {
  VariableList variables;
  Parser parser(&variables);
  Parser other(&variables);
  double value = 0.0;

  EXPECT_EQ(parser.parse("x = 3"), "Ans = 3");
  EXPECT_EQ(variables.get("X", value), 1);
  EXPECT_EQ(value, 3.0);
  EXPECT_EQ(variables.get("ans", value), 1);
  EXPECT_EQ(value, 3.0);
  EXPECT_EQ(other.parse("x * 2 + ans"), "Ans = 9") << "a second parser sees the same list";
  EXPECT_EQ(parser.parse("Ans + 1"), "Ans = 10");

  EXPECT_EQ(parser.parse("b = 3"), "Ans = 3");
  EXPECT_EQ(parser.parse("a = b = 3"), "Ans = 1") << "the second = compares";
  variables.get("a", value);
  EXPECT_EQ(value, 1.0);

  EXPECT_EQ(parser.parse("PI = 5"), "Ans = 5");
  EXPECT_EQ(parser.parse("pi"), "Ans = 3.14159") << "constants come before variables";

  // An assignment made before a later error stays; Ans does not change.
  EXPECT_EQ(parser.parse("y = 2 3"), "Error: Unexpected part: 3 (col 7)");
  EXPECT_EQ(variables.get("y", value), 1);
  EXPECT_EQ(value, 2.0);
  variables.get("Ans", value);
  EXPECT_EQ(value, 3.141592653589793);
  EXPECT_EQ(parser.getAnswer(), 0.0);

  // A name that is cut would read the 29-character variable instead.
  const std::string name(29, 'v');
  variables.add(name, 7.0);
  EXPECT_NE(parser.parse(name + "w + 1").find("Too long name"), std::string::npos);

  Parser own(nullptr);
  EXPECT_EQ(own.parse("z = 4"), "Ans = 4");
  EXPECT_EQ(own.getVariables().get("Z", value), 1);
  EXPECT_EQ(variables.exists("z"), 0) << "a parser without a list keeps its own";
}

TEST(VariableList, KeepsRecordsByCaseFreeNameInInsertionOrder) {
  VariableList list;
  double value = 0.0;
  EXPECT_EQ(list.add("alpha", 1.0), 1);
  EXPECT_EQ(list.set("Beta", 2.0), 1);
  EXPECT_EQ(list.add("gamma", 3.0), 1);
  EXPECT_EQ(list.add("ALPHA", 4.0), 1);
  EXPECT_EQ(list.getIndex("Alpha"), 0) << "overwritten in place";
  EXPECT_EQ(list.getIndex("beta"), 1);
  EXPECT_EQ(list.getIndex("delta"), -1);
  EXPECT_EQ(list.get("alpha", value), 1);
  EXPECT_EQ(value, 4.0);

  value = -1.0;
  EXPECT_EQ(list.get("delta", value), 0);
  EXPECT_EQ(list.getByIndex(3, value), 0);
  EXPECT_EQ(list.getByIndex(-1, value), 0);
  EXPECT_EQ(value, -1.0) << "a failed lookup leaves the value alone";
  EXPECT_EQ(list.getByIndex(2, value), 1);
  EXPECT_EQ(value, 3.0);

  EXPECT_EQ(list.remove("ALPHA"), 1);
  EXPECT_EQ(list.getIndex("gamma"), 0) << "the last record takes the removed one's place";
  EXPECT_EQ(list.remove("alpha"), 0);
  EXPECT_EQ(list.remove("beta"), 1);
  EXPECT_EQ(list.remove("gamma"), 1);
  EXPECT_EQ(list.getByIndex(0, value), 0);

  // Long names are kept whole, so names that differ only at the end differ.
  const std::string stem(40, 'q');
  list.add(stem + "1", 1.0);
  list.add(stem + "2", 2.0);
  EXPECT_EQ(list.get(stem + "1", value), 1);
  EXPECT_EQ(value, 1.0);
  EXPECT_EQ(list.exists(stem), 0);
  list.clear();
  EXPECT_EQ(list.exists(stem + "2"), 0);
}
