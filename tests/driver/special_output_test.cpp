#include <gtest/gtest.h>

#include "driver/special_output.h"
#include "tests/submodel/submodel_fixture.h"

namespace {

std::string specialOutputSection(const std::string& flow, const std::string& blocks) {
  return "[special_output]\n" + flow + "  flow control parameter\n60  time interval\n" + blocks +
         "\n[other]\n1\n60\n0\n";
}

// A 4 x 3 grid "runoff" on a single process that owns every cell.
struct SpecialOutputSetup : SubmodelSetup {
  explicit SpecialOutputSetup(const std::string& control)
      : SubmodelSetup("special_output", control) {
    addGrid("MPIRegions", std::vector<double>(12, 0.0));
    addGrid("runoff", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    context.outputDirectory = log.directory + "/";
  }
};

} // namespace

TEST(SpecialOutput, BadBlocksEndWithCode82NamingBlockAndKey) {
  // Each block follows a good one, so the messages name block 2.
  const std::string good = "{grid = runoff; file = a.txt; cells = 1 1;}";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"grid = rain; file = b.txt; cells = 1 1;",
       "the grid \"rain\" of key \"grid\" is not registered"},
      {"grid = runoff; file = b.txt; cells = 1 1 4 2;",
       "the cell 4 2 of key \"cells\" lies outside the grid of 3 rows and 4 columns"},
      {"grid = runoff; cells = 1 1;", "key \"file\" is missing"},
      {"grid = runoff; profile = b.txt; cells = 1 1;",
       "unknown key \"profile\" (the keys are grid, file, cells, substeps)"},
      {"grid = runoff; file = b.txt; cells = 1 1 2;",
       "key \"cells\" takes pairs of row and column, not 3 numbers"},
      {"grid = runoff; file = b.txt; cells = 1 2.5;",
       "the value \"2.5\" of key \"cells\" is not a whole number"},
      {"grid = runoff; file = b.txt; cells = 1 1; substeps = 2;",
       "the value \"2\" of key \"substeps\" is neither 0 nor 1"},
      {"grid = runoff; file = b.txt; file = c.txt; cells = 1 1;", "key \"file\" given twice"},
      {"grid = runoff; file b.txt; cells = 1 1;", "\"file b.txt\" is not of the form key = value"},
      {"grid = runoff; file = a.txt; cells = 1 1;",
       "the file \"{dir}a.txt\" of key \"file\" is written by block 1 already"},
  };
  for (const auto& [block, what] : cases) {
    SCOPED_TRACE(block);
    SpecialOutputSetup s(specialOutputSection("1", "2\n" + good + "\n{" + block + "}"));
    int code = -1;
    EXPECT_EQ(constructSubmodel<SpecialOutputClass>(code, s.context), nullptr);
    EXPECT_EQ(code, 82);
    std::string entry =
        what + " in block 2 {" + block + "} of [special_output] in " + s.controlFile;
    if (entry.find("{dir}") != std::string::npos)
      entry.replace(entry.find("{dir}"), 5, s.log.directory + "/");
    EXPECT_EQ(s.log.lastEntry(), entry);
    EXPECT_FALSE(fileExists(s.log.directory + "/a.txt"));
  }
  // The block behind the next section header is not this section's.
  for (const auto& [blocks, what] : std::vector<std::pair<std::string, std::string>>{
           {"outputs\n" + good, "the number of special outputs is missing"},
           {"2\n" + good + "\n[next]\n" + good,
            "block 2 of 2 is missing or not closed by \"}\""}}) {
    SpecialOutputSetup s(specialOutputSection("1", blocks));
    int code = -1;
    EXPECT_EQ(constructSubmodel<SpecialOutputClass>(code, s.context), nullptr);
    EXPECT_EQ(code, 82);
    EXPECT_EQ(s.log.lastEntry(), what + " in [special_output] of " + s.controlFile);
  }
}

TEST(SpecialOutput, IsOffWithoutSectionOrWithFlowControlZero) {
  for (const std::string& control :
       {std::string("[other]\n1\n60\n"),
        specialOutputSection("0", "1\n{grid = runoff; file = a.txt; cells = 1 1;}")}) {
    SpecialOutputSetup s(control);
    int code = -1;
    const auto module = constructSubmodel<SpecialOutputClass>(code, s.context);
    ASSERT_EQ(code, 0) << s.log.console.str();
    EXPECT_EQ(module->getFlowControl(), 0);
    EXPECT_EQ(module->getOutputCount(), 0u);
    module->writeStep(0, 1, 1, 1, 2020, 0);
    module->flush();
    EXPECT_FALSE(fileExists(s.log.directory + "/a.txt"));
  }
}
