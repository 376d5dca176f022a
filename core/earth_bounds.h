#pragma once

// The bounds of what Earth holds, for the values that describe a real
// catchment: a value beyond them is mistyped. Each lies a little beyond the
// largest of its kind, so that every real basin, lake and station fits.

// m a.s.l.: below the bed of Lake Baikal (-1187 m), the lowest ground of the
// continents, which a model of a lake's basin may carry in its elevation
// model; above the highest summit (8849 m).
constexpr double lowestElevation = -1500.0;
constexpr double highestElevation = 9000.0;

// m: longer than the longest river (the Nile, some 6650 km), so that one
// reach of a routing description may stand for any river.
constexpr double longestChannel = 1e7;

// km2: larger than the largest river basin (the Amazon's, some 7e6 km2).
constexpr double largestBasinArea = 1e7;

// m3: more than the largest lake holds (the Caspian Sea, some 7.8e13 m3),
// so that a natural lake may be routed as a reservoir.
constexpr double largestLakeVolume = 1e14;
