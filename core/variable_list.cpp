#include "core/variable_list.h"

#include <utility>

namespace {

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  return true;
}

int VariableList::add(const std::string& name, double value) {
  const int index = getIndex(name);
  if (index < 0) {
    records.push_back({name, value});
  } else {
    records[static_cast<std::size_t>(index)] = {name, value};
  }
  return 1;
}

int VariableList::set(const std::string& name, double value) { return add(name, value); }

int VariableList::get(const std::string& name, double& value) const {
  return getByIndex(getIndex(name), value);
}

int VariableList::getByIndex(int index, double& value) const {
  if (index < 0 || static_cast<std::size_t>(index) >= records.size()) return 0;
  value = records[static_cast<std::size_t>(index)].value;
  return 1;
}

int VariableList::getIndex(const std::string& name) const {
  for (std::size_t i = 0; i < records.size(); ++i)
    if (equalsIgnoringCase(records[i].name, name)) return static_cast<int>(i);
  return -1;
}

int VariableList::exists(const std::string& name) const { return getIndex(name) >= 0 ? 1 : 0; }

int VariableList::remove(const std::string& name) {
  const int index = getIndex(name);
  if (index < 0) return 0;
  const std::size_t i = static_cast<std::size_t>(index);
  if (i + 1 < records.size()) records[i] = std::move(records.back());
  records.pop_back();
  return 1;
}

void VariableList::clear() { records.clear(); }
