#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The expressions of a "SiltingUpExpressions { ...; ...; }" block, without
// blanks, in their order.
struct SiltingExpressionBlock {
  std::vector<std::string> expressions;
  std::string trailing; // text after the last ";", which is not used
};

// Why a block could not be read; the codes are the run's exit codes.
enum class ExpressionBlockFault {
  none = 0,
  noOpeningBrace = 400,
  noClosingBrace = 401,
  noExpression = 402
};

// Reads the block from the file's position on: the first line that begins
// with "SiltingUpExpressions", before the next section (a line beginning
// with "["), then "{" on it or on following blank lines, then the text up to
// "}", which must come before the next section.
ExpressionBlockFault readExpressionBlock(std::FILE* file, SiltingExpressionBlock& block);

// The number of expressions evaluated before the kinetic energy is updated:
// those before the first whose assignment target is V (case ignored).
std::size_t firstGroupSize(const std::vector<std::string>& expressions);
