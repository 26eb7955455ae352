// The drift's lines in the debug log: what a time change taught the learner, what a restore took
// off the chip's time, and a learned drift in the registry that no crystal has.
#pragma once

#include "drift.h"

void ReportDriftOutcome(const DriftOutcome* o);
// `by`: the correction made to the chip's time; said when it comes to a millisecond or more.
void ReportCorrection(LONGLONG by, LONG driftPpb);
void ReportDriftInRegistryRefused(LONG ppb);
