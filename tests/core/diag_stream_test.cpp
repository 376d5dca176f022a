#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "core/diag_stream.h"
#include "tests/test_support.h"

namespace {

const std::string header = "<?xml version='1.0' encoding='UTF-8'?>\n"
                           "<Diag version=\"1.2\" xmlns=\"http://www.wldelft.nl/fews/PI\" \n"
                           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
                           "xsi:schemaLocation=\"http://www.wldelft.nl/fews/PI "
                           "http://fews.wldelft.nl/schemas/version1.0/pi-schemas/pi_diag.xsd\">\n"
                           "\t<line level=\"3\" description= \"Horva start at TS\"/>\n";
const std::string trailer =
    "\t<line level=\"3\" description= \"Horva finished at TS\"/>\n</Diag>\n";

std::string withoutTimeStamps(const std::string& text) {
  return std::regex_replace(
      text, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"), "TS");
}

// Runs a chain of insertions against a fresh stream and returns what the
// file and the console received.
struct Captured {
  std::string file;
  std::string console;
};

template <typename Chain> Captured capture(int maxLevel, Chain chain) {
  const std::string dir = makeTestDirectory("diag");
  std::ostringstream console;
  std::ostringstream errors;
  {
    DiagStream diag(dir + "/d.xml", maxLevel, &console, &errors);
    chain(diag);
  }
  return {withoutTimeStamps(readFile(dir + "/d_0.xml")), console.str()};
}

} // namespace

TEST(DiagStream, WritesByteExactEntriesForEachEdgeCase) {
  struct Case {
    const char* what;
    int maxLevel;
    std::function<void(DiagStream&)> chain;
    std::string fileBody;
    std::string console;
  };
  const std::vector<Case> cases = {
      {"warning above the level goes to the console only", 1,
       [](DiagStream& d) {
         d << "WARNING: low water"
           << "[end-entry]";
       },
       "", "low water\n(mpi-rank  0) "},
      {"escaping of specials, line breaks and hyphen runs", 4,
       [](DiagStream& d) {
         d << "INFO: a<b & c\nx-----y"
           << "[end-entry]";
       },
       "\t<line level=\"3\" description= \"a&lt;b &amp; c;x--y\"/>\n",
       "a<b & c\nx-----y\n(mpi-rank  0) "},
      {"quotes and apostrophes", 4,
       [](DiagStream& d) {
         d << "ERROR: it's \"x\" > y"
           << "[end-entry]";
       },
       "\t<line level=\"1\" description= \"it&apos;s &quot;x&quot; &gt; y\"/>\n",
       "it's \"x\" > y\n(mpi-rank  0) "},
      {"a number alone is a DEBUG entry", 4, [](DiagStream& d) { d << 42 << "[end-entry]"; },
       "\t<line level=\"4\" description= \"42\"/>\n", "42\n(mpi-rank  0) "},
      {"a SKIP prompt stays off the file", 4,
       [](DiagStream& d) {
         d << "SKIP: your choice: "
           << "[end-entry]";
       },
       "", "your choice: \n(mpi-rank  0) "},
      {"two prefixes in one chain give two lines and one console line", 4,
       [](DiagStream& d) {
         d << "INFO: a"
           << "WARNING: b"
           << "[end-entry]";
       },
       "\t<line level=\"3\" description= \"a\"/>\n\t<line level=\"2\" description= \"b\"/>\n",
       "ab\n(mpi-rank  0) "},
      {"values and strings inside an entry", 4,
       [](DiagStream& d) {
         d << "FATAL: error opening " << std::string("in<1>.asc") << " for inflow " << 3 << ", "
           << 2.5 << ' ' << '<' << "[end-entry]";
       },
       "\t<line level=\"0\" description= \"error opening in&lt;1&gt;.asc for inflow 3, 2.5 "
       "&lt;\"/>\n",
       "error opening in<1>.asc for inflow 3, 2.5 <\n(mpi-rank  0) "},
      {"text without prefix is DEBUG and filtered at INFO", 3,
       [](DiagStream& d) {
         d << "plain text"
           << "[end-entry]";
       },
       "", "plain text\n(mpi-rank  0) "},
      {"an entry left open is closed at destruction", 4, [](DiagStream& d) { d << "INFO: open"; },
       "\t<line level=\"3\" description= \"open\"/>\n", "open"},
      {"bytes that XML cannot hold, in texts, strings and characters", 4,
       [](DiagStream& d) {
         d << "FATAL: $x\xA1 \x01 20\xC2\xB0"
              "C "
           << std::string("z\x01\xED\xA0\x80\xC0\xAF\xEF\xBF\xBE\xF0\x9F\x98\x80.asc") << ' '
           << '\x02' << '\xE9' << "\xE2\x82"
           << "[end-entry]";
       },
       "\t<line level=\"0\" description= \"$x\\xA1 \\x01 20\xC2\xB0"
       "C z\\x01\\xED\\xA0\\x80\\xC0\\xAF\\xEF\\xBF\\xBE\xF0\x9F\x98\x80.asc "
       "\\x02\\xE9\\xE2\\x82\"/>\n",
       "$x\xA1 \x01 20\xC2\xB0"
       "C z\x01\xED\xA0\x80\xC0\xAF\xEF\xBF\xBE\xF0\x9F\x98\x80.asc \x02\xE9\xE2\x82\n(mpi-rank  "
       "0) "},
  };
  for (const Case& c : cases) {
    const Captured out = capture(c.maxLevel, c.chain);
    EXPECT_EQ(out.file, header + c.fileBody + trailer) << c.what;
    EXPECT_EQ(out.console, c.console) << c.what;
  }
}

// However the process ends, the file read at that moment is well-formed:
// it ends with the last whole entry and the closing tag.
TEST(DiagStream, EndsTheFileWithItsClosingTagAfterEveryEntry) {
  struct Step {
    const char* what;
    std::function<void(DiagStream&)> chain;
    std::string addedLines;
  };
  const std::vector<Step> steps = {
      {"the header alone", [](DiagStream&) {}, ""},
      {"an entry", [](DiagStream& d) { d << "INFO: a" << 1 << "[end-entry]"; },
       "\t<line level=\"3\" description= \"a1\"/>\n"},
      {"an entry still open", [](DiagStream& d) { d << "WARNING: half"; }, ""},
      {"the open entry closed by the next one",
       [](DiagStream& d) { d << "ERROR: \xFF" << std::string("\x1b[0m") << "[end-entry]"; },
       "\t<line level=\"2\" description= \"half\"/>\n"
       "\t<line level=\"1\" description= \"\\xFF\\x1B[0m\"/>\n"},
      {"an entry above the level",
       [](DiagStream& d) {
         d << "DEBUG: hidden"
           << "[end-entry]";
       },
       ""},
  };
  const std::string dir = makeTestDirectory("diag_closed");
  std::ostringstream console;
  DiagStream diag(dir + "/d.xml", 3, &console);
  std::string body;
  for (const Step& step : steps) {
    step.chain(diag);
    body += step.addedLines;
    EXPECT_EQ(withoutTimeStamps(readFile(dir + "/d_0.xml")), header + body + "</Diag>\n")
        << step.what;
    EXPECT_TRUE(wellFormedXml(dir + "/d_0.xml")) << step.what;
  }
}

// A pipe cannot take the closing tag back: it receives it once, at the end.
TEST(DiagStream, WritesTheClosingTagIntoAPipeOnlyAtTheEnd) {
  const std::string dir = makeTestDirectory("diag_pipe");
  ASSERT_EQ(mkfifo((dir + "/d_0.xml").c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = readFile(dir + "/d_0.xml"); });
  {
    std::ostringstream console;
    DiagStream diag(dir + "/d.xml", 4, &console);
    diag << "INFO: a"
         << "[end-entry]";
  }
  reader.join();
  EXPECT_EQ(withoutTimeStamps(received),
            header + "\t<line level=\"3\" description= \"a\"/>\n" + trailer);
}

TEST(DiagStream, LevelFilterKeepsLevelsUpToTheChosenOne) {
  for (int maxLevel = 0; maxLevel <= 4; ++maxLevel) {
    const Captured out = capture(maxLevel, [](DiagStream& d) {
      d << "FATAL: f"
        << "[end-entry]";
      d << "ERROR: e"
        << "[end-entry]";
      d << "WARNING: w"
        << "[end-entry]";
      d << "INFO: i"
        << "[end-entry]";
      d << "DEBUG: d"
        << "[end-entry]";
    });
    const char letters[] = "fewid";
    for (int level = 0; level <= 4; ++level) {
      const std::string line = "\t<line level=\"" + std::to_string(level) + "\" description= \"" +
                               letters[level] + "\"/>\n";
      EXPECT_EQ(out.file.find(line) != std::string::npos, level <= maxLevel)
          << "level " << level << " with maximum " << maxLevel;
    }
    EXPECT_EQ(
        out.console,
        "f\n(mpi-rank  0) e\n(mpi-rank  0) w\n(mpi-rank  0) i\n(mpi-rank  0) d\n(mpi-rank  0) ");
  }
}

TEST(DiagStream, NamesTheFileAfterTheRequestedNameAndTheRank) {
  const std::string dir = makeTestDirectory("diag_names");
  std::ostringstream console;
  { DiagStream diag(dir + "/run.diag.xml", 4, &console); }
  EXPECT_TRUE(fileExists(dir + "/run.diag_0.xml"));
  { DiagStream diag(dir + "/diag", 4, &console); }
  EXPECT_TRUE(fileExists(dir + "/diag_0.xml"));
}

TEST(DiagStream, FallsBackToTheDefaultNameWhenTheFileCannotBeCreated) {
  std::ostringstream console;
  {
    DiagStream diag("no_such_directory/x/d.xml", 4, &console);
    EXPECT_EQ(diag.getFileName(), "Horva_Diag.xml");
  }
  EXPECT_NE(console.str().find("error opening diagnostics output file no_such_directory/x/d_0.xml"),
            std::string::npos);
  EXPECT_TRUE(fileExists("Horva_Diag.xml"));
}

TEST(DiagStream, MapsLevelNames) {
  EXPECT_EQ(DiagStream::levelFromName("fatal"), 0);
  EXPECT_EQ(DiagStream::levelFromName("ERROR"), 1);
  EXPECT_EQ(DiagStream::levelFromName("Warning"), 2);
  EXPECT_EQ(DiagStream::levelFromName("INFO"), 3);
  EXPECT_EQ(DiagStream::levelFromName("DEBUG"), 4);
  EXPECT_EQ(DiagStream::levelFromName("chatty"), 4);
}

TEST(DiagStream, FailsWithCode320WhenNeitherFileCanBeCreated) {
  const std::string dir = makeTestDirectory("diag_320");
  std::filesystem::create_directory(dir + "/Horva_Diag.xml");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  std::ostringstream console;
  const int code = exitCodeOf([&] { DiagStream diag("missing/d.xml", 4, &console); });
  std::filesystem::current_path(previous);
  EXPECT_EQ(code, 320);
  EXPECT_NE(console.str().find("Error opening diagnostics output file Horva_Diag.xml"),
            std::string::npos);
}

// A console that went bad (given up, core/console_buffer.h) is noted once in
// the file, after the entry that found it so; the entries go on in the file.
TEST(DiagStream, NotesOnceThatTheConsoleWasGivenUp) {
  const Captured out = capture(4, [](DiagStream& d) {
    d << "INFO: before"
      << "[end-entry]";
  });
  EXPECT_EQ(out.file.find("console stopped"), std::string::npos);
  const std::string dir = makeTestDirectory("diag_console_lost");
  std::ostringstream console;
  std::ostringstream errors;
  {
    DiagStream diag(dir + "/d.xml", 4, &console, &errors);
    diag << "INFO: first"
         << "[end-entry]";
    console.setstate(std::ios::badbit);
    diag << "INFO: second"
         << "[end-entry]";
    diag << "INFO: third"
         << "[end-entry]";
  }
  const std::string file = withoutTimeStamps(readFile(dir + "/d_0.xml"));
  const std::string note =
      "\t<line level=\"2\" description= \"the console stopped taking output (nobody read it for a "
      "second, or the run was being ended): from here on the entries stand in this file only\"/>\n";
  EXPECT_EQ(file, header +
                      "\t<line level=\"3\" description= \"first\"/>\n"
                      "\t<line level=\"3\" description= \"second\"/>\n" +
                      note + "\t<line level=\"3\" description= \"third\"/>\n" + trailer);
}
