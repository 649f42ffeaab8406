#pragma once

// What the benchmarks put beside their times: the machine's load and the CPU time of a process.

#include <sys/resource.h>

#include <cstdio>

namespace hf::bench {

// The 1-minute load average as the kernel gives it; -1 when it cannot be read.
inline double loadAverage()
{
    double load = -1;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = -1;
        std::fclose(f);
    }
    return load;
}

// User and system time together, in seconds.
inline double cpuSeconds(const rusage& usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace hf::bench
