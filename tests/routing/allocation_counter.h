#pragma once

// Allocations through operator new so far in this test program.
long allocationCount();
