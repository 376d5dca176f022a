#include <cstdio>
#include <filesystem>
#include <optional>

#include "config/control_file_session.h"
#include "config/defaultini.h"
#include "config/section_reader.h"
#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/string_helpers.h"

namespace {

// Keys of the block after the values of "[output_interval]"; the first one
// found in a line wins.
const char* const outputKeys[] = {"WriteAsciiGrids",        "WriteDoubleGrids",
                                  "WriteNetcdfGrids",       "InitialStateDirectory",
                                  "DefaultOutputDirectory", "timestep"};
constexpr std::size_t outputKeyCount = sizeof outputKeys / sizeof outputKeys[0];

struct OptionalOutputValues {
  int secondSwitch = 0;
  int thirdSwitch = 0;
  double minToIntEnd = 0.0;
};

// Values 2 to 4 of "[output_interval]" may be left out; a word that is no
// number keeps the default with a warning, one meant as a number must be
// wholly one (a whole one for the switches).
OptionalOutputValues readOptionalOutputValues(SectionReader& section) {
  OptionalOutputValues values;
  std::string word;
  auto unreadable = [&](const char* what) {
    if (looksLikeNumber(word)) section.fail(what, section.valueLine(), word);
    section.warn(section.valueLine(), word, std::string(what) + " cannot be read; it is 0");
  };
  if (!section.nextOptionalValue(outputKeys, outputKeyCount, word)) return values;
  if (!parseWholeInt(word, values.secondSwitch)) unreadable("the second switch");
  if (values.secondSwitch != 0) values.secondSwitch = 1;

  if (!section.nextOptionalValue(outputKeys, outputKeyCount, word)) return values;
  if (!parseWholeInt(word, values.thirdSwitch)) unreadable("the third switch");
  if (values.thirdSwitch != 1) values.thirdSwitch = 0;

  if (!section.nextOptionalValue(outputKeys, outputKeyCount, word)) return values;
  if (!parseNumber(word, values.minToIntEnd)) unreadable("min_to_int_end");
  if (values.minToIntEnd < 0) values.minToIntEnd = 0.0;
  return values;
}

struct OutputKeys {
  std::optional<bool> writeAscii;
  std::optional<bool> writeDouble;
  std::optional<bool> writeNetCDF;
  std::optional<std::string> initialStateDirectory;
  std::optional<std::string> defaultOutputDirectory;
  std::optional<int> timeStep;
};

// The first word of a key's value: a word meant as a number that is not
// wholly a whole number ends the run.
bool keyNumber(SectionReader& section, const std::string& line, const std::string& value,
               const char* key, int& number) {
  if (parseLeadingInt(value, number)) return true;
  const std::vector<std::string> words = splitWords(value);
  if (!words.empty() && looksLikeNumber(words[0]))
    section.refuseWord(section.valueLine(), line, key, words[0], "a whole number");
  return false;
}

// Another value than 0 or 1 leaves the switch as it is.
std::optional<bool> switchValue(SectionReader& section, const std::string& line,
                                const std::string& value, const char* key) {
  int number = 0;
  if (keyNumber(section, line, value, key, number) && (number == 0 || number == 1))
    return number == 1;
  section.warn(section.valueLine(), line, std::string(key) + " must be 0 or 1; it is not changed");
  return std::nullopt;
}

std::optional<std::string> directoryValue(SectionReader& section, const std::string& line,
                                          const std::string& value, const char* key) {
  const std::size_t begin = value.find_first_not_of(" \t\r");
  if (begin != std::string::npos) {
    const std::size_t end = value.find_first_of(" \t\r", begin);
    const std::string prefix =
        value.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    // The prefix stands in front of every file name as it is; one that names
    // a folder but lacks its "/" puts the files beside the folder instead.
    std::error_code error;
    if (prefix.back() != '/' && std::filesystem::is_directory(prefix, error))
      section.warn(section.valueLine(), line,
                   std::string(key) + " " + prefix +
                       " names a folder, but is put in front of file names as it stands (" +
                       prefix + "name); write " + prefix + "/ to use the folder");
    return prefix;
  }
  section.warn(section.valueLine(), line, std::string(key) + " names no directory; it is not set");
  return std::nullopt;
}

// The key lines up to the empty line that closes the block; a line with
// none of the keys is free text.
OutputKeys readOutputKeys(SectionReader& section) {
  OutputKeys keys;
  std::string line;
  while (section.nextKeyLine(line)) {
    std::size_t k = 0;
    while (k < outputKeyCount && line.find(outputKeys[k]) == std::string::npos) ++k;
    if (k == outputKeyCount) {
      section.warnUnknownKey(line, outputKeys, outputKeyCount);
      continue;
    }
    const std::size_t equals = line.find('=');
    const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
    switch (k) {
    case 0:
      keys.writeAscii = switchValue(section, line, value, outputKeys[k]);
      break;
    case 1:
      keys.writeDouble = switchValue(section, line, value, outputKeys[k]);
      break;
    case 2:
      keys.writeNetCDF = switchValue(section, line, value, outputKeys[k]);
      break;
    case 3:
      keys.initialStateDirectory = directoryValue(section, line, value, outputKeys[k]);
      break;
    case 4:
      keys.defaultOutputDirectory = directoryValue(section, line, value, outputKeys[k]);
      break;
    default: {
      int step = 0;
      if (keyNumber(section, line, value, outputKeys[k], step))
        keys.timeStep = step;
      else
        section.warn(section.valueLine(), line, "timestep cannot be read; it is 0");
    }
    }
  }
  return keys;
}

} // namespace

void defaultini::readOutputControl(const std::string& fileName) {
  ControlFileSession session(controlFile);
  session.openOrFail(fileName, *diag, "FATAL: Error opening ");

  seekSection("[output_interval]", true);
  SectionReader interval(*this, controlFile, fileName, "[output_interval]");
  outputControlInterval = interval.readInt("output control");
  // 0 writes no such line; a negative count of hours would wrap to one
  // beyond any run.
  if (outputControlInterval < 0 || outputControlInterval > 87600)
    interval.refuseValue("output control", outputControlInterval,
                         "must be 0 (no line) ... 87600 (hours, ten years)");
  const OptionalOutputValues values = readOptionalOutputValues(interval);
  secondOutputSwitch = values.secondSwitch;
  thirdOutputSwitch = values.thirdSwitch;
  minToIntEnd = values.minToIntEnd;
  minToIntEndHours = minToIntEnd / 60.0;

  const OutputKeys keys = readOutputKeys(interval);
  writeAsciiGrids = keys.writeAscii.value_or(false);
  writeDoubleGrids = keys.writeDouble.value_or(false);
  writeNetCDFGrids = keys.writeNetCDF.value_or(false);
  if (keys.initialStateDirectory) inputDirectory = *keys.initialStateDirectory;
  if (keys.defaultOutputDirectory) outputDirectory = *keys.defaultOutputDirectory;
  timeStep = keys.timeStep.value_or(0);

  seekSection("[output_list]", true);
  SectionReader list(*this, controlFile, fileName, "[output_list]");
  const int count = list.readInt("number of subbasins in output list");
  if (count < 0 || count > 100000)
    list.refuseValue("number of subbasins in output list", count, "must be 0 ... 100000");
  outputList.clear();
  for (int i = 0; i < count; ++i) {
    const int code = list.readInt("codes in output-list");
    if (!outputList.empty() && code <= outputList.back()) {
      *diag << "FATAL: \nError in control file: order of subbasin codes in output_list!\n"
               "if output should be written for a specified set of subbasins,\n"
               "(specified by a statcode of 5 for averaging in time or 6 for summing in time)\n"
               "than the codes has to be arranged in ascendend order\n"
               ".look in [output_list]\n"
            << "code " << code << " on " << controlFileLine(fileName, list.valueLine())
            << " follows code " << outputList.back() << "\n"
            << "[end-entry]";
      throw 97;
    }
    outputList.push_back(code);
  }

  seekSection("[coordinates]", true);
  SectionReader coordinates(*this, controlFile, fileName, "[coordinates]");
  latitude = coordinates.readDouble("geographic latitude");
  if (!(latitude >= -90.0 && latitude <= 90.0))
    refuseControlValue("[coordinates]", "geographic latitude", latitude,
                       "must lie within -90 ... 90 (degrees north)", 17);
  // Longitudes east of 180 are taken as 0 ... 360; the sun's hour angle
  // takes nothing beyond a turn.
  longitude = coordinates.readDouble("geographic longitude");
  if (!(longitude >= -180.0 && longitude <= 360.0))
    refuseControlValue("[coordinates]", "geographic longitude", longitude,
                       "must lie within -180 ... 360 (degrees east)", 17);
  referenceMeridian = coordinates.readDouble("reference meridian");
  if (!(referenceMeridian >= -180.0 && referenceMeridian <= 360.0))
    refuseControlValue("[coordinates]", "reference meridian", referenceMeridian,
                       "must lie within -180 ... 360 (degrees east)", 17);
  timeShift = coordinates.readDouble("time shift of data time to lokal time");
  if (!(timeShift >= -24.0 && timeShift <= 24.0))
    refuseControlValue("[coordinates]", "time shift of data time to lokal time", timeShift,
                       "must lie within -24 ... 24 (hours)", 17);

  seekSection("[meteo_data_count]", true);
  SectionReader meteoCount(*this, controlFile, fileName, "[meteo_data_count]");
  const int names = meteoCount.readInt("number of meteorological variables");

  seekSection("[meteo_names]", true);
  SectionReader meteoNameSection(*this, controlFile, fileName, "[meteo_names]");
  meteoNames.clear();
  for (int i = 1; i <= names; ++i)
    meteoNames.push_back(
        meteoNameSection.readWord("name of meteorological variable " + std::to_string(i)));

  session.closeOrFail(fileName, *diag);
}

int defaultini::readSubsteps() {
  ControlFileSession session(controlFile);
  session.openOrFail(controlFileName, *diag, "FATAL: Error opening ");
  subStepCount = 1;
  const std::string section = "[soil_surface_groundwater_substeps]";
  if (seekSection(section, false)) {
    SectionReader substeps(*this, controlFile, controlFileName, section);
    const std::string description = "sub step counter from " + section + " not found";
    subStepCount = substeps.readInt(description);
    // The sub-step length divides the time step.
    if (subStepCount < 1)
      substeps.fail(description, substeps.valueLine(), std::to_string(subStepCount));
  }
  session.closeOrFail(controlFileName, *diag);
  return subStepCount;
}
