// The separation of one long soundtrack on 1, 2, 4 and 8 threads, in one invocation: time, speed
// against real time, speed-up over one thread, the peak resident memory and the CPU time of each
// run (each run is a child process of its own, so that one run's peak does not hide the next
// one's), and the time as a multiple of the ffmpeg program's decoding the same soundtrack and
// writing it as three FLAC files.
// Usage: bench_separation [fixture folder] [minutes] [thread counts...] [--layout stereo|quad|5.1|7.1]
// The soundtrack (48 kHz AAC, 96 kbit/s a channel: noise that swells and fades, a chord and a
// tune of short notes, made by the ffmpeg program) is kept in the fixture folder for later runs.
// The ffmpeg program's decoding and writing runs right before each of ours, with its CPU time.

#include "bench_measure.h"
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
    const auto info = hf::engine::separateStems(input, output, {}, {}, hf::engine::SeparationOptions{threads, 0});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %.3f\n", seconds, info.durationSeconds);
    return 0;
}

// The channels of the layouts the fixture may have, with the ffmpeg program's layout name.
struct Layout {
    const char* name;
    int channels;
};
constexpr Layout kLayouts[] = {{"stereo", 2}, {"quad", 4}, {"5.1", 6}, {"7.1", 8}};

bool makeSoundtrack(const fs::path& file, int minutes, const Layout& layout)
{
    const std::string seconds = std::to_string(minutes * 60);
    // Noise that swells and fades, a steady chord, and a tune of short notes, a little different
    // in each channel; in a surround layout the tune (the "dialogue") is loudest in the centre.
    const std::string noise = "0.05*(2*random(0)-1)*(0.6+0.4*sin(t/3))";
    const std::string chord = "0.08*sin(2*PI*220*t)+0.06*sin(2*PI*330*t)";
    const std::string tune = "0.15*sin(2*PI*(300+100*floor(mod(t\\,4)))*t)*lt(mod(t\\,0.5)\\,0.4)";
    std::string channels = noise + "+" + chord + "+" + tune;
    for (int c = 1; c < layout.channels; ++c) {
        const std::string gain = std::to_string(c == 2 ? 1.0 : 0.3 + 0.1 * c);
        channels += "|" + noise + "+" + std::to_string(0.9 - 0.05 * c) + "*(" + chord + ")+" + gain + "*" + tune;
    }
    const std::string command = "ffmpeg -v error -nostdin -y -f lavfi -i \"aevalsrc=" + channels +
                                ":s=48000:d=" + seconds + ":channel_layout=" + layout.name +
                                "\" -c:a aac -b:a " + std::to_string(96 * layout.channels) + "k \"" + file.string() + "\"";
    return std::system(command.c_str()) == 0 && fs::exists(file);
}

struct ChildRun {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
    double peakMB = 0;
    std::string output;
};

// Runs `argv` as a child process: its wall time, CPU time, peak memory and what it printed.
ChildRun runChild(std::vector<std::string> argv)
{
    int pipe[2];
    if (::pipe(pipe) != 0)
        return {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        ::dup2(pipe[1], STDOUT_FILENO);
        ::close(pipe[0]);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ::close(pipe[1]);
    ChildRun run;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        run.output.append(buffer, std::size_t(n));
    ::close(pipe[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = hf::bench::cpuSeconds(usage);
    run.peakMB = double(usage.ru_maxrss) / 1024.0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--run")
        return runOnce(argv[2], argv[3], std::atoi(argv[4]));

    // Positional: fixture folder, minutes, thread counts; "--layout stereo|quad|5.1|7.1" anywhere.
    std::vector<std::string> positional;
    Layout layout = kLayouts[0];
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--layout" && i + 1 < argc) {
            for (const Layout& l : kLayouts)
                if (l.name == std::string(argv[i + 1]))
                    layout = l;
            ++i;
        } else {
            positional.push_back(argv[i]);
        }
    }
    const fs::path folder = positional.size() > 0 ? fs::path(positional[0]) : fs::temp_directory_path() / "hf-bench-separation";
    const int minutes = positional.size() > 1 ? std::atoi(positional[1].c_str()) : 60;
    std::vector<int> threadCounts;
    for (std::size_t i = 2; i < positional.size(); ++i)
        threadCounts.push_back(std::atoi(positional[i].c_str()));
    if (threadCounts.empty())
        threadCounts = {1, 2, 4, 8};
    fs::create_directories(folder);
    const std::string layoutTag = layout.channels == 2 ? "" : std::string("-") + layout.name;
    const fs::path input = folder / ("soundtrack-" + std::to_string(minutes) + "min" + layoutTag + ".m4a");
    if (!fs::exists(input)) {
        std::printf("Making a %d-minute %s soundtrack in %s ...\n", minutes, layout.name, input.c_str());
        std::fflush(stdout);
        if (!makeSoundtrack(input, minutes, layout)) {
            std::fprintf(stderr, "could not make the soundtrack\n");
            return 1;
        }
    }

    // The same soundtrack decoded and written as three 24-bit FLAC files by the ffmpeg program,
    // run right before each of our runs: each run is also given as a multiple of that time, which
    // says more than seconds on a machine whose load varies.
    const fs::path reference = folder / "ffmpeg-reference";
    std::vector<std::string> ffmpeg{"ffmpeg", "-v", "error", "-nostdin", "-y", "-i", input.string()};
    for (const char* stem : {"dialogue", "music", "effects"}) {
        for (const char* a : {"-map", "0:a", "-c:a", "flac", "-sample_fmt", "s32", "-bits_per_raw_sample", "24"})
            ffmpeg.push_back(a);
        ffmpeg.push_back((reference / stem).string() + ".flac");
    }

    std::printf("%s, %d minutes\n", layout.name, minutes);
    std::printf("%-8s %9s %12s %9s %9s %12s %11s %11s %9s %6s\n", "threads", "time (s)", "x real time", "speed-up",
                "peak MB", "CPU time (s)", "ffmpeg (s)", "ffmpeg CPU", "x ffmpeg", "load");
    double oneThread = 0;
    for (int threads : threadCounts) {
        const double load = hf::bench::loadAverage();
        fs::create_directories(reference);
        const ChildRun theirs = runChild(ffmpeg);
        fs::remove_all(reference);
        if (!theirs.ok) {
            std::fprintf(stderr, "the ffmpeg program could not decode and encode the soundtrack\n");
            return 1;
        }
        const fs::path output = folder / ("stems-" + std::to_string(threads));
        const ChildRun ours = runChild({"/proc/self/exe", "--run", input.string(), output.string(), std::to_string(threads)});
        double seconds = 0, audio = 0;
        if (!ours.ok || std::sscanf(ours.output.c_str(), "%lf %lf", &seconds, &audio) != 2) {
            std::fprintf(stderr, "the run on %d threads failed\n", threads);
            return 1;
        }
        if (threads == threadCounts.front())
            oneThread = seconds;
        std::printf("%-8d %9.1f %12.1f %9.2f %9.0f %12.1f %11.1f %11.1f %9.2f %6.1f\n", threads, seconds, audio / seconds,
                    oneThread / seconds, ours.peakMB, ours.cpu, theirs.seconds, theirs.cpu, seconds / theirs.seconds, load);
        std::fflush(stdout);
        fs::remove_all(output);
    }
    return 0;
}
