#include "tests/driver/recording_application.h"

#include <cstdio>

RecordingModule::RecordingModule(const ModelContext& context, int& errorCode,
                                 std::vector<std::string>& journalArg, int failWith)
    : teilmodellklasse(context, "recorder"), journal(journalArg) {
  errorCode = catchModuleFailure([&] {
    if (getFlowControl() != 0) closeControlFile();
    // The interpolators and the tracer set-up come before the sub-models.
    const bool late = findGrid("temperature", 1) > 0 && context.tracerTable;
    journal.push_back(late ? "construct after the interpolators and the tracer set-up"
                           : "construct");
    if (failWith != 0) throw failWith;
  });
}

void RecordingModule::setOutputInterval(unsigned interval) {
  journal.push_back("setOutputInterval " + std::to_string(interval));
  teilmodellklasse::setOutputInterval(interval);
}

void RecordingModule::setEndDate(long year, long month, long day, long hour, long minute) {
  journal.push_back("setEndDate " + dateText(ModelDate{minute, hour, day, month, year}));
  teilmodellklasse::setEndDate(year, month, day, hour, minute);
}

void RecordingModule::setSubsteps(unsigned count) {
  journal.push_back("setSubsteps " + std::to_string(count));
  teilmodellklasse::setSubsteps(count);
}

void RecordingModule::setWriteStorageFlag(unsigned flag) {
  journal.push_back("setWriteStorageFlag " + std::to_string(flag));
  teilmodellklasse::setWriteStorageFlag(flag);
}

Grid RecordingApplication::grid(const std::string& name) const {
  for (int k = 1; k < gridRegistrySize; ++k)
    if (context.registry[k].hasName && context.registry[k].name == name)
      return context.registry[k].grid;
  return nullptr;
}

void RecordingApplication::buildSubmodels() {
  ModellApplication::buildSubmodels();
  if (beforeRecorder) beforeRecorder();
  recorder = adopt<RecordingModule>("recorder", journal, failWith);
  substepModule = recorder;
  if (interceptionFirst >= 0) context.interceptionFirst = interceptionFirst;
  for (int p = 0; p < static_cast<int>(Place::count); ++p) {
    const auto place = static_cast<Place>(p);
    plug(place, [this, place](const ModelDate& date) {
      journal.push_back(placeName(place));
      if (atPlace) atPlace(place, date);
    });
  }
}

std::string dateText(const ModelDate& d) {
  char text[40];
  std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld %02ld:%02ld", d.year, d.month, d.day, d.hour,
                d.minute);
  return text;
}
