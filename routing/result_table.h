#pragma once

#include <cstddef>
#include <string>
#include <vector>

class DiagStream;

// Appends rows 1 .. count of a result table's buffer, each rowLength values:
// year, month, day, hour, minute, then valueCount values. The minute column
// is written only with `minutes`. Ctrl-C cannot interrupt the writing; a
// file that cannot be opened or written ends the run with 65.
void appendResultRows(DiagStream& diag, const std::string& fileName,
                      const std::vector<double>& buffer, std::size_t count, std::size_t rowLength,
                      std::size_t valueCount, bool minutes, long bufferBytes);
