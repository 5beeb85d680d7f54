// Halvex Capture image algorithms: every free function that works on image records.
#pragma once

#include "algorithms/demosaic.h"     // raw decoding, demosaic, colour correction
#include "algorithms/tone.h"         // tone and colour tables, white balance
#include "algorithms/geometry.h"     // region, flip, rotate, resize, binning, sample fix-up
#include "algorithms/calibration.h"  // flat field, defects, histogram, means, filters
