#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/time_series_file.h"
#include "tests/test_support.h"

namespace {

// "year-month-day hour:minute value ..." of the current record.
std::string recordText(const TimeSeriesFile& f) {
  int y, m, d, h, mi;
  f.getDate(y, m, d, h, mi);
  std::ostringstream out;
  out << y << '-' << m << '-' << d << ' ' << h << ':' << mi;
  for (long c = 0; c < f.getValueColumns(); ++c) out << ' ' << f.getValue(c);
  return out.str();
}

// Every record from the cursor on, as a caller walks them: read, next, test.
std::vector<std::string> walk(TimeSeriesFile& f) {
  std::vector<std::string> seen;
  for (int guard = 0; (f.getState() == 1 || f.getState() == 2) && guard < 1000; ++guard) {
    seen.push_back(recordText(f));
    f.next();
  }
  return seen;
}

// Two values per record (32 bytes of block budget each), hours 0, 1, ...
std::string records(int count, const char* lineEnd = "\n") {
  std::string text;
  for (int h = 0; h < count; ++h)
    text += "2000 1 1 " + std::to_string(h) + " " + std::to_string(h) + ".5 -" +
            std::to_string(10 + h) + lineEnd;
  return text;
}

std::vector<std::string> expectedRecords(int count) {
  std::vector<std::string> text;
  for (int h = 0; h < count; ++h)
    text.push_back("2000-1-1 " + std::to_string(h) + ":0 " + std::to_string(h) + ".5 -" +
                   std::to_string(10 + h));
  return text;
}

constexpr long recordBytes = 32;

} // namespace

TEST(TimeSeriesFile, ReadsHeaderLinesAndTheMinuteColumn) {
  struct Case {
    const char* what;
    std::string text;
    int opened;
    int state;
    bool minute;
    std::string first;
  };
  const std::string data = "2000 1 2 3 30 4.5\n";
  const std::vector<Case> cases = {
      {"no header", "2000 1 2 3 4.5\n", 0, 2, false, "2000-1-2 3:0 4.5"},
      {"minute column", "YY MM DD HH mm Q1 Q2\n" + data, 1, 2, true, "2000-1-2 3:30 4.5"},
      {"tabs and longer letter runs", "YYYY\tMM\tDD\tHH\tmm\tQ\n" + data, 1, 2, true,
       "2000-1-2 3:30 4.5"},
      {"without mm", "YY MM DD HH Q1 Q2\n" + data, 1, 2, false, "2000-1-2 3:0 30 4.5"},
      {"without HH", "YY MM DD mm Q1\n# gauge 7\n" + data, 2, 2, false, "2000-1-2 3:0 30 4.5"},
      {"mm ends the line", "YY MM DD HH mm\n" + data, 1, 2, false, "2000-1-2 3:0 30 4.5"},
      {"indented date letters", " YY MM DD HH mm Q\n" + data, 1, 2, false, "2000-1-2 3:0 30 4.5"},
      {"longest header line", std::string(4095, 'x') + "\n" + data, 1, 2, false,
       "2000-1-2 3:0 30 4.5"},
      {"header line too long", std::string(4096, 'x') + "\n" + data, 5, 5, false, "0-0-0 0:0"},
      {"header without data", "YY MM DD HH Q\n", 5, 5, false, "0-0-0 0:0"},
      {"empty file", "", 5, 5, false, "0-0-0 0:0"},
  };
  const std::string dir = makeTestDirectory("ts_header");
  for (const Case& c : cases) {
    writeFile(dir + "/t.txt", c.text);
    TimeSeriesFile f;
    EXPECT_EQ(f.open(dir + "/t.txt", 0, 1000000), c.opened) << c.what;
    EXPECT_EQ(f.getState(), c.state) << c.what;
    EXPECT_EQ(f.hasMinuteColumn(), c.minute) << c.what;
    EXPECT_EQ(recordText(f), c.first) << c.what;
    EXPECT_FALSE(f.isOpen()) << c.what;
  }
  TimeSeriesFile missing(dir + "/none.txt", 0, 100000);
  EXPECT_EQ(missing.getState(), 3);
  EXPECT_EQ(TimeSeriesFile().open(dir + "/none.txt", 0, 100000), 3);
}

TEST(TimeSeriesFile, ReadsEveryRecordWhateverTheBlockSizeAndTrailingBytes) {
  struct Tail {
    const char* what;
    std::string text;
  };
  const std::vector<Tail> tails = {{"line end", ""},
                                   {"twelve blanks", std::string(12, ' ')},
                                   {"blank lines", std::string(11, '\n')},
                                   {"short fragment", "2000 1 1"},
                                   {"blanks and a short fragment", std::string(20, ' ') + "2000"}};
  const std::string dir = makeTestDirectory("ts_walk");
  for (const char* lineEnd : {"\n", "\r\n"}) {
    for (const Tail& tail : tails) {
      writeFile(dir + "/t.txt", "YY MM DD HH Q1 Q2\n" + records(5, lineEnd) + tail.text);
      // Budgets below one record must still advance one record per block.
      for (long bytes : {0L, recordBytes - 1, recordBytes, 2 * recordBytes, 1000000L}) {
        TimeSeriesFile f(dir + "/t.txt", 0, bytes);
        EXPECT_EQ(walk(f), expectedRecords(5)) << tail.what << ", " << bytes << " bytes";
        EXPECT_EQ(f.getState(), 4) << tail.what << ", " << bytes << " bytes";
        EXPECT_FALSE(f.isOpen());
      }
    }
  }
}

TEST(TimeSeriesFile, ReportsTheEndWithTheBlockThatHoldsIt) {
  struct Case {
    int records;
    std::vector<int> states; // after open, then after each next
  };
  // Two records per block; 2 and 4 records end exactly at a block boundary.
  const std::vector<Case> cases = {{1, {2, 4}},
                                   {2, {2, 2, 4}},
                                   {3, {1, 1, 2, 4}},
                                   {4, {1, 1, 2, 2, 4}},
                                   {5, {1, 1, 1, 1, 2, 4}}};
  const std::string dir = makeTestDirectory("ts_boundary");
  // Blank lines, or an end-of-file character too short to be a record.
  for (const char* tail : {"\n\n", "\x1a"}) {
    for (const Case& c : cases) {
      writeFile(dir + "/t.txt", records(c.records) + tail);
      TimeSeriesFile f(dir + "/t.txt", 0, 2 * recordBytes);
      std::vector<int> states = {f.getState()};
      while (states.back() != 4 && states.size() < 20) {
        f.next();
        states.push_back(f.getState());
      }
      EXPECT_EQ(states, c.states) << c.records << " records";
      EXPECT_EQ(f.getPosition(), f.getRecordsInBlock() - 1) << c.records << " records";
      EXPECT_EQ(recordText(f), expectedRecords(c.records).back()) << "the last record stays";
      f.next();
      EXPECT_EQ(f.getState(), 4);
      EXPECT_EQ(recordText(f), expectedRecords(c.records).back());
    }
  }
}

TEST(TimeSeriesFile, MovesTheCursorOnlyWithinTheBlock) {
  const std::string dir = makeTestDirectory("ts_cursor");
  writeFile(dir + "/t.txt", records(5));
  TimeSeriesFile f(dir + "/t.txt", 0, 3 * recordBytes);
  ASSERT_EQ(f.getRecordsInBlock(), 3);
  f.setPosition(-1);
  EXPECT_EQ(recordText(f), "0-0-0 0:0 -9999 -9999") << "before the first record";
  f.next();
  EXPECT_EQ(recordText(f), expectedRecords(1)[0]);
  f.setPosition(4);
  EXPECT_EQ(f.getPosition(), 0) << "beyond the block is ignored";
  f.setPosition(3);
  EXPECT_EQ(f.getPosition(), 3);
  EXPECT_EQ(f.getValue(0), -9999.0) << "the end of the block holds no record";
  f.movePosition(-2);
  EXPECT_EQ(recordText(f), expectedRecords(2)[1]);
  f.movePosition(-3);
  f.movePosition(3);
  EXPECT_EQ(f.getPosition(), 1) << "moves outside the block are ignored";
  EXPECT_EQ(f.getValue(2), -9999.0);
  EXPECT_EQ(f.getValue(-1), -9999.0);
  f.refill();
  EXPECT_EQ(recordText(f), "2000-1-1 3:0 3.5 -13") << "refill loads the next block";
  EXPECT_EQ(f.getState(), 2);
  f.next();
  f.refill();
  EXPECT_EQ(f.getPosition(), 1) << "nothing follows the last block";
}

TEST(TimeSeriesFile, ReadErrorsCloseTheFileAndStay) {
  struct Case {
    const char* what;
    std::string text;
    long bytes;
    size_t walked;       // records walked before the block with the error
    long blockRecords;   // good records of that block
    std::string message; // on standard error, after the file name
  };
  const std::vector<Case> cases = {
      {"in the first block", records(2) + "2000 1 x 3 1 2\n" + records(2), 1000000, 0, 2, ""},
      {"in a later block", records(3) + "2000 1 1 3 abc 1\n" + records(2), 2 * recordBytes, 2, 1,
       ""},
      {"a number out of range", records(1) + "99999999999999999999 1 1 0 1 2\n", 1000000, 0, 1, ""},
      {"a value more than the first line has", records(2) + "2000 1 1 2 1 2 3\n" + records(1),
       1000000, 0, 2, ""},
      {"a record split over two lines", records(1) + "2000 1 1 1\n1.5 -11\n" + records(1), 1000000,
       0, 1, ""},
      {"a line without an end", records(3) + std::string(maxLineBytes + 1, '7'), 2 * recordBytes, 2,
       1,
       ": line 4: the line is longer than 1048576 bytes (is the file a text file with line "
       "ends?)\n"}};
  const std::string dir = makeTestDirectory("ts_errors");
  for (const Case& c : cases) {
    writeFile(dir + "/t.txt", c.text);
    std::ostringstream captured;
    std::streambuf* standardError = std::cerr.rdbuf(captured.rdbuf());
    TimeSeriesFile f(dir + "/t.txt", 0, c.bytes);
    const std::vector<std::string> walked = walk(f);
    std::cerr.rdbuf(standardError);
    EXPECT_EQ(walked, expectedRecords(c.walked)) << c.what;
    EXPECT_EQ(f.getState(), 5) << c.what;
    EXPECT_FALSE(f.isOpen()) << c.what;
    EXPECT_EQ(f.getRecordsInBlock(), c.blockRecords) << c.what;
    EXPECT_EQ(recordText(f), expectedRecords(c.walked + 1).back())
        << c.what << ": the records before the error stay readable";
    f.next();
    EXPECT_EQ(f.getState(), 5) << c.what << ": a read error is not an end of data";
    EXPECT_EQ(captured.str(),
              c.message.empty() ? "" : "ERROR: time series file " + dir + "/t.txt" + c.message)
        << c.what;
  }
}

TEST(TimeSeriesFile, NoticesAFileThatChangedBetweenBlocks) {
  const std::string dir = makeTestDirectory("ts_changed");
  const std::string path = dir + "/t.txt";
  writeFile(path, records(4));
  TimeSeriesFile removed(path, 0, 2 * recordBytes);
  TimeSeriesFile truncated(path, 0, 2 * recordBytes);

  std::filesystem::remove(path);
  removed.next();
  removed.next();
  EXPECT_EQ(removed.getState(), 5) << "a vanished file is a read error, not the old block again";
  EXPECT_EQ(removed.getRecordsInBlock(), 0);

  writeFile(path, records(2));
  truncated.next();
  truncated.next();
  EXPECT_EQ(truncated.getState(), 4) << "no data where the next block began";
  EXPECT_EQ(recordText(truncated), "0-0-0 0:0 -9999 -9999") << "and no stale record";
}

TEST(TimeSeriesFile, AnUnreadableFirstDataLineIsFatalAndNamesTheFile) {
  const std::string dir = makeTestDirectory("ts_fatal");
  std::ostringstream console;
  std::ostringstream errors;
  DiagStream diag(dir + "/d.xml", 4, &console, &errors);
  const std::string endless = "Q\nR\n2000 1 1 0 " + std::string(maxLineBytes, '5');
  for (const std::string& text :
       {endless, std::string("Q\n2000 1 x 0 5\n"), std::string("2000 1 1 0")}) {
    writeFile(dir + "/bad.txt", text);
    TimeSeriesFile f(&diag);
    EXPECT_EQ(exitCodeOf([&] { f.open(dir + "/bad.txt", 0, 100000); }), 201) << text.substr(0, 20);
    EXPECT_EQ(f.getState(), 5);
    EXPECT_FALSE(f.isOpen());
  }
  EXPECT_NE(console.str().find("time series file " + dir +
                               "/bad.txt: line 3: the line is longer than 1048576 bytes"),
            std::string::npos);
  EXPECT_NE(console.str().find("time series file " + dir +
                               "/bad.txt: the first data line (line "
                               "2) cannot be read; it must begin with year, month, day, hour as "
                               "integers\n"),
            std::string::npos)
      << console.str();

  // Without a log stream the message still reaches the user.
  std::ostringstream captured;
  std::streambuf* standardError = std::cerr.rdbuf(captured.rdbuf());
  const int code = exitCodeOf([&] { TimeSeriesFile(dir + "/bad.txt", 0, 100000, nullptr); });
  std::cerr.rdbuf(standardError);
  EXPECT_EQ(code, 201);
  EXPECT_EQ(captured.str(), "FATAL: time series file " + dir +
                                "/bad.txt: the first data line (line 1) cannot be read; it must "
                                "begin with year, month, day, hour as integers\n");

  // A pipe has no position to come back to between blocks.
  const std::string pipe = dir + "/pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(pipe) << records(1); });
  TimeSeriesFile piped(&diag);
  EXPECT_EQ(exitCodeOf([&] { piped.open(pipe, 0, 100000); }), 202);
  writer.join();
  EXPECT_NE(console.str().find("time series file " + pipe +
                               ": the position of the first data line (line 1) cannot be taken"),
            std::string::npos);
}

TEST(TimeSeriesFile, OpensOnceAndReadsNothingAfterClear) {
  const std::string dir = makeTestDirectory("ts_clear");
  writeFile(dir + "/t.txt", "Q\n" + records(4));
  TimeSeriesFile f;
  f.next();
  EXPECT_EQ(f.getState(), 0) << "nothing to move through before open";
  EXPECT_EQ(f.open(dir + "/t.txt", 0, 2 * recordBytes), 1);
  EXPECT_EQ(f.open(dir + "/t.txt", 0, 2 * recordBytes), 0);
  f.next();
  EXPECT_EQ(recordText(f), expectedRecords(2)[1]);
  f.clear();
  EXPECT_EQ(f.getState(), 1);
  EXPECT_EQ(f.getValue(0), -9999.0);
  f.next();
  EXPECT_EQ(f.getState(), 5) << "a cleared reader has no block to load into";
  EXPECT_EQ(f.open(dir + "/t.txt", 0, 2 * recordBytes), 0);
  EXPECT_EQ(f.getState(), 5);
}
