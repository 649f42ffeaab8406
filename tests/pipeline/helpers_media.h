#pragma once

// Fixtures made with the ffmpeg program, and independent checks with ffprobe.

#include "pipeline/video_demuxer_muxer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

namespace hf::test {

// Runs ffmpeg quietly with `args` (after "-y"); QFAIL-worthy false on failure.
bool ffmpeg(const QStringList& args);
// The output of a program, empty on failure.
QByteArray runProgram(const QString& program, const QStringList& args);

// ffprobe's view of a file: its "streams" and "format" objects.
QJsonObject probe(const QString& path);
QJsonArray probeStreams(const QString& path, const QString& type = {});   // "video", "audio" or all
// Each stream of a probe() answer as "<type>:<codec>", e.g. "video:h264", in order.
QStringList streamTypes(const QJsonObject& probed);
double probeDuration(const QString& path);
// Packets of one stream (e.g. "v:0"), as ffprobe counts them.
qint64 packetCount(const QString& path, const QString& stream);
// The MD5 of one stream's packets, copied without decoding.
QByteArray packetHash(const QString& path, const QString& stream);
// Decoded samples of the first audio stream as 32-bit float, interleaved.
std::vector<float> decodeSamples(const QString& path, int* channels = nullptr, int* rate = nullptr);

// A movie with a test picture (H.264) and a sine soundtrack (AAC).
bool makeMovie(const QString& path, double seconds, const QStringList& extraArgs = {});
// A real soundtrack: a movie of `seconds` made in `folder`, its soundtrack extracted as the
// application does (into `folder`/Work). None when the movie could not be made.
std::optional<ExtractedAudio> makeSoundtrack(const QString& folder, double seconds);
// A tone: `expression` as in aevalsrc (e.g. "0.5" for a constant, "sin(2*PI*440*t)").
bool makeTone(const QString& path, double seconds, int rate, int channels, const QString& expression,
              const QStringList& codecArgs = {});

// Writes a 90-degree display matrix into the first track header of a QuickTime/MPEG-4 file (as a
// phone stores a portrait video: landscape samples, rotated on display).
bool rotateFirstTrack(const QString& path);

// A soundtrack of short beeps (50 ms of 1 kHz) at every whole second from 0 s, `seconds` long.
bool makeBeeps(const QString& path, double seconds, const QStringList& codecArgs = {"-c:a", "aac"});
// A moving test picture without sound, `seconds` long.
bool makePicture(const QString& path, double seconds);

// When the beeps of a file's first audio stream sound, in seconds of the picture's timeline (from
// the start of its first video stream; from the file's zero without one): the first sample
// above half the file's peak after 0.3 s without one. Decoded with the file's own timestamps,
// edit lists applied.
std::vector<double> beepTimes(const QString& path);

// How `f` fails: the message of an export failure, "case N" for a media error of another case,
// "no error" when it does not throw.
QString exportFailureOf(const std::function<void()>& f);

inline QUrl fileUrl(const QString& path) { return QUrl::fromLocalFile(path); }

} // namespace hf::test
