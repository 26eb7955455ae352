// The calibration in the registry, under the program's key: read at each boot and time change
// with DriftCorrection, written by each time change and flushed, so that a power cut keeps it.
#pragma once

#include "drift.h"

// Nothing in the registry reads as nothing learned and a chip never set. A learned drift out of
// bounds (the registry edited by hand) is said in the debug log and read as none.
void ReadCalibration(Calibration* c);
int SaveCalibration(const Calibration* c);
