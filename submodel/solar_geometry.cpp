// The sun as the sub-models see it: declination and equation of time from
// the day of the year, positions in solar time.
#include <algorithm>
#include <cmath>

#include "submodel/teilmodellklasse.h"

namespace {

constexpr double pi = ModelContext::pi;
constexpr double radiansPerDegree = pi / 180.0;

double declination(long dayOfYear) {
  return 23.45 * radiansPerDegree * std::sin(2.0 * pi * (284.0 + dayOfYear) / 365.0);
}

// Minutes that solar time runs ahead of mean solar time.
double equationOfTime(long dayOfYear) {
  const double b = 2.0 * pi * (dayOfYear - 81.0) / 364.0;
  return 9.87 * std::sin(2.0 * b) - 7.53 * std::cos(b) - 1.5 * std::sin(b);
}

} // namespace

// The month table has February 28: the sun's year is not the calendar's.
long teilmodellklasse::dayOfYear(long day, long month) const {
  long days = day;
  for (long m = 1; m < std::min(month, 13L); ++m) days += monthDays[m - 1];
  return days;
}

void teilmodellklasse::sunPosition(long day, long month, double& azimuth, double& elevation,
                                   double latitude, double longitude, double hour) const {
  const long d = dayOfYear(day, month);
  const double delta = declination(d);
  const double phi = latitude * radiansPerDegree;
  const double solarTime = hour + context.hourShift +
                           (longitude - context.referenceMeridian) / 15.0 +
                           equationOfTime(d) / 60.0;
  const double omega = 15.0 * radiansPerDegree * (solarTime - 12.0);
  const double sinElevation =
      std::sin(phi) * std::sin(delta) + std::cos(phi) * std::cos(delta) * std::cos(omega);
  elevation = std::asin(std::clamp(sinElevation, -1.0, 1.0));
  azimuth = std::atan2(-std::cos(delta) * std::sin(omega),
                       std::sin(delta) * std::cos(phi) -
                           std::cos(delta) * std::sin(phi) * std::cos(omega));
  if (azimuth < 0.0) azimuth += 2.0 * pi;
  if (azimuth >= 2.0 * pi || azimuth == 0.0) azimuth = 0.0;
}

void teilmodellklasse::sunriseSunset(long day, long month, double& sunrise, double& sunset,
                                     double latitude, double longitude) const {
  const long d = dayOfYear(day, month);
  const double phi = latitude * radiansPerDegree;
  const double cosHalfDay = std::clamp(-std::tan(phi) * std::tan(declination(d)), -1.0, 1.0);
  const double halfDayHours = std::acos(cosHalfDay) / radiansPerDegree / 15.0;
  const double solarToClock =
      -(longitude - context.referenceMeridian) / 15.0 - equationOfTime(d) / 60.0;
  sunrise = 12.0 - halfDayHours + solarToClock;
  sunset = 12.0 + halfDayHours + solarToClock;
}

double teilmodellklasse::cosZenith(double aspect, double slope, double azimuth, double zenith) {
  return std::cos(slope) * std::cos(zenith) +
         std::sin(slope) * std::sin(zenith) * std::cos(azimuth - aspect);
}

void teilmodellklasse::daylightInStep() {
  const double end =
      currentDate.hour + currentDate.minute / 60.0 + context.minToIntEndHours() + context.hourShift;
  const double length = timeStepMinutes / 60.0;
  const double start = end - length;
  double sunrise = 0.0;
  double sunset = 0.0;
  sunriseSunset(currentDate.day, currentDate.month, sunrise, sunset, context.latitude,
                context.longitude);

  // Daylight is [sunrise, sunset] repeated every 24 hours; the window may
  // reach into the days before and after.
  double daylight = 0.0;
  daylightStart = length;
  const long first = static_cast<long>(std::floor((start - sunset) / 24.0));
  const long last = static_cast<long>(std::ceil((end - sunrise) / 24.0));
  for (long k = first; k <= last; ++k) {
    const double from = std::max(start, sunrise + 24.0 * k);
    const double to = std::min(end, sunset + 24.0 * k);
    if (to <= from) continue;
    daylight += to - from;
    daylightStart = std::min(daylightStart, from - start);
  }

  if (length > 0.0) {
    fday = std::min(1.0, daylight / length);
  } else {
    // A step of no length: day or night at its instant.
    fday = 0.0;
    for (long k = first; k <= last; ++k)
      if (end >= sunrise + 24.0 * k && end < sunset + 24.0 * k) fday = 1.0;
    daylightStart = 0.0;
  }
  fnight = 1.0 - fday;
  night = fnight > 0.95 ? 1 : 0;
  if (night) {
    fnight = 1.0;
    fday = 0.0;
    daylightStart = length;
  }
}
