// The outflow of a reservoir over one step: by its rule table, or through
// its channel to another reservoir, in sub-steps of dTmin seconds.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "routing/sp_class.h"

namespace {

bool drawsFromReservoir(const std::unique_ptr<AL_class>& al) {
  return al && al->getMode() == AL_class::internFromReservoir;
}

} // namespace

double SP_class::ComputeOutflow(double inflow, double stepMinutes, int year, int month, int day,
                                int hour, int minute, AbstractionList* withdrawals,
                                const double* targetValues) {
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  date[4] = minute;
  if (withdrawals)
    for (const std::unique_ptr<AL_class>& al : *withdrawals)
      if (drawsFromReservoir(al)) al->reservoirDraw() = 0.0;
  const double q = connection ? connectionOutflow(inflow, stepMinutes, withdrawals, targetValues)
                              : ruleOutflow(inflow, stepMinutes, month, withdrawals, targetValues);
  if (withdrawals)
    for (const std::unique_ptr<AL_class>& al : *withdrawals)
      if (drawsFromReservoir(al)) al->valueRow()[0] = al->reservoirDraw() / (60.0 * stepMinutes);
  return q;
}

// A withdrawal never takes the reservoir below its reserve, nor turns
// negative.
void SP_class::drawSubStep(AbstractionList* withdrawals, const double* targetValues, double& V,
                           const double* mean, double reserve) const {
  for (const std::unique_ptr<AL_class>& al : *withdrawals) {
    if (!drawsFromReservoir(al)) continue;
    const double y = mean ? *mean : V;
    const double rate =
        al->EvaluateTimedRule(targetValues, date[0], date[1], date[2], date[3], date[4], y);
    const double w = std::clamp(rate * dTmin, 0.0, std::max(0.0, V - reserve * y));
    V -= w;
    al->reservoirDraw() += w;
  }
}

// The week day at the start of the step: the hour less the step, whole
// hours, so that the step ending at midnight still counts to its day.
int SP_class::weekDay() const {
  return weekDayAtHour(date[0], date[1], date[2], date[3] - static_cast<long>(hourShift));
}

double SP_class::ruleOutflow(double inflow, double stepMinutes, int month,
                             AbstractionList* withdrawals, const double* targetValues) {
  const long substeps = static_cast<long>(60.0 * stepMinutes / dTmin);
  if (substeps < 1 || rules.rows < 1) return 0.0;
  const RuleTable::Season season = rules.season(date[1], date[2]);
  const std::size_t k = static_cast<std::size_t>(season.k);
  const std::size_t m = static_cast<std::size_t>(rules.rows);

  volumeHistory.push_back(state[0]);
  const std::size_t steps = runningSteps(stepMinutes);
  while (volumeHistory.size() > steps) volumeHistory.pop_front();
  const double meanVolume = std::accumulate(volumeHistory.begin(), volumeHistory.end(), 0.0) /
                            static_cast<double>(volumeHistory.size());

  const bool active = month >= 1 && rules.windowOpen(season.k, weekDay(), date[3]);
  const double cap = rules.targetCap[k];
  // The level above which a lake overflows: half a metre over the level of
  // the largest table volume.
  const double overflowLevel = lake != 0 ? LevelFromVolume(largestIndex) + 0.5 : 0.0;
  double V = state[0];
  double result = 0.0;
  for (long i = 1; i <= substeps; ++i) {
    V += inflow * dTmin;
    const double x = useRunningAvg > 1 ? meanVolume : V;
    double Q = 0.0;
    const bool aboveTable = !rules.flowIndex && V > largestIndex;
    if (rules.flowIndex) {
      Q = rules.lookup(x, season);
    } else if (!aboveTable) {
      Q = rules.interpolate(x, season);
    } else if (lake == 0) {
      Q = inflow;
    } else {
      const double slopeBelow =
          m >= 2 ? rules.blend(rules.slopes, static_cast<int>(m) - 1, season) : 0.0;
      Q = rules.blend(rules.values, static_cast<int>(m), season) + slopeBelow * (V - largestIndex);
      if (Q < inflow && LevelFromVolume(V) > overflowLevel) Q = inflow;
    }
    if (!active && !aboveTable) Q = 0.0;
    if (cap > 0.0) Q = std::min(Q, cap);
    V -= Q * dTmin;
    if (V < 0.0) {
      Q += V / dTmin;
      V = 0.0;
    }
    result += std::max(Q, 0.0) / static_cast<double>(substeps);
    if (withdrawals)
      drawSubStep(withdrawals, targetValues, V, useRunningAvg > 1 ? &meanVolume : nullptr, 0.9);
  }
  return result;
}

double SP_class::connectionOutflow(double inflow, double stepMinutes, AbstractionList* withdrawals,
                                   const double* targetValues) {
  const long substeps = static_cast<long>(60.0 * stepMinutes / dTmin);
  if (substeps < 1) return 0.0;
  const auto target =
      levelRegistry ? levelRegistry->find(channel.targetReservoir) : LevelRegistry::iterator{};
  if (levelRegistry && target != levelRegistry->end()) targetLevel = *target->second.level;
  const double Wt = targetLevel;
  const double B = channel.channelBottom;
  const double L = channel.channelLength;
  const double b = channel.channelWidth;
  const double A = area;
  const double W0 = level;
  double W = level;
  double V = state[0];
  double result = 0.0;
  for (long i = 1; i <= substeps; ++i) {
    const double vin = inflow * dTmin;
    if (A > 0.0) W += vin / A;
    double S = 0.0;
    double h = 0.0;
    if (W > B && Wt <= B) {
      h = W - B;
      S = h / L;
    } else if (W <= B && Wt > B) {
      h = Wt - B;
      S = (B - Wt) / L;
    } else if (W > B && Wt > B) {
      S = (W - Wt) / L;
      h = S > 0.0 ? W - B : Wt - B;
    }
    double Q = 0.0;
    if (h > 0.0 && S != 0.0) {
      const double wetted = b * h;
      const double radius = wetted / (b + 2.0 * h);
      Q = channel.roughness * wetted * std::pow(radius, 2.0 / 3.0) * std::sqrt(std::fabs(S));
      if (S < 0.0) Q = -Q;
    }
    if (A > 0.0) {
      W -= Q * dTmin / A;
      if (W < B && B < W0) {
        Q -= (B - W) * A / dTmin;
        W = B;
      }
    }
    V += vin - Q * dTmin;
    if (V < 0.0) {
      Q += V / dTmin;
      V = 0.0;
    }
    result += Q / static_cast<double>(substeps);
    if (withdrawals) drawSubStep(withdrawals, targetValues, V, nullptr, 0.0);
  }
  return result;
}
