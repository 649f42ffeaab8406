// The separation of one long soundtrack on 1, 2, 4 and 8 threads, in one invocation: time, speed
// against real time, speed-up over one thread, the peak resident memory and the CPU time of each
// run (each run is a child process of its own, so that one run's peak does not hide the next
// one's), and the time as a multiple of the ffmpeg program's decoding the same soundtrack and
// writing it as three FLAC files.
// Usage: bench_separation [fixture folder] [minutes] [thread counts...]
// HF_SEPARATION_NETWORK=band (or band-alone) runs the band network instead of the default.
// The soundtrack (48 kHz stereo AAC at 192 kbit/s: noise that swells and fades, a chord and a
// tune of short notes, made by the ffmpeg program) is kept in the fixture folder for later runs.

#include "engine/engine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// One run, in this process: prints "seconds audio-seconds" on stdout.
int runOnce(const fs::path& input, const fs::path& output, int threads)
{
    const auto start = std::chrono::steady_clock::now();
    hf::engine::SeparationOptions options{threads, 0};
    const char* network = std::getenv("HF_SEPARATION_NETWORK");
    if (network && std::string(network) == "band")
        options.network = hf::engine::SeparationNetwork::bandSplit;
    else if (network && std::string(network) == "band-alone")
        options.network = hf::engine::SeparationNetwork::bandSplitAlone;
    const auto info = hf::engine::separateStems(input, output, {}, {}, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %.3f\n", seconds, info.durationSeconds);
    return 0;
}

bool makeSoundtrack(const fs::path& file, int minutes)
{
    const std::string seconds = std::to_string(minutes * 60);
    // Noise that swells and fades, a steady chord, and a tune of short notes, a little different
    // in each channel.
    const std::string noise = "0.05*(2*random(0)-1)*(0.6+0.4*sin(t/3))";
    const std::string chord = "0.08*sin(2*PI*220*t)+0.06*sin(2*PI*330*t)";
    const std::string tune = "0.15*sin(2*PI*(300+100*floor(mod(t\\,4)))*t)*lt(mod(t\\,0.5)\\,0.4)";
    const std::string command = "ffmpeg -v error -nostdin -y -f lavfi -i \"aevalsrc=" + noise + "+" + chord + "+" + tune + "|" +
                                noise + "+0.7*(" + chord + ")+0.5*" + tune + ":s=48000:d=" + seconds +
                                "\" -c:a aac -b:a 192k \"" + file.string() + "\"";
    return std::system(command.c_str()) == 0 && fs::exists(file);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--run")
        return runOnce(argv[2], argv[3], std::atoi(argv[4]));

    const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "hf-bench-separation";
    const int minutes = argc > 2 ? std::atoi(argv[2]) : 60;
    std::vector<int> threadCounts;
    for (int i = 3; i < argc; ++i)
        threadCounts.push_back(std::atoi(argv[i]));
    if (threadCounts.empty())
        threadCounts = {1, 2, 4, 8};
    fs::create_directories(folder);
    const fs::path input = folder / ("soundtrack-" + std::to_string(minutes) + "min.m4a");
    if (!fs::exists(input)) {
        std::printf("Making a %d-minute soundtrack in %s ...\n", minutes, input.c_str());
        std::fflush(stdout);
        if (!makeSoundtrack(input, minutes)) {
            std::fprintf(stderr, "could not make the soundtrack\n");
            return 1;
        }
    }

    // The same soundtrack decoded and written as three 24-bit FLAC files by the ffmpeg program, in
    // this sitting: the runs below are also given as multiples of its time, which says more than
    // seconds on a machine whose speed varies from day to day.
    const fs::path reference = folder / "ffmpeg-reference";
    fs::create_directories(reference);
    std::string command = "ffmpeg -v error -nostdin -y -i \"" + input.string() + "\"";
    for (const char* stem : {"dialogue", "music", "effects"})
        command += " -map 0:a -c:a flac -sample_fmt s32 -bits_per_raw_sample 24 \"" + (reference / stem).string() + ".flac\"";
    const auto referenceStart = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "the ffmpeg program could not decode and encode the soundtrack\n");
        return 1;
    }
    const double ffmpegSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - referenceStart).count();
    fs::remove_all(reference);
    std::printf("ffmpeg, decoding and writing three FLAC files: %.1f s\n", ffmpegSeconds);

    std::printf("%-8s %10s %14s %9s %10s %12s %10s\n", "threads", "time (s)", "x real time", "speed-up", "peak MB", "CPU time (s)",
                "x ffmpeg");
    double oneThread = 0;
    for (int threads : threadCounts) {
        const fs::path output = folder / ("stems-" + std::to_string(threads));
        int pipe[2];
        if (::pipe(pipe) != 0)
            return 1;
        const pid_t child = fork();
        if (child == 0) {
            ::dup2(pipe[1], STDOUT_FILENO);
            ::close(pipe[0]);
            const std::string count = std::to_string(threads);
            execl("/proc/self/exe", "bench_separation", "--run", input.c_str(), output.c_str(), count.c_str(), nullptr);
            _exit(127);
        }
        ::close(pipe[1]);
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, std::size_t(n));
        ::close(pipe[0]);
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        double seconds = 0, audio = 0;
        const long peak = usage.ru_maxrss; // kilobytes
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::sscanf(text.c_str(), "%lf %lf", &seconds, &audio) != 2) {
            std::fprintf(stderr, "the run on %d threads failed\n", threads);
            return 1;
        }
        if (threads == threadCounts.front())
            oneThread = seconds;
        std::printf("%-8d %10.1f %14.1f %9.2f %10.0f %12.1f %10.2f\n", threads, seconds, audio / seconds, oneThread / seconds,
                    peak / 1024.0, cpu, seconds / ffmpegSeconds);
        std::fflush(stdout);
        fs::remove_all(output);
    }
    return 0;
}
