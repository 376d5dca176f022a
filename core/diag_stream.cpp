#include "core/diag_stream.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "core/collective_status.h"

namespace {

const char* const endMarker = "[end-entry]";
constexpr size_t endMarkerLength = 11;

struct Prefix {
  const char* text;
  int level;
};

// Tested in this order; SKIP entries go to the console only.
const Prefix prefixes[] = {{"FATAL: ", 0}, {"ERROR: ", 1}, {"WARNING: ", 2},
                           {"INFO: ", 3},  {"DEBUG: ", 4}, {"SKIP: ", 5}};
constexpr int skipLevel = 5;

const Prefix* findPrefix(const std::string& text) {
  for (const Prefix& p : prefixes)
    if (text.compare(0, std::char_traits<char>::length(p.text), p.text) == 0) return &p;
  return nullptr;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::string rankPrefix(int rank) {
  std::ostringstream out;
  out << "(mpi-rank " << std::setw(2) << rank << ") ";
  return out.str();
}

const char* const levelNames[] = {"FATAL: ", "ERROR: "};

// Written after every entry and overwritten by the next one, so that the
// file is well-formed XML however the process ends.
const char* const closingTag = "</Diag>\n";
constexpr std::streamoff closingTagLength = 8;

// Length of the UTF-8 sequence at the start of a text when it encodes a
// character that XML allows; 0 for anything else (a stray or overlong
// byte, a surrogate, U+FFFE, U+FFFF, a control character other than tab
// and line ends).
size_t xmlCharacterLength(const unsigned char* s, size_t available) {
  const unsigned char c = s[0];
  if (c < 0x80) return c >= 0x20 || c == '\t' || c == '\n' || c == '\r' ? 1 : 0;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available < length || s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  if (c == 0xEF && s[1] == 0xBF && (s[2] == 0xBE || s[2] == 0xBF)) return 0;
  return length;
}

// Bytes that XML cannot hold are written as \xHH, so that a message quoting
// a broken file name or line still leaves a readable file.
std::string withXmlCharactersOnly(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const size_t length = xmlCharacterLength(bytes + i, text.size() - i);
    if (length > 0) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\\x";
      out += hex[bytes[i] >> 4];
      out += hex[bytes[i] & 0xF];
      ++i;
    }
  }
  return out;
}

} // namespace

std::string escapeDiagText(const std::string& text) {
  std::string out = text;
  replaceAll(out, "&", "&amp;");
  replaceAll(out, "\n", ";");
  replaceAll(out, "<", "&lt;");
  replaceAll(out, ">", "&gt;");
  replaceAll(out, "'", "&apos;");
  replaceAll(out, "\"", "&quot;");
  size_t pos;
  while ((pos = out.find("---")) != std::string::npos) out.erase(pos, 1);
  return withXmlCharactersOnly(out);
}

std::string DiagStream::timeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
  return buffer;
}

int DiagStream::levelFromName(const std::string& word) {
  std::string upper;
  for (char c : word) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "FATAL") return 0;
  if (upper == "ERROR") return 1;
  if (upper == "WARNING") return 2;
  if (upper == "INFO") return 3;
  return 4;
}

DiagStream::DiagStream(const std::string& requestedFileName, int maxLevelArg,
                       std::ostream* consoleStream, std::ostream* errorStream)
    : console(consoleStream), errorConsole(errorStream), maxLevel(maxLevelArg) {
  fileName = requestedFileName.empty() ? "Horva_Diag.xml" : requestedFileName;
  worldRankAndSize(rank, size);
  requestedBase = fileName.substr(0, fileName.rfind('.'));
  fileName = fileNameOfRank(rank);
  if (rank != 0) {
    // A file of a former run would be taken for a failure of this one.
    std::remove(fileName.c_str());
    return;
  }

  file.open(fileName, std::ios::out | std::ios::trunc);
  if (!file.is_open() || !file.good()) {
    *console << rankPrefix(rank)
             << "\n ----- Warning -----\n error opening diagnostics output file " << fileName
             << "\n"
             << std::flush;
    *console << rankPrefix(rank)
             << "\nusing default name Horva_Diag.xml in actual working directory\n "
                "-------------------\n\n"
             << "\n"
             << std::flush;
    fileName = "Horva_Diag.xml";
    file.clear();
    file.open(fileName, std::ios::out | std::ios::trunc);
    if (!file.is_open() || !file.good()) {
      *console << rankPrefix(rank) << "Error opening diagnostics output file " << fileName << "\n"
               << std::flush;
      throw 320;
    }
  }
  file << openingText();
  // A pipe cannot take the tag back; it gets it once, at the end.
  seekable = file.tellp() >= 0;
  writeClosingTag();
}

std::string DiagStream::fileNameOfRank(int otherRank) const {
  return requestedBase + "_" + std::to_string(otherRank) + ".xml";
}

std::string DiagStream::openingText() {
  return std::string("<?xml version='1.0' encoding='UTF-8'?>\n") +
         "<Diag version=\"1.2\" xmlns=\"http://www.wldelft.nl/fews/PI\" \n"
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
         "xsi:schemaLocation=\"http://www.wldelft.nl/fews/PI "
         "http://fews.wldelft.nl/schemas/version1.0/pi-schemas/pi_diag.xsd\">\n"
         "\t<line level=\"3\" description= \"Horva start at " +
         timeStamp() + "\"/>\n";
}

DiagStream::~DiagStream() {
  flushWorkerEntry();
  if (rank != 0 || !file.good()) return;
  if (!atEntryStart && entryLineWritten) {
    entryLine << "\"/>\n";
    file << entryLine.str();
  }
  file << "\t<line level=\"3\" description= \"Horva finished at " << timeStamp() << "\"/>\n"
       << closingTag;
  file.close();
}

void DiagStream::writeClosingTag() {
  if (!seekable) {
    file << std::flush;
    return;
  }
  file << closingTag << std::flush;
  file.seekp(-closingTagLength, std::ios::cur);
}

void DiagStream::commitEntryLine() {
  if (file.good()) file << entryLine.str();
  if (file.good()) writeClosingTag();
  entryLine.str("");
}

void DiagStream::openEntryLine() {
  entryLineWritten = false;
  if (rank == 0 && file.good() && !suppressed) {
    entryLine << "\t<line level=\"" << level << "\" description= \"";
    entryLineWritten = true;
  }
}

void DiagStream::closeOpenEntry() {
  flushWorkerEntry();
  if (!atEntryStart && entryLineWritten && rank == 0) {
    entryLine << "\"/>\n";
    commitEntryLine();
  }
  entryLineWritten = false;
  atEntryStart = true;
}

void DiagStream::flushWorkerEntry() {
  if (rank == 0 || workerEntry.empty()) return;
  const std::string fatal = levelNames[0];
  if (workerEntry.compare(0, fatal.size(), fatal) == 0)
    workerFatal = workerEntry.substr(fatal.size());
  *errorConsole << rankPrefix(rank) << workerEntry << "\n" << std::flush;
  writeWorkerEntry();
  workerEntry.clear();
}

// A worker's failure may end the run before rank 0 hears of it: the worker
// keeps its FATAL and ERROR entries in a diagnostics file of its own,
// written whole with each of them, so that it holds no file open.
void DiagStream::writeWorkerEntry() {
  const bool fatal = workerEntry.compare(0, std::strlen(levelNames[0]), levelNames[0]) == 0;
  const std::size_t prefix = std::strlen(levelNames[fatal ? 0 : 1]);
  if (workerLines.empty()) workerLines = openingText();
  workerLines += std::string("\t<line level=\"") + (fatal ? "0" : "1") + "\" description= \"" +
                 escapeDiagText(workerEntry.substr(prefix)) + "\"/>\n";
  std::ofstream out(fileName, std::ios::out | std::ios::trunc);
  out << workerLines << closingTag << std::flush;
}

void DiagStream::writeDiagText(const std::string& textIn) {
  std::string text = textIn;
  const Prefix* prefix = findPrefix(text);
  if (prefix) {
    text.erase(0, std::char_traits<char>::length(prefix->text));
    if (!atEntryStart) closeOpenEntry();
    level = prefix->level;
  } else if (atEntryStart) {
    level = 4;
  }
  suppressed = level > maxLevel || level == skipLevel;
  if (atEntryStart) {
    openEntryLine();
    atEntryStart = false;
    if (rank != 0 && level <= 1) workerEntry = levelNames[level];
  }
  std::string escaped = escapeDiagText(text);
  const size_t marker = escaped.find(endMarker);
  if (marker != std::string::npos && escaped.size() >= endMarkerLength)
    escaped.replace(escaped.size() - endMarkerLength, endMarkerLength, "\"/>");
  lastChunk = escaped;
}

void DiagStream::endEntry() {
  if (rank == 0) {
    // The file first: a run killed once the console showed an entry still
    // holds it in its diagnostics file.
    if (!suppressed && entryLineWritten) {
      entryLine << '\n';
      commitEntryLine();
    }
    *console << '\n' << std::flush;
    *console << rankPrefix(0);
  }
  flushWorkerEntry();
  entryLineWritten = false;
  atEntryStart = true;
  suppressed = false;
  // A console given up (core/console_buffer.h) writes nothing more.
  if (rank == 0 && !consoleLossNoted && console->bad()) {
    consoleLossNoted = true;
    *this << "WARNING: the console stopped taking output (nobody read it for a second, or the "
             "run was being ended): from here on the entries stand in this file only"
          << "[end-entry]";
  }
}

DiagStream& DiagStream::operator<<(const char* textArg) {
  const std::string text = textArg ? textArg : "";
  const bool ends = text.find(endMarker) != std::string::npos;
  std::string consoleCopy = text;
  if (ends)
    consoleCopy.erase(consoleCopy.size() >= endMarkerLength ? consoleCopy.size() - endMarkerLength
                                                            : 0);
  if (const Prefix* prefix = findPrefix(consoleCopy))
    consoleCopy.erase(0, std::char_traits<char>::length(prefix->text));
  if (rank == 0 && !consoleCopy.empty()) *console << consoleCopy;

  writeDiagText(text);
  if (rank == 0 && !suppressed && entryLineWritten) entryLine << lastChunk;
  if (rank != 0 && !workerEntry.empty()) workerEntry += consoleCopy;
  if (ends) endEntry();
  return *this;
}

DiagStream& DiagStream::operator<<(const std::string& text) {
  if (rank == 0) *console << text;
  writeDiagText(text);
  if (rank == 0 && !suppressed && entryLineWritten) entryLine << lastChunk;
  if (rank != 0 && !workerEntry.empty()) workerEntry += text;
  return *this;
}

void DiagStream::beginDiagValue() {
  if (atEntryStart) {
    level = 4;
    suppressed = maxLevel < 4;
    openEntryLine();
    atEntryStart = false;
  } else {
    suppressed = level > maxLevel || level == skipLevel;
  }
  lastChunk.clear();
}

template <typename T> DiagStream& DiagStream::insertValue(const T& value) {
  if (rank == 0) *console << value;
  beginDiagValue();
  if (rank == 0 && !suppressed && entryLineWritten) entryLine << value;
  if (rank != 0 && !workerEntry.empty()) {
    std::ostringstream text;
    text << value;
    workerEntry += text.str();
  }
  return *this;
}

// A character is escaped like a text so that the file stays well-formed XML.
DiagStream& DiagStream::operator<<(char value) {
  if (rank == 0) *console << value;
  beginDiagValue();
  const std::string escaped = escapeDiagText(std::string(1, value));
  if (rank == 0 && !suppressed && entryLineWritten) entryLine << escaped;
  if (rank != 0 && !workerEntry.empty()) workerEntry += value;
  return *this;
}

DiagStream& DiagStream::operator<<(int value) { return insertValue(value); }
DiagStream& DiagStream::operator<<(unsigned int value) { return insertValue(value); }
DiagStream& DiagStream::operator<<(long value) { return insertValue(value); }
DiagStream& DiagStream::operator<<(unsigned long value) { return insertValue(value); }
DiagStream& DiagStream::operator<<(long long value) { return insertValue(value); }
DiagStream& DiagStream::operator<<(unsigned long long value) { return insertValue(value); }
DiagStream& DiagStream::operator<<(float value) { return insertValue(static_cast<double>(value)); }
DiagStream& DiagStream::operator<<(double value) { return insertValue(value); }
DiagStream& DiagStream::operator<<(const void* value) { return insertValue(value); }

DiagStream& DiagStream::operator<<(decltype(std::setw(0)) width) {
  if (rank == 0) *console << width;
  beginDiagValue();
  if (rank == 0 && !suppressed) entryLine << width;
  return *this;
}

DiagStream& DiagStream::operator<<(decltype(std::setfill('\0')) fill) {
  if (rank == 0) *console << fill;
  beginDiagValue();
  if (rank == 0 && !suppressed) entryLine << fill;
  return *this;
}
