#pragma once

#include "pipeline/media_progress.h"
#include "pipeline/separation_settings.h"
#include "platform/errors.h"

#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <stop_token>

namespace hf {

class StemMixerError : public Error {
public:
    enum class Case { unreadableStem, writeFailed, sampleRateMismatch };

    static StemMixerError unreadableStem(QString stemRawValue) { return {Case::unreadableStem, std::move(stemRawValue)}; }
    static StemMixerError writeFailed(QString message) { return {Case::writeFailed, std::move(message)}; }
    static StemMixerError sampleRateMismatch() { return {Case::sampleRateMismatch, {}}; }

    Case errorCase() const { return m_case; }
    // The stem's raw value for unreadableStem, the message for writeFailed.
    const QString& payload() const { return m_payload; }
    QString localizedDescription() const override;
    bool operator==(const StemMixerError&) const = default;

    static QString unsupportedFormatMessage();
    static QString outOfMemoryMessage();

private:
    StemMixerError(Case c, QString payload) : m_case(c), m_payload(std::move(payload)) {}
    Case m_case;
    QString m_payload;
};

// Renders the clean soundtrack: clip(dialogue + ambience x effects), as long as the longer stem,
// with as many channels as the wider one (a narrower stem repeats its last channel).
namespace StemMixer {

// `ambience` is clamped to 0...1 (not a number counts as 0). The output is AAC (160 kbit/s mono,
// 256 kbit/s otherwise) or 24-bit little-endian PCM, in the container that `output`'s extension
// names. It is written beside `output` and renamed over it when complete. Throws StemMixerError,
// media::FFmpegError for a read error of either stem, or hf::Cancelled (checked per chunk).
QUrl mixNow(const QUrl& dialogue, const QUrl& effects, const QUrl& output, AudioQuality quality,
            double ambience, std::stop_token stop = {});

// The same on the thread pool.
QCoro::Task<QUrl> mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality, double ambience,
                      std::stop_token stop = {});

// The same for stems separated from the soundtrack `separatedFrom` (the extracted soundtrack that
// was uploaded): stems that start at zero are placed where its sound starts, so the clean
// soundtrack sits on the video's timeline as the original sound did. Stems that state a start of
// their own keep it. The output states its start where its container can (MPEG-4, QuickTime,
// Matroska). `progress` hears, after each chunk, the share of the longer stem mixed so far.
QUrl mixNow(const QUrl& dialogue, const QUrl& effects, const QUrl& separatedFrom, const QUrl& output,
            AudioQuality quality, double ambience, std::stop_token stop = {}, const MediaProgress& progress = {});
QCoro::Task<QUrl> mix(QUrl dialogue, QUrl effects, QUrl separatedFrom, QUrl output, AudioQuality quality,
                      double ambience, std::stop_token stop = {}, MediaProgress progress = {});

inline constexpr qint64 chunkFrames = 65536;

} // namespace StemMixer
} // namespace hf
