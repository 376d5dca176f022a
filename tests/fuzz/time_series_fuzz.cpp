// Feeds arbitrary bytes as a time-series table to TimeSeriesFile, once with a
// block of a few records and once with the routing model's budget, and walks
// every record. Besides crashes and leaks it traps on a walk that does not
// advance through the file and on two block sizes reading different records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/diag_stream.h"
#include "core/time_series_file.h"

namespace {

std::string directory;
std::string inputPath;
std::ostream silentConsole(nullptr);
std::unique_ptr<DiagStream> diag;

struct Walk {
  std::vector<double> seen; // date fields and values of every record, in order
  int state = 0;
};

Walk walk(long bufferBytes, size_t inputBytes) {
  Walk result;
  try {
    TimeSeriesFile reader(inputPath, 0, bufferBytes, diag.get());
    // Every record takes at least four bytes, so a walk that does not end
    // within that many steps is stuck.
    size_t steps = 0;
    while (reader.getState() == 1 || reader.getState() == 2) {
      if (++steps > inputBytes + 2) __builtin_trap();
      int date[5];
      reader.getDate(date[0], date[1], date[2], date[3], date[4]);
      if (reader.getPosition() >= 0 && reader.getPosition() < reader.getRecordsInBlock()) {
        result.seen.insert(result.seen.end(), date, date + 5);
        for (long column = 0; column <= reader.getValueColumns(); ++column)
          result.seen.push_back(reader.getValue(column));
      }
      reader.next();
    }
    result.state = reader.getState();
  } catch (int code) {
    if (code != 201 && code != 202) __builtin_trap();
    result.state = code;
  }
  return result;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/time_series_fuzz_XXXXXX";
  if (!mkdtemp(name)) return 1;
  directory = name;
  std::atexit([] { std::filesystem::remove_all(directory); });
  inputPath = directory + "/input.txt";
  // Level -1 keeps the FATAL messages of broken inputs out of the file.
  diag = std::make_unique<DiagStream>(directory + "/diag.xml", -1, &silentConsole, &silentConsole);
  return 0;
}

// An odd first byte puts a header with a minute column before the rest of
// the input, which mutation alone reaches only rarely.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  {
    std::ofstream file(inputPath, std::ios::binary | std::ios::trunc);
    if (data[0] & 1) file << "YY MM DD HH mm Q1 Q2\n";
    file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    if (!file) return 0;
  }
  const Walk small = walk(64, size);
  const Walk normal = walk(1000000, size);
  // The block size must not change what a complete walk reads.
  if (small.state == 4 && normal.state == 4 && small.seen != normal.seen) __builtin_trap();
  return 0;
}
