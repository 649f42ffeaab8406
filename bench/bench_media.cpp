// Times the pipeline's media operations side by side with the ffmpeg program on the same input,
// in one run, and prints the ratio and both peak memories.
//
//   bench_media <remux|extract|envelope|mix|prepare|all> [--scale S] [--work DIR]
//
// Inputs are generated once into DIR (default /tmp/hf-bench) with ffmpeg and kept for later
// runs. --scale shrinks (or grows) every input: 1 gives the full sizes (a 1 GB movie, a 2-hour
// movie, 3-hour soundtracks and stems; "prepare" a 2-hour movie with a small picture and its two
// stems). Each operation runs in a child process of its own, so
// its peak memory is its own; the two sides run in turns (ffmpeg, ours, ours, ffmpeg) and the
// faster run of each counts; wall and CPU time are both reported, with the load average.

#include "pipeline/soundtrack_envelope.h"
#include "pipeline/stem_mixer.h"
#include "pipeline/video_demuxer_muxer.h"

#include "bench_measure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <tuple>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace hf;

namespace {

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0;   // the child's user and system time
    double peakMB = 0;
    bool ok = false;
};

Measure runChild(const QStringList& argv)
{
    std::vector<std::string> storage;
    for (const QString& a : argv)
        storage.push_back(a.toStdString());
    std::vector<char*> args;
    for (auto& s : storage)
        args.push_back(s.data());
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return {};
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0)
        return {};
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {seconds, bench::cpuSeconds(usage), usage.ru_maxrss / 1024.0,
            WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

// The commands run in turns, twice each, the second turn in the opposite order (A B, then B A),
// so that a change of the machine's load in between weighs on every side alike; the faster run of
// each counts. The load average before and after goes with the next report.
double g_loadBefore = -1, g_loadAfter = -1;

std::vector<Measure> interleaved(const std::vector<QStringList>& commands)
{
    std::vector<Measure> best(commands.size());
    g_loadBefore = bench::loadAverage();
    for (int turn = 0; turn < 2; ++turn) {
        for (std::size_t k = 0; k < commands.size(); ++k) {
            const std::size_t i = turn == 0 ? k : commands.size() - 1 - k;
            const Measure m = runChild(commands[i]);
            if (!m.ok)
                best[i].ok = false;
            else if (turn == 0 || (best[i].ok && m.seconds < best[i].seconds))
                best[i] = m;
        }
    }
    g_loadAfter = bench::loadAverage();
    return best;
}

bool sh(const QString& command)
{
    std::fprintf(stderr, "+ %s\n", qPrintable(command));
    return std::system(command.toUtf8().constData()) == 0;
}

QString q(const QString& path)
{
    return "'" + path + "'";
}

QStringList ffmpegArgs(const QStringList& args)
{
    return QStringList{"ffmpeg", "-v", "error", "-nostdin", "-y"} + args;
}

void report(const char* what, const QString& input, const Measure& ours, const Measure& theirs, double extraFactor = 0,
            const char* extraLabel = nullptr)
{
    std::printf("\n%s (%s)\n", what, qPrintable(input));
    std::printf("  load average %.1f before, %.1f after (both sides run in turns)\n", g_loadBefore, g_loadAfter);
    if (!ours.ok || !theirs.ok) {
        std::printf("  FAILED (ours ok: %d, ffmpeg ok: %d)\n", ours.ok, theirs.ok);
        return;
    }
    std::printf("  ours:   %8.2f s, CPU %8.2f s, peak %7.1f MB\n", ours.seconds, ours.cpuSeconds, ours.peakMB);
    std::printf("  ffmpeg: %8.2f s, CPU %8.2f s, peak %7.1f MB\n", theirs.seconds, theirs.cpuSeconds, theirs.peakMB);
    std::printf("  ratio (ours / ffmpeg): %.2f wall, %.2f CPU\n", ours.seconds / theirs.seconds,
                theirs.cpuSeconds > 0 ? ours.cpuSeconds / theirs.cpuSeconds : 0.0);
    if (extraLabel)
        std::printf("  %s: %.0fx\n", extraLabel, extraFactor / ours.seconds);
    std::fflush(stdout);
}

// The operations themselves, run in the child process.
int child(const QStringList& a)
{
    const QString op = a.value(0);
    auto url = [](const QString& p) { return QUrl::fromLocalFile(p); };
    try {
        if (op == "remux") {
            VideoDemuxerMuxer::remux(url(a[1]), url(a[2]), url(a[3]), VideoDemuxerMuxer::FileType::mpeg4);
        } else if (op == "extract") {
            const auto r = VideoDemuxerMuxer::extractSoundtrack(url(a[1]), url(a[2]), std::nullopt);
            QFile::rename(r.url.toLocalFile(), QDir(a[2]).filePath("ours.m4a"));
        } else if (op == "envelope") {
            const auto e = SoundtrackEnvelope::compute(url(a[1]));
            if (!e)
                return 1;
            std::fprintf(stderr, "buckets: %lld\n", (long long)e->bucketCount());
        } else if (op == "mix") {
            StemMixer::mixNow(url(a[1]), url(a[2]), url(a[3]), AudioQuality::aac, 0.75);
        } else if (op == "prepare") {
            // What an export's preparation does: the clean soundtrack mixed anew, the movie written
            // with it, and the check of what was written.
            const QUrl movie = url(a[1]);
            const QUrl mixed = StemMixer::mixNow(url(a[2]), url(a[3]), movie, url(a[4]), AudioQuality::aac, 0.75);
            const QUrl written = VideoDemuxerMuxer::remux(movie, mixed, url(a[5]), VideoDemuxerMuxer::FileType::mpeg4);
            VideoDemuxerMuxer::verifyExport(written, movie, mixed);
        } else {
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(describe(e)));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    const QString self = QFileInfo(args.takeFirst()).absoluteFilePath();
    if (args.value(0) == "--child")
        return child(args.mid(1));

    const QString mode = args.value(0, "all");
    double scale = 1.0;
    QString work = "/tmp/hf-bench";
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--scale")
            scale = args[i + 1].toDouble();
        else if (args[i] == "--work")
            work = args[i + 1];
    }
    QDir().mkpath(work);
    auto at = [&](const QString& name) { return QDir(work).filePath(name); };
    const QString tag = QString::number(scale);
    auto ours = [&](QStringList a, bool oneCore = false) {
        QStringList argv = QStringList{self, "--child"} + a;
        return oneCore ? QStringList{"taskset", "-c", "0"} + argv : argv;
    };
    auto theirs = [&](QStringList a, bool oneCore = false) {
        QStringList argv = ffmpegArgs(a);
        return oneCore ? QStringList{"taskset", "-c", "0"} + argv : argv;
    };
    // ffmpeg's side and ours, in turns.
    auto sideBySide = [&](const QStringList& ffmpeg, const QStringList& own) {
        const std::vector<Measure> m = interleaved({ffmpeg, own});
        return std::pair{m[1], m[0]};
    };
    bool all = mode == "all";

    if (all || mode == "remux") {
        // About 1 GB of lossless ultrafast H.264 at full scale (500 s of 720p), with a soundtrack.
        const int seconds = std::max(2, int(500 * scale));
        const QString movie = at("movie-" + tag + ".mp4"), clean = at("movie-clean-" + tag + ".m4a");
        if (!QFileInfo::exists(movie))
            sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=1280x720:rate=30:duration=%1 "
                       "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=%1 -c:v libx264 -preset ultrafast "
                       "-qp 0 -c:a aac %2")
                   .arg(seconds)
                   .arg(q(movie)));
        if (!QFileInfo::exists(clean))
            sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i sine=frequency=220:sample_rate=48000:duration=%1 "
                       "-ac 2 -c:a aac -b:a 256k %2")
                   .arg(seconds)
                   .arg(q(clean)));
        const auto [o, t] = sideBySide(theirs({"-i", movie, "-i", clean, "-map", "0:v", "-map", "1:a:0", "-c", "copy",
                                               at("remux-ffmpeg.mp4")}),
                                       ours({"remux", movie, clean, at("remux-ours.mp4")}));
        report("remux", QString("%1 MB").arg(QFileInfo(movie).size() / 1e6, 0, 'f', 0), o, t);
    }
    if (all || mode == "extract") {
        const int seconds = std::max(2, int(7200 * scale));
        const QString movie = at("long-" + tag + ".mp4");
        if (!QFileInfo::exists(movie))
            sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=160x90:rate=5:duration=%1 "
                       "-f lavfi -i \"aevalsrc=0.3*sin(2*PI*440*t)+0.1*(random(0)-0.5)|0.3*sin(2*PI*330*t)+0.1*(random(1)-0.5):s=48000:d=%1\" "
                       "-c:v libx264 -preset ultrafast -c:a aac -b:a 256k %2")
                   .arg(seconds)
                   .arg(q(movie)));
        // The same movie with an AC-3 soundtrack, which has to be decoded and encoded as AAC.
        const QString ac3Movie = at("long-ac3-" + tag + ".mp4");
        if (!QFileInfo::exists(ac3Movie))
            sh(QString("ffmpeg -v error -nostdin -y -i %1 -c:v copy -c:a ac3 -b:a 448k %2").arg(q(movie), q(ac3Movie)));
        const QString folder = at("extract");
        QDir().mkpath(folder);
        auto [o, t] = sideBySide(theirs({"-i", movie, "-vn", "-c:a", "copy", at("extract/ffmpeg.m4a")}),
                                 ours({"extract", movie, folder}));
        report("extract whole AAC soundtrack (packets copied)", QString("%1 s movie").arg(seconds), o, t);
        std::tie(o, t) = sideBySide(theirs({"-i", ac3Movie, "-vn", "-c:a", "aac", "-b:a", "256k", at("extract/ffmpeg.m4a")}),
                                    ours({"extract", ac3Movie, folder}));
        report("extract whole AC-3 soundtrack (encoded as AAC)", QString("%1 s movie").arg(seconds), o, t);
    }
    if (all || mode == "envelope" || mode == "mix") {
        const int seconds = std::max(2, int(10800 * scale));
        const QString soundtrack = at("soundtrack-" + tag + ".m4a");
        const QString dialogue = at("dialogue-" + tag + ".flac"), effects = at("effects-" + tag + ".flac");
        if (all || mode == "envelope") {
            if (!QFileInfo::exists(soundtrack))
                sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i \"aevalsrc=0.3*sin(2*PI*440*t)+0.1*(random(0)-0.5)|"
                           "0.3*sin(2*PI*330*t):s=48000:d=%1\" -c:a aac -b:a 256k %2")
                       .arg(seconds)
                       .arg(q(soundtrack)));
            const auto [o, t] = sideBySide(theirs({"-threads", "1", "-i", soundtrack, "-ac", "1", "-ar", "8000", "-f",
                                                   "f32le", "/dev/null"},
                                                  true),
                                           ours({"envelope", soundtrack}, true));
            report("envelope on one core", QString("%1 s soundtrack").arg(seconds), o, t, seconds, "realtime");
        }
        if (all || mode == "mix") {
            if (!QFileInfo::exists(dialogue))
                sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i \"aevalsrc=0.4*sin(2*PI*200*t)*sin(2*PI*0.5*t)|"
                           "0.4*sin(2*PI*210*t):s=48000:d=%1\" -c:a flac %2")
                       .arg(seconds)
                       .arg(q(dialogue)));
            if (!QFileInfo::exists(effects))
                sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i \"aevalsrc=0.3*(random(0)-0.5)|0.3*(random(1)-0.5)"
                           ":s=48000:d=%1\" -c:a flac %2")
                       .arg(seconds)
                       .arg(q(effects)));
            const auto [o, t] = sideBySide(theirs({"-i", dialogue, "-i", effects, "-filter_complex",
                                                   "[1:a]volume=0.75[e];[0:a][e]amix=inputs=2:duration=longest:normalize=0",
                                                   "-c:a", "aac", "-b:a", "256k", at("mix-ffmpeg.m4a")}),
                                           ours({"mix", dialogue, effects, at("mix-ours.m4a")}));
            report("mix two stems to AAC", QString("%1 s stems").arg(seconds), o, t);
        }
    }
    if (all || mode == "prepare") {
        // A 2-hour movie with a small picture, and the two stems its clean soundtrack is mixed from.
        const int seconds = std::max(2, int(7200 * scale));
        const QString movie = at("small-" + tag + ".mp4");
        const QString dialogue = at("small-dialogue-" + tag + ".flac"), effects = at("small-effects-" + tag + ".flac");
        if (!QFileInfo::exists(movie))
            sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=64x36:rate=25:duration=%1 "
                       "-f lavfi -i \"sine=frequency=440:sample_rate=48000:duration=%1\" -ac 2 "
                       "-c:v libx264 -preset ultrafast -c:a aac -b:a 128k %2")
                   .arg(seconds)
                   .arg(q(movie)));
        if (!QFileInfo::exists(dialogue))
            sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i \"aevalsrc=0.4*sin(2*PI*200*t)|0.4*sin(2*PI*210*t)"
                       ":s=48000:d=%1\" -c:a flac -sample_fmt s32 %2")
                   .arg(seconds)
                   .arg(q(dialogue)));
        if (!QFileInfo::exists(effects))
            sh(QString("ffmpeg -v error -nostdin -y -f lavfi -i \"aevalsrc=0.3*(random(0)-0.5)|0.3*(random(1)-0.5)"
                       ":s=48000:d=%1\" -c:a flac -sample_fmt s32 %2")
                   .arg(seconds)
                   .arg(q(effects)));
        const QString mixFilter = "[1:a]volume=0.75[e];[0:a][e]amix=inputs=2:duration=longest:normalize=0";
        // ffmpeg's mix and copy, our mix alone and our whole preparation, in turns. ffmpeg's copy
        // reads the mix its own mix just wrote.
        const std::vector<Measure> m = interleaved(
            {theirs({"-i", dialogue, "-i", effects, "-filter_complex", mixFilter, "-c:a", "aac", "-b:a", "256k",
                     at("prepare-ffmpeg.m4a")}),
             theirs({"-i", movie, "-i", at("prepare-ffmpeg.m4a"), "-map", "0:v", "-map", "1:a:0", "-c", "copy",
                     at("prepare-ffmpeg.mp4")}),
             ours({"mix", dialogue, effects, at("prepare-ours-mix.m4a")}),
             ours({"prepare", movie, dialogue, effects, at("prepare-ours.m4a"), at("prepare-ours.mp4")})});
        const Measure &tMix = m[0], &tCopy = m[1], &oMix = m[2], &oPrepare = m[3];
        report("mix two 2-hour stems to AAC", QString("%1 s stems").arg(seconds), oMix, tMix);
        Measure tPrepare = tMix;
        tPrepare.seconds = tMix.seconds + tCopy.seconds;
        tPrepare.cpuSeconds = tMix.cpuSeconds + tCopy.cpuSeconds;
        tPrepare.peakMB = std::max(tMix.peakMB, tCopy.peakMB);
        tPrepare.ok = tMix.ok && tCopy.ok;
        report("prepare an export: mix, movie with the clean soundtrack, check (ffmpeg: mix + stream copy)",
               QString("%1 s movie, 64x36").arg(seconds), oPrepare, tPrepare);
        if (tCopy.ok)
            std::printf("  ffmpeg's stream copy alone: %.2f s\n", tCopy.seconds);
    }
    return 0;
}
