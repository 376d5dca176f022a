// Feeds arbitrary text to the expression parser with a few variables set.
// Every evaluation must end in a result text "Ans = ..." or "Error: ...";
// a successful one must have stored its value as "Ans".
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/parser.h"
#include "core/variable_list.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void evaluate(Parser& parser, VariableList& variables, const std::string& text) {
  const std::string& result = parser.parse(text);
  if (result.rfind("Error: ", 0) == 0) return;
  check(result.rfind("Ans = ", 0) == 0);
  double ans = 0.0;
  check(variables.get("Ans", ans) == 1);
  check(ans == parser.getAnswer() || (std::isnan(ans) && std::isnan(parser.getAnswer())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  VariableList variables;
  variables.add("a", 2.5);
  variables.add("B", -3.0);
  variables.add("Depth_1", 0.125);
  Parser parser(&variables);
  Parser other(&variables);

  evaluate(parser, variables, text);
  // Again as an assignment, and from a second parser that sees its result.
  evaluate(parser, variables, "c = " + text);
  evaluate(other, variables, text);
  return 0;
}
