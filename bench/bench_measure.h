#pragma once

// What the benchmarks put beside their times: the machine's load and the CPU time of a process.

#include <sys/resource.h>

#include <cstdio>
#include <ctime>

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

// This process's user and system time so far, in seconds.
inline double selfCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

// The CPU time a running process has had so far, all its threads, in seconds; -1 when it cannot
// be read (it has ended, or belongs to someone else).
inline double runningCpuSeconds(pid_t pid)
{
    clockid_t clock;
    timespec time{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &time) != 0)
        return -1;
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

} // namespace hf::bench
