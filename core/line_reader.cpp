#include "core/line_reader.h"

namespace {

template <typename NextCharacter> LineRead readLineWith(NextCharacter next, std::string& line) {
  line.clear();
  bool any = false;
  for (int c; (c = next()) != EOF;) {
    any = true;
    if (c == '\n') return LineRead::line;
    if (line.size() == maxLineBytes) return LineRead::tooLong;
    line += static_cast<char>(c);
  }
  return any ? LineRead::line : LineRead::end;
}

} // namespace

LineRead readLine(std::FILE* file, std::string& line) {
  return readLineWith([file] { return std::getc(file); }, line);
}

LineRead readLine(std::istream& in, std::string& line) {
  std::streambuf* buffer = in.rdbuf();
  if (!in.good() || !buffer) {
    line.clear();
    return LineRead::end;
  }
  return readLineWith(
      [&] {
        const std::istream::int_type c = buffer->sbumpc();
        if (std::istream::traits_type::eq_int_type(c, std::istream::traits_type::eof())) {
          in.setstate(std::ios::eofbit);
          return EOF;
        }
        return static_cast<int>(c);
      },
      line);
}

std::string lineTooLongText() {
  return "the line is longer than " + std::to_string(maxLineBytes) +
         " bytes (is the file a text file with line ends?)";
}
