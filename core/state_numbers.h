#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/grid_types.h"

class DiagStream;

// The numbers a line of a state file holds before its comment, which
// begins at "(". Every word there must be wholly a finite number, as a value
// of the control file must be; false, with the first word that is not one
// in `fault`, otherwise.
bool stateLineNumbers(const std::string& line, std::vector<double>& values, std::string& fault);

// A value of a state file that is not wholly a finite number or lies outside
// its range: logs a FATAL entry naming the file, the line, what the value
// is and the text read, and throws 71. `rule` says what the value must be.
[[noreturn]] void refuseStateValue(DiagStream& diag, const std::string& path, long line,
                                   const std::string& what, const std::string& text,
                                   const std::string& rule);

// The same for an amount (a volume, a storage) below 0.
[[noreturn]] void refuseNegativeStateValue(DiagStream& diag, const std::string& path, long line,
                                           const std::string& what, double value);

// No solution holds more than 2e6 mg/l (2000 g/l, 1 kg/kg): the largest
// concentration of a tracer in any of its units.
constexpr double largestConcentration = 2e6;

// The same for a tracer's concentration outside 0 ... largestConcentration.
void requireStateConcentration(DiagStream& diag, const std::string& path, long line,
                               const std::string& what, double value);

// The number of the line a value was read from, worked out only for a
// refusal.
using StateLineNumber = std::function<long()>;

// A flow-time record (n, sx, zonenwert, rel, RelCellSum) of zone `zone`:
// sums of weights and of runoff and a step or zone number, none below 0,
// and an area fraction 0 ... 1; refused as by refuseStateValue otherwise.
void requireFlowTimeRecord(DiagStream& diag, const std::string& path, const StateLineNumber& line,
                           const ZoneRecord& record, long zone);

// What a linear storage of a subbasin holds (QDd, QIi) for tracer index
// `tracer`: runoff (0) not below 0, a tracer's concentration 0 ...
// largestConcentration.
void requireStoredRunoff(DiagStream& diag, const std::string& path, const StateLineNumber& line,
                         const std::string& what, int tracer, double value);

// The number (from 1) of the line of an open file that begins at byte
// offset `at`; the file position is kept.
long lineNumberAt(std::FILE* file, long at);

// The next word of an open state file as a number (the line end left
// unread): false at the end of the file or at a comment, which begins at
// "(". A word that is not wholly a finite number, or with `whole` not a
// whole number, is refused as by refuseStateValue.
bool nextStateNumber(std::FILE* file, DiagStream& diag, const std::string& path,
                     const std::string& what, bool whole, double& value);
