#pragma once

#include <cstdio>
#include <string>
#include <vector>

class DiagStream;

// A rule table of an abstraction or a reservoir: rows of an index value and
// one value per seasonal column, each column holding in full on its day of
// the year, with a cap and a weekly and daily window per column. Indexed by
// flow, the columns hold the index and the first column the result. Arrays
// count from 1.
struct RuleTable {
  int rows = 0;                            // N
  int columns = 0;                         // M
  std::vector<double> index;               // x[1..N]
  std::vector<std::vector<double>> values; // y[j][1..N], j = 1..M
  std::vector<std::vector<double>> slopes; // s[j][1..N]
  std::vector<int> days;                   // d[1..M]
  std::vector<double> targetCap;           // c[1..M], -1 none
  std::vector<long> weekDays;              // w[1..M], digits 1 Monday .. 7 Sunday, -1 every day
  std::vector<int> startHour;              // a[1..M], -1 none
  std::vector<int> stopHour;               // b[1..M], -1 none
  bool flowIndex = false;                  // "TableIndex = Flow"

  // The column k in force on a day and its weight against column k - 1.
  struct Season {
    int k = 1;
    double w = 1.0;
  };
  // Day of the year with February of 28 days, so that a fix day is one date
  // every year. Before the first fix day the first column holds, after the
  // last the last one.
  Season season(int month, int day) const;
  // Column j blended with column j - 1 by the season.
  double blend(const std::vector<std::vector<double>>& table, int row, const Season& s) const;
  // Volume-indexed interpolation: the value of the row below v plus its
  // slope, 0 at or below the first row; no bound at the top.
  double interpolate(double v, const Season& s) const;
  // The lookup of the rule: above the last row the last value of column k
  // alone; indexed by flow, the index at which the blended column reaches v.
  double lookup(double v, const Season& s) const;
  // Whether column k acts on that week day (1 Monday .. 7 Sunday) and hour.
  bool windowOpen(int k, int weekDay, int hour) const;
  void computeSlopes();
};

// The parameters of a reservoir's channel to another reservoir.
struct HydraulicConnectionBlock {
  int targetReservoir = 0;
  double channelWidth = 0.0;
  double channelBottom = 0.0;
  double channelLength = 0.0;
  double roughness = 0.0;
};

// Reads a rule block from the line after its section head: the header line
// (the row count and the fix days), the rows, the keyword lines up to a line
// holding "[", an empty line or the end of the file. `section` names the
// block in messages; a faulty table ends the run with code 34, for
// reservoirs and abstractions alike, after one FATAL entry. With a row count
// below 1 nothing more is read. A number of a row beyond 1e14, or (with
// volumesAndOutflows, a reservoir's table) below 0, ends the run with 17.
void readRuleTable(FILE* file, RuleTable& table, DiagStream& diag, const std::string& section,
                   const std::string& controlFileName, bool volumesAndOutflows);

// After a block whose row count is below 1: true and the connection when the
// next line holds "HydraulicConnection"; its keys are read up to "}". A
// missing key, or a block never closed, ends the run with 29.
bool readHydraulicConnection(FILE* file, HydraulicConnectionBlock& block, DiagStream& diag,
                             int reservoir);

// Rewinds the control file and moves behind the line whose first word is
// the section head; without one the run ends with 34.
void seekRuleSection(FILE* file, const std::string& section, DiagStream& diag);

// Day of the week (1 Monday .. 7 Sunday) at `hour` of the date; an hour
// outside 0 .. 23 moves the day, so that the hour less a shift may fall on
// the day before.
int weekDayAtHour(int year, int month, int day, long hour);
