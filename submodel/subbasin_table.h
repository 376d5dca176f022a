#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "submodel/teilmodellklasse.h"

// One value line of a per-subbasin table: the values go to values[1 ..
// zone count]; a value that cannot be read names the line as
// "error reading <name>[<code>] for <module><hint>".
struct SubbasinTableLine {
  std::string name;
  std::string hint;
  std::vector<double>* values = nullptr;
};

// Reads a per-subbasin table of a module's section at the file's position:
// a line of subbasin codes, ascending and ending with the largest, then one
// line per entry of `lines` with one value per listed code. A subbasin
// between two listed ones takes the values of the one before it. Each line
// is read as one line, so that a short line cannot borrow values from the
// next. A fault ends the run with code 10 and the hint on groups of
// subbasins.
void readSubbasinTable(modelobject& module, std::FILE* file, const std::string& controlFileName,
                       const SubmodelZones& zones, const std::vector<SubbasinTableLine>& lines);

// The next line of the file that holds more than blanks, without its line
// end; false at the end of the file.
bool nextTextLine(std::FILE* file, std::string& line);

// Ends the run with code 10: "FATAL: " and the error banner, `what`, the
// module's name, `hint` and, with groupHint, the text on groups of
// subbasins.
[[noreturn]] void failSubbasinTable(modelobject& module, const std::string& what,
                                    const std::string& hint = "", bool groupHint = true);
