// The set-up of the layered snow model: its two control-file sections, the
// snow types and the snow stacks on top of every soil column.

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "config/control_file_session.h"
#include "core/control_file_lines.h"
#include "core/control_file_text.h"
#include "core/diag_stream.h"
#include "core/line_reader.h"
#include "core/string_helpers.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

constexpr int closeCode = 11;
constexpr int registryFullCode = 12;
constexpr int stackLevelsCode = 13;
constexpr int snowTypeCode = 30;
constexpr int heatRequiredCode = 1041;

struct SnowLineLabel {
  const char* name;
  const char* writeCode;
};
const SnowLineLabel snowLineLabels[snowLineCount] = {
    {"name of the SWES-stack in ", "Writecode swes-stack in "},
    {"name of the SWEL-stack in ", "Writecode swel-stack in "},
    {"name of the temperSnow-stack in ", "Writecode temperSnow-stack in "},
    {"name of the thetaSnow-stack in ", "Writecode thetaSnow-stack in "},
    {"name of the hhydSnow-stack in ", "Writecode hhydSnow-stack in "},
    {"name of the hgeoSnow-stack in ", "Writecode hgeoSnow-stack in "},
    {"name of the quSnow-stack in ", "Writecode quSnow-stack in "},
    {"name of the thickSnow-stack in ", "Writecode thickSnow-stack in "},
    {"name of the densSnow-stack in ", "Writecode densSnow-stack in "},
    {"name of the upperIndexSnow_grid in ", "Writecode upperIndexSnow_writegrid in "}};

const char* const snowStackNames[snowLineCount] = {"SnowWaterEquivalentSolid",
                                                   "SnowWaterEquivalentLiquid",
                                                   "Temperature_Stack_Snow",
                                                   "theta_Snow",
                                                   "hydraulic_heads_Snow",
                                                   "geodetic_height_Snow",
                                                   "q_down_Snow",
                                                   "SnowLayerThickness",
                                                   "SnowDensity",
                                                   "upperIndexSnow"};

// The grids of the snow model the column reads when they exist.
const char* const snowModelGrids[] = {
    "surftemp",           "surftemp_onGlacier", "EnergyBalance",      "EnergyBalance_onGlacier",
    "rain_fraction",      "snowstorage_solid",  "snowstorage_liquid", "snow_storage_total",
    "melt_from_snowcover"};

} // namespace

void unsatzonmodellklasse::closeSnowSection(ControlFileSession& session) {
  if (session.close()) return;
  *diag << "FATAL: control file \"" << controlFileName << "\" cannot be closed"
        << "[end-entry]";
  throw closeCode;
}

int unsatzonmodellklasse::readLayeredSnowModel() {
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  LayeredSnowSettings& s = snowSettings;
  s.active = 0;
  if (seekSection("[LayeredSnowModel]", false)) {
    readControlValue(controlFile, "%d", s.active, "");
    // A negative switch would pass for off here and for on elsewhere.
    if (s.active < 0)
      refuseControlValue("[LayeredSnowModel]", "switch", s.active,
                         "must be 0 (off) or 1 or more (on)", 17);
    if (s.active > 0) {
      if (!isHeatTransferActive()) {
        *diag << "FATAL: \n-----------------\n Error in model configuration: when using "
                 "[LayeredSnowModel], [heat_transfer] must be used as well.\n"
              << "It is currently not implemented to rout water through the snow without "
                 "accounting\n"
              << "for the temperature of the snow pack. So you need to either switch "
                 "heat_transfer on or LayeredSnowModel off\n-----------------\n"
              << "[end-entry]";
        throw heatRequiredCode;
      }
      readControlValue(controlFile, "%d", s.method, " method of layered snow model ");
      double* values[] = {&s.maxDensity[0],      &s.maxDensity[1],        &s.tOffsetFreshSnow,
                          &s.drainageDensity,    &s.waterHoldingCapacity, &s.seEffectiveness,
                          &s.seEffectivenessSoil};
      const char* labels[] = {" dLayeredSnowMaxDensity", " dLayeredSnowMaxDensity",
                              " dTOffsetFreshSnow",      " dDrainageDensitiySnow",
                              " dWaterHoldingCapacity",  " dSEeffectiveness",
                              " dSEeffectivenessSoil"};
      for (std::size_t k = 0; k < std::size(values); ++k)
        readControlValue(controlFile, "%lf", *values[k], labels[k]);
      // Liquid water per unit of ice: a negative capacity would drain ice
      // that is not there. The effectiveness c scales the liquid fraction
      // 1 - c (1 - u): outside 0 ... 1 it leaves 0 ... 1 and makes water.
      const struct {
        const char* label;
        double value, lowest, highest;
        const char* rule;
      } bounded[] = {
          {"dLayeredSnowMaxDensity", s.maxDensity[0], 1.0, 1000.0, "must be 1 ... 1000 (kg/m3)"},
          {"dLayeredSnowMaxDensity", s.maxDensity[1], 1.0, 1000.0, "must be 1 ... 1000 (kg/m3)"},
          {"dTOffsetFreshSnow", s.tOffsetFreshSnow, -20.0, 20.0, "must be -20 ... 20 (K)"},
          {"dDrainageDensitiySnow", s.drainageDensity, 0.0, 100.0, "must be 0 ... 100 (1/m)"},
          {"dWaterHoldingCapacity", s.waterHoldingCapacity, 0.0, 1.0, "must be 0 ... 1"},
          {"dSEeffectiveness", s.seEffectiveness, 0.0, 1.0, "must be 0 ... 1"},
          {"dSEeffectivenessSoil", s.seEffectivenessSoil, 0.0, 1.0, "must be 0 ... 1"}};
      for (const auto& b : bounded)
        if (!(b.value >= b.lowest && b.value <= b.highest))
          refuseControlValue("[LayeredSnowModel]", b.label, b.value, b.rule, 17);
      for (int k = 0; k < snowLineCount; ++k) {
        readControlValue(controlFile, "%s", s.outputs[k].name, snowLineLabels[k].name);
        readControlValue(controlFile, "%ld", s.outputs[k].writeCode, snowLineLabels[k].writeCode);
      }
    }
  }
  closeSnowSection(session);
  return s.active;
}

void unsatzonmodellklasse::readLayeredSnowProperties() {
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag);
  seekSection("[LayeredSnowProperties]", true);
  int count = 0;
  readControlValue(controlFile, "%d", count, "number of snow types in [LayeredSnowProperties] of ");
  // The snow stacks take their layers from the snow types.
  if (count < 1) {
    *diag << "FATAL: the number of snow types in [LayeredSnowProperties] of "
          << userControlFile(controlFileName) << " is " << count
          << "; give at least one snow type, or switch [LayeredSnowModel] off"
          << "[end-entry]";
    throw snowTypeCode;
  }
  // The types are stored as they are read: the count alone must not size
  // memory.
  snowTypes.assign(1, soil_class());
  snowTypes[0].setCode(count);
  for (int k = 1; k <= count; ++k) {
    std::string text;
    std::string line;
    const LineRead read = readLine(controlFile, line);
    if (read == LineRead::end || line.find_first_not_of(" \t\r") == std::string::npos ||
        line.find('[') == line.find_first_not_of(" \t")) {
      *diag << "FATAL: [LayeredSnowProperties] in " << userControlFile(controlFileName)
            << ": the number of snow types is " << count << ", but only " << k - 1
            << " snow type(s) follow; give the number of entries that follow"
            << "[end-entry]";
      throw 17;
    }
    soil_class& type = snowTypes.emplace_back();
    type.setCode(k);
    if (read != LineRead::line ||
        (line.find("MultipleHorizons") == std::string::npos &&
         line.find("method") == std::string::npos && line.find('{') == std::string::npos)) {
      *diag << "FATAL: entries in [LayeredSnowProperties] must use the MultipleHorizons syntax, "
               "i.e. no very-old-style soil table entries are allowed here\n\n"
            << "[end-entry]";
      throw snowTypeCode;
    }
    // The type takes its place as its code; a code written there must
    // still be a whole number.
    const std::vector<std::string> head = splitWords(line.substr(0, line.find('{')));
    long written = 0;
    if (!head.empty() && looksLikeNumber(head[0]) && !parseWholeNumber(head[0], written))
      refuseValueText("[LayeredSnowProperties], the code of snow type " + std::to_string(k),
                      head[0], "a whole number");
    text = line;
    while (text.find('}') == std::string::npos && readLine(controlFile, line) == LineRead::line)
      text += " " + line;
    const std::size_t brace = text.find('{');
    parseSoilEntry(type, diag, brace == std::string::npos ? text : text.substr(brace + 1),
                   "MultipleHorizons", "[LayeredSnowProperties]");
    if (k > 1) {
      const soil_class& before = snowTypes[static_cast<std::size_t>(k) - 1];
      if (type.getLayerCount() != before.getLayerCount()) {
        *diag << "FATAL: the numbers of snow layers has to be equal for all snow types\n(here: "
                 "snow type "
              << type.getCode() << ": " << type.getLayerCount() << " layers, but snow type "
              << before.getCode() << ": " << before.getLayerCount() << " layers)\n\n"
              << "[end-entry]";
        throw snowTypeCode;
      }
    }
  }
  closeSnowSection(session);
  setThermalDefaults(snowTypes);
}

Stack unsatzonmodellklasse::registerSnowStack(SnowStackLine line, Stack stack, double start) {
  const std::size_t levels = static_cast<std::size_t>(snowLayers) + 1;
  if (!stack) {
    stack = three_d_matrix(heldFirstRow, heldLastRow, 1, header.ncols, snowLayers, header.nrows);
#pragma omp parallel for schedule(runtime)
    for (long r = heldFirstRow; r <= heldLastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c) {
        const bool own = r >= header.firstRow && r <= header.lastRow && isOwnValidCell(r, c);
        std::fill_n(stack[r][c], levels, own ? start : header.nodata);
      }
  }
  // Output and other modules see level 0 of the stack as a grid.
  Grid view = matrix(heldFirstRow, heldLastRow, 1, header.ncols, header.nrows);
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirstRow; r <= heldLastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) view[r][c] = stack[r][c][0];
  ownGrids.push_back(OwnGrid{0, view, nullptr, heldFirstRow, heldLastRow});
  ownGrids.push_back(OwnGrid{0, nullptr, stack, heldFirstRow, heldLastRow});
  checkRegistrySpace();
  const int index = firstFreeRegistryIndex();
  const NamedOutput& out = snowSettings.outputs[line];
  registerGrid(index, out.name, view, stack, static_cast<unsigned>(snowLayers),
               snowStackNames[line], out.writeCode, heldFirstRow, heldLastRow);
  ownGrids.back().index = index;
  snowStacks[line] = stack;
  return stack;
}

Stack unsatzonmodellklasse::readSnowStack(SnowStackLine line) {
  const std::string& name = snowSettings.outputs[line].name;
  Stack read = nullptr;
  const int lastLevel = readStack(name, read, false);
  if (lastLevel != snowLayers) {
    free_three_d_matrix(read, header.firstRow, header.lastRow);
    *diag << "FATAL: wrong number of levels in stack " << name << " (there are " << lastLevel
          << " level, it must be " << snowLayers << "[end-entry]";
    throw stackLevelsCode;
  }
  Stack stack =
      three_d_matrix(heldFirstRow, heldLastRow, 1, header.ncols, snowLayers, header.nrows);
  const std::size_t levels = static_cast<std::size_t>(snowLayers) + 1;
#pragma omp parallel for schedule(runtime)
  for (long r = heldFirstRow; r <= heldLastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      const bool own = r >= header.firstRow && r <= header.lastRow && isOwnValidCell(r, c);
      if (own)
        std::copy_n(read[r][c], levels, stack[r][c]);
      else
        std::fill_n(stack[r][c], levels, header.nodata);
    }
  free_three_d_matrix(read, header.firstRow, header.lastRow);
  return stack;
}

void unsatzonmodellklasse::registerUpperIndexSnow(bool read) {
  checkRegistrySpace();
  const NamedOutput& out = snowSettings.outputs[snowLineUpperIndex];
  upperIndexSnow = matrix(heldFirstRow, heldLastRow, 1, header.ncols, header.nrows);
  ownGrids.push_back(OwnGrid{0, upperIndexSnow, nullptr, heldFirstRow, heldLastRow});
  if (read) {
    readStateGrid(upperIndexSnow, out);
  } else {
#pragma omp parallel for schedule(runtime)
    for (long r = heldFirstRow; r <= heldLastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c)
        upperIndexSnow[r][c] = r >= header.firstRow && r <= header.lastRow && isOwnValidCell(r, c)
                                   ? snowLayers
                                   : header.nodata;
  }
  const int index = firstFreeRegistryIndex();
  registerGrid(index, out.name, upperIndexSnow, nullptr, 0, snowStackNames[snowLineUpperIndex],
               out.writeCode, heldFirstRow, heldLastRow);
  ownGrids.back().index = index;
}

void unsatzonmodellklasse::registerSnowGrids() {
  for (std::size_t k = 0; k < std::size(snowModelGrids); ++k) {
    const int index = findGrid(snowModelGrids[k], 1);
    snowModelGridsTaken[k] = index > 0 ? registry[index].grid : nullptr;
  }
  snowLayers = 0;
  for (std::size_t t = 1; t < snowTypes.size(); ++t)
    snowLayers = std::max(snowLayers, snowTypes[t].getLayerCount());
  const bool read = settings.readGrid == 1 || settings.readGrid == 3;
  const bool heat = isHeatTransferActive();
  if (read) {
    for (SnowStackLine line : {snowLineTheta, snowLineHgeo, snowLineHhyd, snowLineSWES,
                               snowLineSWEL, snowLineThick, snowLineDens})
      registerSnowStack(line, readSnowStack(line));
    registerUpperIndexSnow(true);
    if (heat) registerSnowStack(snowLineTemper, readSnowStack(snowLineTemper));
  } else {
    registerSnowStack(snowLineHgeo, nullptr, 0.0);
    registerSnowStack(snowLineTheta, nullptr, 0.0);
    registerSnowStack(snowLineHhyd, nullptr, 0.0);
    setColdSnowColumns();
    registerSnowStack(snowLineSWES, nullptr, 0.0);
    registerSnowStack(snowLineSWEL, nullptr, 0.0);
    registerSnowStack(snowLineThick, nullptr, header.nodata);
    registerSnowStack(snowLineDens, nullptr, header.nodata);
    registerUpperIndexSnow(false);
    if (heat) registerSnowStack(snowLineTemper, nullptr, header.nodata);
  }
  // The pack's water moves its heat in the first heat steps as it moved at
  // the end of the run before: a warm start takes the fluxes where that run
  // wrote them, else the pack starts still.
  std::string fluxes = snowSettings.outputs[snowLineQu].name;
  prependDirectory(inputDirectory, fluxes);
  if (read && std::filesystem::exists(fluxes))
    registerSnowStack(snowLineQu, readSnowStack(snowLineQu));
  else
    registerSnowStack(snowLineQu, nullptr, 0.0);
  initialiseSnowTemperatures = heat && !read;
  refreshSnowViews();
  prepareSnowColumn();
}

// Heights from the soil surface up by the nominal thicknesses of snow
// type 1; water contents at its residual value.
void unsatzonmodellklasse::setColdSnowColumns() {
  const soil_class& type = snowTypes[1];
  const int L = snowLayers;
  Stack hgeo = snowStacks[snowLineHgeo];
  Stack thetaSnow = snowStacks[snowLineTheta];
  Stack hhyd = snowStacks[snowLineHhyd];
  forEachOwnColumn([&](long r, long c, const soil_class&) {
    double* z = hgeo[r][c];
    double* w = thetaSnow[r][c];
    double* h = hhyd[r][c];
    z[L] = geodeticHeads[r][c][0];
    for (int i = L - 1; i >= 0; --i) z[i] = z[i + 1] + type.getThickness(i + 1);
    for (int i = 1; i <= L; ++i) w[i] = type.getThetaRes(i);
    for (int i = L; i >= 1; --i) h[i] = 0.5 * (z[i - 1] + z[i]) - type.suctionFromTheta(i, w[i]);
    h[0] = 0.5 * type.getThickness(1) + h[1];
  });
}

void unsatzonmodellklasse::refreshSnowViews() {
  for (const OwnGrid& g : ownGrids) {
    if (!g.stack || g.index <= 0) continue;
    Grid view = registry[g.index].grid;
    if (!view) continue;
    for (long r = g.firstRow; r <= g.lastRow; ++r)
      for (long c = 1; c <= header.ncols; ++c) view[r][c] = g.stack[r][c][0];
  }
}
