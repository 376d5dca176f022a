#include "meteo/netcdf_step_records.h"

#include <mpi.h>

#include <algorithm>

#include "core/civil_calendar.h"
#include "core/collective_status.h"
#include "core/netcdf_time_units.h"
#include "meteo/meteo_dates.h"

std::string NetCDFStepRecords::take(const NetCDFRecordAxis& axis) {
  records = static_cast<long>(axis.records);
  isDated = axis.dated;
  byMinute.clear();
  if (!isDated) return "";
  if (!isGregorianCalendar(axis.calendar))
    return "its calendar \"" + axis.calendar +
           "\" is not the model's (the Gregorian: \"standard\", \"gregorian\" or "
           "\"proleptic_gregorian\")";
  CFTimeUnits units;
  const std::string problem = parseCFTimeUnits(axis.units, units);
  if (!problem.empty()) return "its units \"" + axis.units + "\" cannot be read: " + problem;
  const std::vector<long> minutes = recordMinutes(axis.times, units);
  for (size_t k = 0; k < minutes.size(); ++k)
    if (minutes[k] != noWholeMinute) byMinute.emplace_back(minutes[k], static_cast<long>(k));
  std::sort(byMinute.begin(), byMinute.end());
  for (size_t i = 1; i < byMinute.size(); ++i)
    if (byMinute[i].first == byMinute[i - 1].first)
      return "records " + std::to_string(byMinute[i - 1].second) + " and " +
             std::to_string(byMinute[i].second) + " both hold " +
             formatDate(dateFromAbsoluteMinutes(byMinute[i].first));
  return "";
}

void NetCDFStepRecords::broadcast(DiagStream& diag) {
  long head[3] = {isDated ? 1L : 0L, records, static_cast<long>(byMinute.size())};
  checkMPI(diag, MPI_Bcast(head, 3, MPI_LONG, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the records of a netCDF file");
  isDated = head[0] != 0;
  records = head[1];
  std::vector<long> flat(2 * static_cast<size_t>(head[2]));
  for (size_t i = 0; i < byMinute.size(); ++i) {
    flat[2 * i] = byMinute[i].first;
    flat[2 * i + 1] = byMinute[i].second;
  }
  checkMPI(diag, MPI_Bcast(flat.data(), static_cast<int>(flat.size()), MPI_LONG, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the records of a netCDF file");
  byMinute.resize(static_cast<size_t>(head[2]));
  for (size_t i = 0; i < byMinute.size(); ++i) byMinute[i] = {flat[2 * i], flat[2 * i + 1]};
}

long NetCDFStepRecords::recordOf(const ModelDate& date, long step) const {
  if (!isDated) return step >= 0 && step < records ? step : -1;
  const long minute = absoluteMinutes(date);
  const auto found =
      std::lower_bound(byMinute.begin(), byMinute.end(), std::make_pair(minute, -1L));
  return found != byMinute.end() && found->first == minute ? found->second : -1;
}

std::string NetCDFStepRecords::holdings() const {
  std::string text = std::to_string(records) + (records == 1 ? " record" : " records");
  if (!isDated) return text;
  if (byMinute.empty()) return text + ", none of them at a whole minute";
  return text + " from " + formatDate(dateFromAbsoluteMinutes(byMinute.front().first)) + " to " +
         formatDate(dateFromAbsoluteMinutes(byMinute.back().first));
}
