#pragma once

#include <string>
#include <vector>

// The named variables of an expression parser. Names are compared without
// regard to case; a record keeps its name as it was last written. Records
// stay in insertion order until one is removed.
class VariableList {
public:
  // add and set are the same: overwrite the record of that name (name and
  // value) or append a new one. Both return 1.
  int add(const std::string& name, double value);
  int set(const std::string& name, double value);

  // 1 and the value when the record exists, else 0 and the value untouched.
  int get(const std::string& name, double& value) const;
  int getByIndex(int index, double& value) const;

  int getIndex(const std::string& name) const; // -1 when absent
  int exists(const std::string& name) const;

  // The last record takes the place of the removed one. 1 when removed.
  int remove(const std::string& name);
  void clear();

private:
  struct Record {
    std::string name;
    double value;
  };
  std::vector<Record> records;
};

// ASCII comparison without regard to case.
bool equalsIgnoringCase(const std::string& a, const std::string& b);
