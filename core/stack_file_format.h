#pragma once

// Binary grid and stack files begin with twelve values of the file's own
// type: ncols, nrows, xllcorner, yllcorner, cellsize, nodata, count, min,
// max, sum, mean, stddev. A stack keeps its last level index in the last
// field, and its cells follow row by row, each with its levels together.
constexpr long binaryHeaderValues = 12;
constexpr int stackLevelField = 11;
// The no-data field of a binary file holds this for the file to be recognised.
constexpr double binaryNodataMarker = -9999.0;

// Written, then renamed to the real name once complete, so that a failed or
// interrupted write never leaves a file that looks valid.
inline const char* partialFileSuffix() { return ".partial"; }
