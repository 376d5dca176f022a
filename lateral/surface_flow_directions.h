#pragma once

// The eight neighbour directions of surface routing, coded 1 .. 8 clockwise
// from north (N, NE, E, SE, S, SW, W, NW); rows grow southwards.
namespace surface_flow {

constexpr long rowStep[9] = {0, -1, -1, 0, 1, 1, 1, 0, -1};
constexpr long columnStep[9] = {0, 0, 1, 1, 1, 0, -1, -1, -1};
constexpr double degreesPerRadian = 57.29577951307855;

constexpr bool isDiagonal(int k) { return k % 2 == 0; }
constexpr int opposite(int k) { return k <= 4 ? k + 4 : k - 4; }
constexpr int previousDirection(int k) { return k == 1 ? 8 : k - 1; }
constexpr int nextDirection(int k) { return k == 8 ? 1 : k + 1; }

} // namespace surface_flow
