// The song check of many files against one catalogue, in one process: loads the catalogue, then
// identifies every file named on standard input (one path a line) and prints one JSON line per
// file with the songs found, their stretches and the CPU time the check took.
// Usage: bench_song_check <catalogue folder> < list
// The first line printed is {"catalogue": songs, "loadSeconds": CPU seconds}. Run it pinned to one
// core (taskset) to read the times as one core's. bench/song_check_measure.py drives it.
// A line "original<TAB>dialogue<TAB>effects" checks a cleaning as the server does: the songs found
// in the original, then what became of each in the clean stems ("verdicts": gone, ambienceZero,
// stillThere); bench/song_check_clean.py drives that.

#include "engine/engine.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

namespace {

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::string jsonText(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            continue;
        out += c;
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <catalogue folder> < list of files\n", argv[0]);
        return 2;
    }
    double started = cpuSeconds();
    const auto catalogue = hf::engine::Catalogue::load(argv[1]);
    std::printf("{\"catalogue\": %zu, \"loadSeconds\": %.3f}\n", catalogue->entries().size(), cpuSeconds() - started);
    std::fflush(stdout);
    std::string file;
    while (std::getline(std::cin, file)) {
        if (file.empty())
            continue;
        started = cpuSeconds();
        const auto tab = file.find('\t');
        const std::string original = file.substr(0, tab);
        std::string line = "{\"file\": " + jsonText(original);
        try {
            const auto found = catalogue->identify(original);
            line += ", \"segments\": " + std::to_string(found.checkedSegments) + ", \"songs\": [";
            for (std::size_t i = 0; i < found.songs.size(); ++i) {
                const auto& song = found.songs[i];
                line += (i ? ", " : "") + std::string("{\"artist\": ") + jsonText(song.artist) + ", \"title\": " + jsonText(song.title) +
                        ", \"score\": " + std::to_string(song.score) + ", \"stretches\": [";
                for (std::size_t j = 0; j < song.stretches.size(); ++j)
                    line += (j ? ", [" : "[") + std::to_string(song.stretches[j].start) + ", " + std::to_string(song.stretches[j].end) + "]";
                line += "]}";
            }
            line += "]";
            const auto second = tab == std::string::npos ? tab : file.find('\t', tab + 1);
            if (second != std::string::npos) {
                const auto report = catalogue->verdicts(found.songs, file.substr(tab + 1, second - tab - 1), file.substr(second + 1));
                line += ", \"verdicts\": [";
                for (std::size_t i = 0; i < report.songs.size(); ++i)
                    line += (i ? ", " : "") + std::string("{\"title\": ") + jsonText(report.songs[i].song.title) +
                            ", \"verdict\": " + jsonText(std::string(hf::engine::verdictName(report.songs[i].verdict))) + "}";
                line += "]";
            }
        } catch (const std::exception& error) {
            line += ", \"error\": " + jsonText(error.what());
        }
        char seconds[64];
        std::snprintf(seconds, sizeof seconds, ", \"seconds\": %.3f}", cpuSeconds() - started);
        std::printf("%s%s\n", line.c_str(), seconds);
        std::fflush(stdout);
    }
    return 0;
}
