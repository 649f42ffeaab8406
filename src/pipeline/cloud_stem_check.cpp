#include "pipeline/cloud_stem_check.h"

#include "pipeline/ffmpeg_support.h"
#include "platform/logging.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace hf {

using media::AudioDecoder;

HF_LOGGING_CATEGORY(lcStemCheck, "StemCheck")

std::optional<int> soundtrackChannels(const QString& localPath)
{
    try {
        AudioDecoder decoder(localPath);
        return decoder.sourceChannels();
    } catch (...) {
        return std::nullopt;
    }
}

bool stemMatches(const QString& localPath, const ExpectedStem& expected)
{
    try {
        AudioDecoder::Options options;
        options.strict = true;
        AudioDecoder decoder(localPath, options);
        if (expected.channels && decoder.sourceChannels() != *expected.channels) {
            qCWarning(lcStemCheck, "A stem has %d channels, not %d", decoder.sourceChannels(), *expected.channels);
            return false;
        }
        const int channels = decoder.channels();
        constexpr qint64 block = 16384;
        std::vector<float> samples(static_cast<size_t>(block) * channels);
        std::vector<float*> planes(channels);
        for (int c = 0; c < channels; ++c)
            planes[c] = samples.data() + static_cast<size_t>(c) * block;
        qint64 frames = 0;
        while (const qint64 read = decoder.read(planes.data(), block))
            frames += read;
        const double seconds = decoder.sampleRate() > 0 ? double(frames) / decoder.sampleRate() : 0;
        const double tolerance = std::max(1.0, expected.seconds * 0.01);
        if (!(std::abs(seconds - expected.seconds) <= tolerance)) {
            qCWarning(lcStemCheck, "A stem lasts %.3f s, not %.3f s", seconds, expected.seconds);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        qCWarning(lcStemCheck, "A stem does not decode: %s", e.what());
        return false;
    }
}

} // namespace hf
