#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/modell_application.h"
#include "submodel/teilmodellklasse.h"

// A sub-model for tests, section "[recorder]": writes every call the driver
// makes on it into a journal.
class RecordingModule : public teilmodellklasse {
public:
  RecordingModule(const ModelContext& context, int& errorCode, std::vector<std::string>& journal,
                  int failWith);
  void setOutputInterval(unsigned interval) override;
  void setEndDate(long year, long month, long day, long hour, long minute) override;
  void setSubsteps(unsigned count) override;
  void setWriteStorageFlag(unsigned flag) override;
  // 1 after a SIGFPE that the module has not reported yet.
  int floatingPointErrorState() const { return floatingPointError.get(); }

private:
  std::vector<std::string>& journal;
};

// The driver with the recorder as its last sub-model. The recorder keeps the
// sub-step count and is plugged into every place, where it notes the
// place's name and then calls atPlace.
class RecordingApplication : public ModellApplication {
public:
  using ModellApplication::ModellApplication;
  using ModellApplication::Place;
  using ModellApplication::setMenuInput;

  using ModellApplication::placeName;
  using ModellApplication::waterBalance;
  // The registered grid of that name on this process.
  Grid grid(const std::string& name) const;

  std::vector<std::string> journal;
  int interceptionFirst = -1;           // 0 or 1 overrides what the driver decided
  int failWith = 0;                     // an exit code the recorder's own construction throws
  std::function<void()> beforeRecorder; // called before the recorder is built
  std::function<void(Place, const ModelDate&)> atPlace;
  RecordingModule* recorder = nullptr;

protected:
  void buildSubmodels() override;
};

// "2020-01-01 05:00".
std::string dateText(const ModelDate& date);
