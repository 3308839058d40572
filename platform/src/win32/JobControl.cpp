#include "JobControl.h"

// A Windows console has no job stops to hold.
CHeldJobStops::CHeldJobStops() = default;
CHeldJobStops::~CHeldJobStops() = default;
