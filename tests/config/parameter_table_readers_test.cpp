#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/config/parameter_table_model.h"
#include "tests/test_support.h"

namespace {

// Two land uses whose codes are not 1..n; the second spans several lines.
const std::string landuseTable =
    "[landuse_table]\n"
    "2  number of land uses\n"
    "10 grass land { FixDays = 1 180; LAI = 1 3; VCF = 0.5 0.9; RootDepth = 0.2 0.4;\n"
    "  Albedo = 0.2 0.25; Z0 = 0.01 0.05; RSC = 80 60; RSI = 100 100; RSE = 150 150; }\n"
    "\n"
    "3 forest {\n"
    "  FixDays = 100;\n"
    "  LAI = 5; VCF = 1; RootDepth = 1.5; Albedo = 0.12; Z0 = 1.2;\n"
    "  RSC = 50; RSI = 90; RSE = 200; NFactor = 0.7;\n"
    "  IntercepCap = 0.35; nf_freezing = 0.4; nf_thawing = 0.9; SR_cultivation = 1;\n"
    "  SR_rough_coeff1 = 1 2 3; SR_rough_coeff2 = 4 5 6; SR_K_ST = 20; SoilTillage = 90 250;\n"
    "  VegStart = 80; VegStop = 300; ETPHamonFactor = 1.2;\n"
    "}\n";

const std::string soilTable =
    "[soil_table]\n"
    "2  soil types\n"
    "7 loam { method = MultipleHorizons; layers = 2; thickness = 0.3 0.7;\n"
    "  ksat = 1e-5 5e-6; theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 2 1;\n"
    "  Par_n = 1.5 1.4; ThicknessScaling = 2; }\n"
    "2 sand { method = MultipleHorizons; layers = 3; thickness = 0.1 0.2 0.3;\n"
    "  ksat = 1e-4 1e-4 1e-4; theta_sat = 0.38 0.38 0.38; theta_res = 0.02 0.02 0.02;\n"
    "  alpha = 5 5 5; Par_n = 2.5 2.5 2.5; maxratio = 10 10 10; HeatCapacityDry = 800 800 800;\n"
    "  GrainSizeDist = 0.8 0.1 0.1 0 0 0 0; SU_PAR03 = 4.5; SU_PAR10 = 2; }\n";

const std::string multilayerTable = "[multilayer_landuse]\n"
                                    "2 types\n"
                                    "1 orchard { layers = 3 10; k_extinct = 0.5; }\n"
                                    "20 meadow { layers = 10 -9999; }\n";

std::string entryWith(const std::string& keys) {
  return "[landuse_table]\n1\n5 crop { FixDays = 1 200; LAI = 1 2; VCF = 0.1 0.2; "
         "RootDepth = 0.1 0.2; Albedo = 0.2 0.2; Z0 = 0.1 0.1; RSC = 1 1; RSI = 1 1; "
         "RSE = 1 1; " +
         keys + " }\n";
}

std::string soilWith(const std::string& keys) {
  return "[soil_table]\n1\n4 clay { layers = 1; thickness = 0.5; ksat = 1e-6; "
         "theta_sat = 0.5; theta_res = 0.1; alpha = 1; Par_n = 1.2; " +
         keys + " }\n";
}

} // namespace

TEST(ParameterTableReaders, ReadMultiLineEntriesWithTheirCodesAndDefaults) {
  ParameterTableModel m(makeTestDirectory("tables_read"),
                        landuseTable + soilTable + multilayerTable);
  m.readMultilayerLanduse();
  m.readLanduseTable();
  m.readSoilTable();

  ASSERT_EQ(m.landuseTable.size(), 3u);
  EXPECT_EQ(m.landuseTable[0].getCode(), 2);
  EXPECT_EQ(m.landuseTable[1].getCode(), 10);
  EXPECT_EQ(m.landuseTable[1].getName(), "grass land");
  EXPECT_EQ(m.landuseTable[2].getCode(), 3);
  EXPECT_EQ(m.landuseTable[2].getName(), "forest");

  const landuse_class& grass = m.landuseTable[1];
  EXPECT_EQ(grass.getIntercepCap(), -1.0);
  EXPECT_EQ(grass.getNfFreezing(), -9999.9);
  EXPECT_EQ(grass.getNfThawing(), -9999.9);
  EXPECT_EQ(grass.getNFactorByDate(nullptr, 1, 6, 2021), -9999.9);
  EXPECT_EQ(grass.getSR_K_ST(), 10.0);
  EXPECT_EQ(grass.getSR_C_WR(), 1.5);
  EXPECT_EQ(grass.getSR_CropDistX(), 0.1);
  EXPECT_EQ(grass.getSR_CropDistY(), 0.3);
  EXPECT_EQ(grass.getSR_cultivation(), 0);
  EXPECT_EQ(grass.getRootDist(), 1.0);
  EXPECT_EQ(grass.getHReduDry(), 3.45);
  EXPECT_EQ(grass.getTReduWet(), 0.95);
  EXPECT_EQ(grass.getLimitReduWet(), 0.5);
  EXPECT_EQ(grass.getETPHamonFactor(), 1.0);
  EXPECT_EQ(grass.getSR_StemDiameterByDate(nullptr, 1, 6, 2021, 1, 1), 0.0);
  EXPECT_EQ(grass.getSR_ResidCovrgByDate(nullptr, 1, 6, 2021, 1, 1, 1), 0.0);
  EXPECT_EQ(grass.getVegStart(), 1);
  EXPECT_EQ(grass.getVegStop(), 365);
  EXPECT_FALSE(grass.hasDynamicPhenology());

  const landuse_class& forest = m.landuseTable[2];
  EXPECT_EQ(forest.getIntercepCap(), 0.35);
  EXPECT_EQ(forest.getNfFreezing(), 0.4);
  EXPECT_EQ(forest.getNfThawing(), 0.9);
  EXPECT_EQ(forest.getNFactorByDate(nullptr, 31, 12, 2021), 0.7);
  EXPECT_EQ(forest.getSR_K_ST(), 20.0);
  EXPECT_EQ(forest.getETPHamonFactor(), 1.2);
  double a = 0, b = 0, c = 0;
  forest.getSR_rough_coeff2(a, b, c);
  EXPECT_EQ(std::vector<double>({a, b, c}), std::vector<double>({4, 5, 6}));
  int tillageDays = 0;
  const int* tillage = nullptr;
  forest.getSoilTillage(tillageDays, tillage);
  ASSERT_EQ(tillageDays, 2);
  EXPECT_EQ(std::vector<int>(tillage, tillage + 3), std::vector<int>({250 - 366, 90, 250}));
  grass.getSoilTillage(tillageDays, tillage);
  EXPECT_EQ(tillageDays, 0);
  EXPECT_LT(tillage[0], -9997);

  ASSERT_EQ(m.soilTable.size(), 3u);
  EXPECT_EQ(m.soilTable[0].getCode(), 2);
  EXPECT_EQ(m.soilTable[0].getLayerCount(), 3) << "the largest layer count";
  const soil_class& loam = m.soilTable[1];
  EXPECT_EQ(loam.getCode(), 7);
  EXPECT_EQ(loam.getLayerCount(), 2);
  EXPECT_DOUBLE_EQ(loam.getThickness(2), 1.4) << "stored scaled";
  EXPECT_EQ(loam.getThicknessScaling(), 1.0);
  EXPECT_DOUBLE_EQ(loam.getTotalDepth(), 2.0);
  EXPECT_EQ(loam.getKsatArray()[2], 5e-6);
  EXPECT_DOUBLE_EQ(loam.getPar_m(1), 1.0 - 1.0 / 1.5);
  EXPECT_EQ(loam.getMaxRatio(1), std::numeric_limits<double>::infinity());
  EXPECT_LT(loam.getHeatCapacityDry(1), 0.0);
  EXPECT_LT(loam.getMinFrozenConduct(2), 0.0);
  EXPECT_EQ(loam.getGrainSizeDist(0), 0.0);
  const soil_class& sand = m.soilTable[2];
  EXPECT_EQ(sand.getCode(), 2);
  EXPECT_EQ(sand.getMaxRatio(3), 10.0);
  EXPECT_EQ(sand.getHeatCapacityDry(2), 800.0);
  EXPECT_EQ(sand.getGrainSizeDist(0), 0.8);
  EXPECT_EQ(sand.getSU_PAR(3), 4.5);
  EXPECT_EQ(sand.getSU_PAR(10), 2.0);
  EXPECT_EQ(sand.getSU_PAR(1), 0.0);

  ASSERT_EQ(m.multilayerTable.size(), 3u);
  EXPECT_EQ(m.multilayerTable[0].getCode(), 2);
  EXPECT_EQ(m.getLanduseLayerCount(), 2);
  EXPECT_EQ(m.multilayerTable[1].getLayerCodes(), std::vector<int>({0, 3, 10}));
  EXPECT_EQ(m.multilayerTable[1].getK_extinct(), 0.5);
  EXPECT_EQ(m.multilayerTable[2].getCode(), 20);
  EXPECT_EQ(m.multilayerTable[2].getLayerCodes()[2], -9999);
  EXPECT_EQ(m.multilayerTable[2].getK_extinct(), 0.3);
  EXPECT_EQ(m.multilayerTable[2].getLAI_scale(), 10.0);
}

TEST(ParameterTableReaders, AbsentSectionsGiveEmptyTables) {
  ParameterTableModel m(makeTestDirectory("tables_absent"), "[model_time]\n1\n");
  m.readMultilayerLanduse();
  m.readLanduseTable();
  m.readSoilTable();
  EXPECT_TRUE(m.multilayerTable.empty());
  EXPECT_EQ(m.getLanduseLayerCount(), 1);
  ASSERT_EQ(m.landuseTable.size(), 1u);
  EXPECT_EQ(m.landuseTable[0].getCode(), 0);
  ASSERT_EQ(m.soilTable.size(), 1u);
  EXPECT_EQ(m.soilTable[0].getCode(), 0);
  EXPECT_NE(m.console().find(
                "no section [landuse_table] in the control file, the land-use table is empty"),
            std::string::npos);
  EXPECT_NE(
      m.console().find("no section [soil_table] in the control file, the soil table is empty"),
      std::string::npos);
}

TEST(ParameterTableReaders, ReportEveryFaultWithEntryAndCode) {
  struct Case {
    std::string text;
    int code;
    std::string message;
  };
  // The console shows an entry without its level and end marker.
  const std::string lu = "error in [landuse_table], entry ";
  const std::string so = "error in [soil_table], entry ";
  const std::string ml = "error in [multilayer_landuse], entry ";
  const std::vector<Case> cases = {
      {"[landuse_table]\n1\n5 crop FixDays = 1;\n", 51, lu + "1 (crop): missing brace \"{\""},
      {"[landuse_table]\n2\n5 crop { FixDays = 1;\n6 b { }\n", 51,
       lu + "1 (crop): missing brace \"}\""},
      {"[landuse_table]\n1\n5 crop { FixDays = 1;\n", 51, lu + "1 (crop): missing brace \"}\""},
      {"[landuse_table]\n2\n5 crop { FixDays = 1;\n[soil_table]\n", 51,
       lu + "1 (crop): missing brace \"}\""},
      {entryWith("") + "[next]\n", -1, ""},
      {"[landuse_table]\n2\n" + entryWith("").substr(18) + "\n[next]\n", 51,
       lu + "2 (): the table ends after 1 of 2 entries"},
      {"[landuse_table]\nx\n", 17,
       "model.ctl reads \"x\": not found!"},
      {"[landuse_table]\n-1\n", 51, "error in [landuse_table]: invalid number of entries -1"},
      {"[landuse_table]\n1\n5.5 crop { }\n", 51,
       lu + "1 (crop): the code 5.5 is not a whole number"},
      {"[landuse_table]\n1\ncrop { }\n", 51,
       lu + "1 (): an entry starts with its code and its name"},
      {"[landuse_table]\n1\n5 crop { LAI = 1; }\n", 51,
       lu + "1 (crop): missing required key \"FixDays\""},
      {entryWith("").replace(entryWith("").find("LAI"), 3, "MyLAI"), 51,
       lu + "1 (crop): missing required key \"LAI\""},
      {entryWith("lai = 3;"), 51, lu + "1 (crop): unknown key \"lai\""},
      {entryWith("LAI = 3 3;"), 51, lu + "1 (crop): repeated key \"LAI\""},
      {entryWith("NFactor = 1;"), 51,
       lu + "1 (crop): wrong number of values for \"NFactor\": 1 given, 2 expected"},
      {entryWith("SR_ResidCovrg = 0.5 1.5;"), 51,
       lu + "1 (crop): value out of range for \"SR_ResidCovrg\": 1.5 (allowed 0 .. 1)"},
      {entryWith("").replace(entryWith("").find("LAI = 1 2"), 9, "LAI = 1 21"), 51,
       lu + "1 (crop): value out of range for \"LAI\": 21 (allowed 0 .. 20)"},
      {entryWith("").replace(entryWith("").find("RootDepth = 0.1 0.2"), 19, "RootDepth = 0.1 200"),
       51, lu + "1 (crop): value out of range for \"RootDepth\": 200 (allowed 0 .. 100)"},
      {entryWith("").replace(entryWith("").find("RSC = 1 1"), 9, "RSC = 1 1e9"), 51,
       lu + "1 (crop): value out of range for \"RSC\": 1e+09 (allowed 0 .. 100000)"},
      {entryWith("IntercepCap = x;"), 51,
       lu + "1 (crop): value of \"IntercepCap\" is not a number: x"},
      {entryWith("VegStart = 200; VegStop = 100;"), 51,
       lu + "1 (crop): value out of range for \"VegStop\": 100 lies before \"VegStart\" 200"},
      {entryWith("VegStart = 367;"), 51,
       lu + "1 (crop): value out of range for \"VegStart\": 367 (allowed 1 .. 366)"},
      {entryWith("SoilTillage = 200 100;"), 51,
       lu + "1 (crop): value out of range for \"SoilTillage\": 100 does not follow 200 in "
            "ascending order"},
      {entryWith("SR_cultivation = 1; SR_rough_coeff1 = 1 2 3;"), 51,
       lu + "1 (crop): missing required key \"SR_rough_coeff2\""},
      {entryWith("SR_rough_coeff1 = 1 2;"), 51,
       lu + "1 (crop): wrong number of values for \"SR_rough_coeff1\": 2 given, 3 expected"},
      {entryWith("DynamicPhenology = 1;"), 51,
       lu + "1 (crop): missing required key \"PhenoStartSum\""},
      {entryWith("DynamicPhenology = 2;"), 51,
       lu + "1 (crop): value out of range for \"DynamicPhenology\": 2 (allowed 0 .. 1)"},
      {entryWith("SR_K_ST = 0;"), 51,
       lu + "1 (crop): value out of range for \"SR_K_ST\": 0 (must be above 0)"},
      {entryWith("noequals;"), 51, lu + "1 (crop): statement without \"=\": noequals"},
      {entryWith("} extra"), 51, lu + "1 (crop): text after the closing brace:  extra }"},
      {"[landuse_table]\n1\n5 crop { FixDays = 200 100; }\n", 51,
       lu + "1 (crop): value out of range for \"FixDays\": 100 does not follow 200 in ascending "
            "order"},
      {"[landuse_table]\n2\n" + entryWith("").substr(18) + entryWith("").substr(18), 51,
       lu + "2 (crop): duplicate code 5"},

      {"[soil_table]\n1\n4 clay 1 0.5 0.3\n", 52,
       so + "1 (clay): very-old-style soil table entries are not supported"},
      {soilWith("method = VanGenuchten;"), 52,
       so + "1 (clay): very-old-style soil table entries are not supported"},
      {soilWith("theta_res = 0.5;").replace(soilWith("").find("theta_res = 0.1;"), 16, ""), 52,
       so + "1 (clay): value out of range for \"theta_res\": 0.500000 is not below \"theta_sat\" "
            "0.500000 in layer 1"},
      {soilWith("").replace(soilWith("").find("Par_n = 1.2"), 11, "Par_n = 1"), 52,
       so + "1 (clay): value out of range for \"Par_n\": 1 (must be above 1)"},
      {soilWith("").replace(soilWith("").find("alpha = 1"), 9, "alpha = 0"), 52,
       so + "1 (clay): value out of range for \"alpha\": 0 (must be above 0)"},
      {soilWith("").replace(soilWith("").find("thickness = 0.5"), 15, "thickness = 0.5 1"), 52,
       so + "1 (clay): wrong number of values for \"thickness\": 2 given, 1 expected"},
      {soilWith("GrainSizeDist = 1 0 0 0 0 0;"), 52,
       so + "1 (clay): wrong number of values for \"GrainSizeDist\": 6 given, 7 expected"},
      {soilWith("SU_PAR11 = 1;"), 52, so + "1 (clay): unknown key \"SU_PAR11\""},
      {soilWith("").replace(soilWith("").find("layers = 1"), 10, "layers = 0"), 52,
       so + "1 (clay): value out of range for \"layers\": 0 (allowed 1 .. 1000)"},
      {"[soil_table]\n2\n" + soilWith("").substr(15) + soilWith("").substr(15), 52,
       so + "2 (clay): duplicate code 4"},

      {"[multilayer_landuse]\n2\n1 a { layers = 1 2; }\n2 b { layers = 1; }\n", 53,
       ml + "2 (b): wrong number of values for \"layers\": 1 given, 2 expected (as in entry 1)"},
      {"[multilayer_landuse]\n1\n1 a { k_extinct = 0.2; }\n", 53,
       ml + "1 (a): missing required key \"layers\""},
      {"[multilayer_landuse]\n1\n1 a layers = 1;\n", 53, ml + "1 (a): missing brace \"{\""},
      {"[multilayer_landuse]\n1\n1 a { layers = 1.5; }\n", 53,
       ml + "1 (a): value out of range for \"layers\": 1.5 is not a whole number"},

      // Bounds beyond every soil and canopy.
      {soilWith("").replace(soilWith("").find("alpha = 1"), 9, "alpha = 101"), 52,
       so + "1 (clay): value out of range for \"alpha\": 101 (allowed 0 .. 100)"},
      {soilWith("").replace(soilWith("").find("alpha = 1"), 9, "alpha = 100"), -1, ""},
      {soilWith("").replace(soilWith("").find("Par_n = 1.2"), 11, "Par_n = 10.5"), 52,
       so + "1 (clay): value out of range for \"Par_n\": 10.5 (allowed 1 .. 10)"},
      {soilWith("").replace(soilWith("").find("thickness = 0.5"), 15, "thickness = 101"), 52,
       so + "1 (clay): value out of range for \"thickness\": 101 (allowed 0 .. 100)"},
      {soilWith("ThicknessScaling = 200;"), 52,
       so + "1 (clay): value out of range for \"ThicknessScaling\": 200 (allowed 0 .. 100)"},
      {soilWith("").replace(soilWith("").find("ksat = 1e-6"), 11, "ksat = 2"), 52,
       so + "1 (clay): value out of range for \"ksat\": 2 (allowed 0 .. 1)"},
      {soilWith("GrainSizeDist = 0.6 0.25 0.1 0.05 0.5 0 0;"), 52,
       so + "1 (clay): value out of range for \"GrainSizeDist\": the values add up to 1.5 (at "
            "most 1)"},
      {soilWith("GrainSizeDist = 0.3 0.3 0.2 0.1 0.1 0 0;"), -1, ""},
      {entryWith("PhenoBaseTemp = 31;"), 51,
       lu + "1 (crop): value out of range for \"PhenoBaseTemp\": 31 (allowed -10 .. 30)"},
      {entryWith("DynamicPhenology = 1; PhenoStartSum = 20000;"), 51,
       lu + "1 (crop): value out of range for \"PhenoStartSum\": 20000 (allowed 0 .. 10000)"},
      {"[multilayer_landuse]\n1\n1 a { layers = 1; k_extinct = 0; }\n", 53,
       ml + "1 (a): value out of range for \"k_extinct\": 0 (must be above 0)"},
      {"[multilayer_landuse]\n1\n1 a { layers = 1; k_extinct = 6; }\n", 53,
       ml + "1 (a): value out of range for \"k_extinct\": 6 (allowed 0 .. 5)"},
      {"[multilayer_landuse]\n1\n1 a { layers = 1; LAI_scale = 1001; }\n", 53,
       ml + "1 (a): value out of range for \"LAI_scale\": 1001 (allowed 0 .. 1000)"},
  };
  int n = 0;
  for (const Case& c : cases) {
    ParameterTableModel m(makeTestDirectory("tables_fault_" + std::to_string(n++)), c.text);
    const int code = exitCodeOf([&] {
      m.readMultilayerLanduse();
      m.readLanduseTable();
      m.readSoilTable();
    });
    EXPECT_EQ(code, c.code) << c.text << m.console();
    if (!c.message.empty()) {
      EXPECT_NE(m.console().find(c.message + "\n"), std::string::npos) << c.text << "\n"
                                                                       << m.console();
    }
  }
}
