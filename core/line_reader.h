#pragma once

#include <cstddef>
#include <cstdio>
#include <istream>
#include <string>

// Longest line that the readers of text input (control files, station
// files, tables, semaphore files) take. It lies far above any real line, so
// that a file without line ends, or a link to a device such as /dev/zero,
// ends in an error that names the line instead of filling the memory.
constexpr std::size_t maxLineBytes = std::size_t(1) << 20;

enum class LineRead { line, end, tooLong };

// Reads the next line into `line`, without its '\n' (a '\r' before it
// stays). `end` when no character is left; `tooLong` once maxLineBytes
// characters came without a line end, the rest of the line left unread. A
// last line without a line end is a line; the end-of-file indicator of the
// file or stream is then set.
LineRead readLine(std::FILE* file, std::string& line);
LineRead readLine(std::istream& in, std::string& line);

// What a reader reports of a line that passes the limit.
std::string lineTooLongText();
