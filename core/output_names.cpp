#include "core/output_names.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

// The text of a printf format; the prefix is passed with "%s".
std::string formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(static_cast<size_t>(length > 0 ? length : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  return std::string(text.data());
}

} // namespace

OutputName splitOutputName(const std::string& fileName) {
  OutputName n;
  const size_t slash = fileName.rfind('/');
  if (slash != std::string::npos) {
    n.directory = fileName.substr(0, slash + 1);
    n.base = fileName.substr(slash + 1);
  } else {
    n.base = fileName;
  }
  if (n.base.find('.') == std::string::npos) n.base += '.';
  n.prefix = n.base.substr(0, n.base.find('.'));
  return n;
}

std::string outputFileName(const std::string& fileName, const std::string& suffix) {
  const OutputName n = splitOutputName(fileName);
  return n.directory + n.prefix + suffix;
}

std::string timeStampedGridName(const std::string& fileName, const ModelDate& d, long repeat) {
  const std::string stamp = repeat > 0 ? formatted("_%04ld%02ld%02ld.%02ld%02ld_%.03ld", d.year,
                                                   d.month, d.day, d.hour, d.minute, repeat)
                                       : formatted("_%04ld%02ld%02ld.%02ld%02ld", d.year, d.month,
                                                   d.day, d.hour, d.minute);
  return outputFileName(fileName, stamp);
}

std::string timeStampedStackName(const std::string& fileName, const ModelDate& d, long repeat) {
  const std::string stamp =
      repeat > 0
          ? formatted("_%04ld%02ld%02ld.%03ld_%.03ld", d.year, d.month, d.day, d.hour, repeat)
          : formatted("_%04ld%02ld%02ld.%03ld", d.year, d.month, d.day, d.hour);
  return outputFileName(fileName, stamp);
}

std::string periodStatisticsName(const std::string& fileName, int statMode, const ModelDate& d) {
  const bool mean = statMode >= 5;
  const char* kind = mean ? "mit" : "sum";
  std::string suffix;
  switch (mean ? statMode - 4 : statMode) {
  case 1:
    suffix = formatted(".%s", kind);
    break;
  case 2:
    suffix = formatted("_%02ld00.%s", d.year % 100, kind);
    break;
  case 3:
    suffix = formatted("_%04ld%02ld.%s", d.year, d.month, kind);
    break;
  default:
    suffix = formatted("_%02ld%02ld.%02ld%c", d.year % 100, d.month, d.day, mean ? 'm' : 's');
    break;
  }
  return outputFileName(fileName, suffix);
}

std::string vegetationPeriodName(const std::string& fileName, int mode, long year) {
  return outputFileName(fileName,
                        formatted("_%04ld_vegper.%s", year % 100, mode == 2 ? "mit" : "sum"));
}
