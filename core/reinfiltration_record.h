#pragma once

// One record per subbasin column of the table that the unsaturated zone owns
// and shares: channel routing fills the records of its channels every step,
// irrigation and re-infiltration take water from them. The layout is fixed:
// fifteen doubles, two 32-bit ints, then one double.
struct ReinfiltrationRecord {
  double flow_mm[10] = {};    // runoff per tracer/flow index (index 0 water, mm)
  double flowm3s = 0.0;       // discharge, m^3/s
  double speed = 0.0;         // flow velocity of the channel, m/s
  double catchmentArea = 0.0; // catchment area of the channel, km^2
  // Reset whenever channel routing fills the record: the withdrawal that
  // routing subtracts from the channel (given in m^3/s, stored back in mm),
  // and an accumulator of the withdrawing module.
  double withdrawal = 0.0;
  double accumulator = 0.0;
  int attachment = 0; // the value routing was attached with
  int channel = 0;    // local channel number within its routing element
  // The water the channel fed by the record's column holds at the end of
  // the step (m^3), of which the column's share: what the soil of its river
  // cells may take in the next step at most.
  double held = 0.0;
};

static_assert(sizeof(ReinfiltrationRecord) == 136, "the riverflow record is 136 bytes");
