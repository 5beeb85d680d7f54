// The end of every ratio benchmark's main(): OpenCV held to one thread like our converting
// thread, the benchmarks named on the command line run through a reporter that prints its
// ratio table afterwards, and the library's tables released.
#pragma once

#include <benchmark/benchmark.h>

#ifdef HALVEX_HAVE_OPENCV
#include <opencv2/core/utility.hpp>
#endif

#include "algorithms/demosaic.h"

namespace hxbench {

/// Runs the benchmarks with a Reporter (a console reporter with printRatios()); returns 0.
template <class Reporter> int runWithRatios(int argc, char** argv) {
#ifdef HALVEX_HAVE_OPENCV
    cv::setNumThreads(1);
#endif
    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    __exit_algorithms();
    return 0;
}

} // namespace hxbench
