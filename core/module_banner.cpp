#include "core/module_banner.h"

#include <mutex>
#include <set>
#include <string>

#include "core/diag_stream.h"

void announceModule(DiagStream& diag, const char* sourceFile, const char* date, const char* time) {
  static std::set<std::string> announced;
  static std::mutex guard;
  std::string name = sourceFile;
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  {
    std::lock_guard<std::mutex> lock(guard);
    if (!announced.insert(name).second) return;
  }
  diag << "INFO: file " << name << ", compiled at " << date << " " << time << "[end-entry]";
}
