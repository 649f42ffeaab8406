#pragma once

// Fixtures of the audition player's tests. Each track file is stereo 32-bit float at 48 kHz with
// its own constant level on the left channel and its frame index (times indexScale) on the right,
// so a mix tells which track is heard and at which frame.

#include "player/audio_player_service.h"
#include "player/audition_track_mode.h"
#include "platform/audio_output.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace hf::test {

inline constexpr int fixtureRate = 48000;
inline constexpr double indexScale = 1e-6;

// The left-channel level of each track's fixture: 0.1 clean, 0.2 original, 0.3 music,
// 0.4 dialogue, 0.5 effects.
float fixtureLevel(AuditionTrackMode mode);

bool writeTrackWav(const QString& path, double seconds, float level, int rate = fixtureRate);
// A stereo 32-bit float WAV whose frame n is what `frame` writes for n (left, right).
bool writeWav(const QString& path, double seconds, const std::function<void(qint64, float*)>& frame,
              int rate = fixtureRate);
// The five track files (clean, original and stems) of `seconds` each in `folder`, plus `video`.
AuditionFiles makeTrackFiles(const QString& folder, double seconds, const QString& video = {});

bool runFfmpeg(const QStringList& args);
// A movie of flat grey frames at `fps`: frame n has the luma 16 + 8·n.
bool makeCountingMovie(const QString& path, double seconds, int fps, const QStringList& extraArgs = {});

// Pulls until `frames` played frames are collected (underrun silence left out); fewer when
// the decoders deliver nothing for `timeoutMs`.
std::vector<float> collect(NullAudioOutput& output, qint64 frames, int timeoutMs = 10000);

// What frame `frame` of a collected stereo buffer carries.
struct Heard {
    float level;      // the left channel: the audible track's level
    int64_t index;    // the right channel: the track frame heard
    double rawIndex;  // the right channel unrounded, in frames
};
Heard heardAt(const std::vector<float>& buffer, qint64 frame);
qint64 frameCount(const std::vector<float>& buffer);
// Whether frames [from, end) carry consecutive indexes starting at `firstIndex`.
bool consecutive(const std::vector<float>& buffer, qint64 from, int64_t firstIndex, QString* why = nullptr);

} // namespace hf::test
