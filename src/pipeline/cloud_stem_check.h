#pragma once

// Whether a downloaded stem is the audio it should be, before it is accepted.

#include <QString>

#include <optional>

namespace hf {

// What a stem must be: as many channels as the soundtrack sent (none: any), and as long as it.
struct ExpectedStem {
    std::optional<int> channels;
    double seconds = 0;
};

// The channel count of a soundtrack's first audio stream; none when it cannot be read.
std::optional<int> soundtrackChannels(const QString& localPath);

// Decodes the whole file at `localPath` and says whether it is audio of the expected channel
// count whose length is within max(1 s, 1 %) of the expected length. A file that is not media,
// holds no audio, or stops decoding early is not.
bool stemMatches(const QString& localPath, const ExpectedStem& expected);

} // namespace hf
