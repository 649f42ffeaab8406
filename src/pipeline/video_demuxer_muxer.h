#pragma once

// The media operations on whole videos: inspection and soundtrack extraction, the source intake
// (opened videos, movie-type recognition, the imports copy), the remux that writes a clean video
// and the verification of what it wrote. All are synchronous and keep no state between calls;
// callers run them off the main thread with hf::runOffThread.

#include "pipeline/media_error.h"
#include "pipeline/media_progress.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <stop_token>

namespace hf {

// What identifies a video file's content as it was at one moment: its size, modification time
// and duration. A file replaced or re-rendered under the same name no longer matches.
struct SourceFingerprint {
    qint64 size = 0;
    qint64 modified = 0;   // milliseconds since 1970-01-01 UTC
    double duration = 0;   // seconds; 0 when not known

    bool operator==(const SourceFingerprint&) const = default;

    // The file at `path` now, with `duration` as known; none when no file is there.
    static std::optional<SourceFingerprint> of(const QString& path, double duration = 0);
    // Whether `now` is the same content: the same size and modification time, and the same
    // duration when both know it.
    bool matches(const SourceFingerprint& now) const;
};

// An opened video.
struct SourceVideo {
    QUrl url;              // the file as the user gave it (or its copy in the imports folder)
    QString displayName;   // its file name, extension included
    double duration = 0;   // seconds, finite and above 0
    // Always false here: files are read with the user's own permissions, so there is no access
    // grant to end when the video is closed.
    bool isSecurityScoped = false;
    // The file as it was when it was opened; none when that is not known.
    std::optional<SourceFingerprint> fingerprint;

    bool operator==(const SourceVideo&) const = default;

    // The longest video the application takes: 3 hours.
    static constexpr double maximumDuration = 10800.0;

    // Inspects the file; throws what VideoDemuxerMuxer::inspect throws.
    static SourceVideo load(const QUrl& url);
    // The same, and MediaError tooLong for a video longer than maximumDuration.
    static SourceVideo loadWithinLimit(const QUrl& url);

    // The accepted kinds of movie, as MIME types: any "video/*" type and its descendants.
    static const QStringList& supportedTypes();
    // Whether the file's name (its extension, through the shared MIME database) is a movie.
    // Never opens the file.
    static bool isSupported(const QUrl& url);
};

// A movie handed over by drag and drop or the file picker, copied into the imports folder.
struct PickedMovie {
    QUrl url;

    bool operator==(const PickedMovie&) const = default;

    // Copies `received` to <cache>/Imports/<UUID>/<file name> and returns the copy's URL.
    // Throws FileSystemError.
    static QUrl copyIntoImports(const QUrl& received);
    // The imports folder, <cache>/Imports.
    static QString importsFolder();
};

// The result of a soundtrack extraction.
struct ExtractedAudio {
    QUrl url;                  // the written M4A file
    double duration = 0;       // seconds of audio written
    double sourceDuration = 0; // the whole video's duration, even when only its start was taken
    // Where the sound starts on the video's timeline, seconds: a soundtrack that begins after the
    // picture keeps that delay, and the M4A file states it too.
    double start = 0;

    bool operator==(const ExtractedAudio&) const = default;
};

namespace VideoDemuxerMuxer {

// The video's duration in seconds: the length of its timeline, from its start (which a stream
// format such as MPEG-TS places anywhere on its clock) to the latest stream's end. Throws
// MediaError unreadable (not a local file, not a media file, no usable duration), emptyFile,
// noVideoTrack (a sound file) or noAudioTrack, or FileSystemError when the file may not be read.
double inspect(const QUrl& video);

// Throws MediaError exportFailed with the truncation message when the file was cut short (an
// interrupted download or copy): its index places samples beyond its last byte, though its stated
// length is whole. Reads only the index. MediaError unreadable when it can't be opened at all.
void checkComplete(const QUrl& video);

// Writes the video's soundtrack (all of it, or what sounds in its first `maxDuration` seconds when
// the video is longer, sample-accurate) as AAC in an M4A file named "source-XXXXXXXX.m4a" inside
// `folder`, which is created when missing. The file keeps the sound's place on the video's
// timeline: a soundtrack that starts after the picture states that delay. Throws what inspect()
// throws, FileSystemError for the folder, MediaError exportFailed (a read or decode error, a
// source cut short before its stated end or holding less than its container declares), or
// hf::Cancelled when `stop` is requested.
ExtractedAudio extractSoundtrack(const QUrl& video, const QUrl& folder, std::optional<double> maxDuration,
                                 std::stop_token stop = {});

enum class FileType { quickTimeMovie, m4v, mpeg4 };

// "mov"/"qt" (any case) or forceQuickTime: QuickTime movie; "m4v": M4V; anything else: MPEG-4.
FileType outputFileType(const QUrl& url, bool forceQuickTime);
// "mov", "m4v" or "mp4".
QString fileExtension(FileType type);

// Writes `destination`: every video stream of `video` copied packet for packet with its timing and
// rotation, and the first audio stream of `cleanSoundtrack` copied as the only audio, cut at the
// video's end. Everything keeps its place on the source's timeline, which starts at zero in the
// output: the clean soundtrack sits where it states it starts, or, when it starts at zero (as
// stems come back from separation), where the source's own sound starts. The file is written
// beside the destination and renamed over it when complete, so a failure leaves whatever stood
// there untouched. Throws MediaError noVideoTrack, noAudioTrack or exportFailed (including the
// re-encoding message when the container cannot hold a stream as it is, and the incomplete-file
// message for a source cut short), FFmpegError when an input cannot be opened, or hf::Cancelled.
// `progress` hears the share of the video's length written so far.
QUrl remux(const QUrl& video, const QUrl& cleanSoundtrack, const QUrl& destination, FileType fileType,
           std::stop_token stop = {}, const MediaProgress& progress = {});

// Checks a written video against its source and clean soundtrack: the same video streams (count,
// codec, stored size, packet count, end), exactly one audio stream in the clean soundtrack's codec,
// durations within a quarter of a second, and a soundtrack that starts where the source's sound
// starts on its timeline (within two audio frames: encoders' priming). Logs the reason and throws MediaError
// verificationFailed when a check fails or a file cannot be read.
void verifyExport(const QUrl& video, const QUrl& source, const QUrl& cleanSoundtrack);

} // namespace VideoDemuxerMuxer
} // namespace hf
