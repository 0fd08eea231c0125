#pragma once
// The main of a benchmark program that needs a Qt application object (an
// event loop on this thread, or widgets).
#include <benchmark/benchmark.h>

template <class TApp>
int RunBenchmarksWith(int argc, char** argv)
{
    TApp app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
