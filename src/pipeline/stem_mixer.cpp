#include "pipeline/stem_mixer.h"

#include "pipeline/ffmpeg_support.h"
#include "platform/async.h"
#include "platform/texts.h"

#include <cmath>
#include <future>
#include <new>

namespace hf {

using namespace media;

QString StemMixerError::localizedDescription() const
{
    switch (m_case) {
    case Case::unreadableStem:
        if (m_payload == QLatin1String("dialogue"))
            return text("error.mix.unreadableDialogue", "The dialogue stem couldn't be read.");
        return text("error.mix.unreadableEffects", "The effects stem couldn't be read.");
    case Case::writeFailed:
        return text("error.mix.writeFailed", "Couldn't write the clean soundtrack: %@", {m_payload});
    case Case::sampleRateMismatch:
        return text("error.mix.sampleRateMismatch", "The downloaded stems don't share a sample rate.");
    }
    return {};
}

QString StemMixerError::unsupportedFormatMessage()
{
    return text("error.mix.unsupportedFormat", "Unsupported audio format.");
}

QString StemMixerError::outOfMemoryMessage()
{
    return text("error.mix.outOfMemory", "Out of memory.");
}

namespace {

std::unique_ptr<AudioDecoder> openStem(const QUrl& url, const char* stem, double timelineFrom = NAN)
{
    try {
        if (!url.isLocalFile())
            throw FFmpegError(AVERROR(ENOENT));
        AudioDecoder::Options options;
        options.timelineFrom = timelineFrom;
        return std::make_unique<AudioDecoder>(url, options);
    } catch (...) {
        throw StemMixerError::unreadableStem(QString::fromLatin1(stem));
    }
}

struct ChannelBuffer {
    std::vector<float> storage;
    std::vector<float*> planes;

    void allocate(int channels, qint64 frames)
    {
        storage.assign(size_t(channels) * size_t(frames), 0.0f);
        planes.resize(size_t(channels));
        for (int c = 0; c < channels; ++c)
            planes[size_t(c)] = storage.data() + size_t(c) * size_t(frames);
    }
};

} // namespace

QUrl StemMixer::mixNow(const QUrl& dialogue, const QUrl& effects, const QUrl& output, AudioQuality quality,
                       double ambience, std::stop_token stop)
{
    return mixNow(dialogue, effects, QUrl(), output, quality, ambience, std::move(stop));
}

QUrl StemMixer::mixNow(const QUrl& dialogue, const QUrl& effects, const QUrl& separatedFrom, const QUrl& output,
                       AudioQuality quality, double ambience, std::stop_token stop, const MediaProgress& progress)
{
    auto d = openStem(dialogue, "dialogue");
    auto e = openStem(effects, "effects");
    // Both stems on one timeline: the later one is preceded by silence from the earlier's start.
    const double first = std::min(d->startSeconds(), e->startSeconds());
    if (d->startSeconds() > first)
        d = openStem(dialogue, "dialogue", first);
    if (e->startSeconds() > first)
        e = openStem(effects, "effects", first);
    constexpr double unplaced = 0.001;
    const double start = first < unplaced ? first + soundStart(separatedFrom) : first;
    if (d->sourceSampleRate() != e->sourceSampleRate())
        throw StemMixerError::sampleRateMismatch();
    const int rate = d->sampleRate();
    const int dc = d->channels();
    const int ec = e->channels();
    const int oc = std::max(dc, ec);
    if (dc < 1 || ec < 1 || oc > 64 || rate <= 0)
        throw StemMixerError::writeFailed(StemMixerError::unsupportedFormatMessage());

    AVChannelLayout layout{};
    av_channel_layout_default(&layout, oc);
    const QString outputPath = output.isLocalFile() ? output.toLocalFile() : QString();
    if (outputPath.isEmpty())
        throw StemMixerError::writeFailed(errorText(AVERROR(ENOENT)));

    std::optional<PendingFile> pending;
    std::optional<AudioFileWriter> writer;
    try {
        pending.emplace(outputPath);
        writer.emplace(outputPath, pending->path(),
                       quality == AudioQuality::aac ? AudioFileWriter::Encoding::aac : AudioFileWriter::Encoding::pcm24,
                       rate, layout, oc < 2 ? 160000 : 256000, start);
    } catch (const AudioFileWriter::UnsupportedFormat&) {
        throw StemMixerError::writeFailed(StemMixerError::unsupportedFormatMessage());
    } catch (const Error& error) {
        throw StemMixerError::writeFailed(error.localizedDescription());
    }

    // Two buffers a stem: while one chunk is mixed and encoded, each stem reads the next into its
    // other buffer on a thread of its own, so both decoders and the encoder work at once.
    ChannelBuffer dbs[2], ebs[2], ob;
    try {
        for (int slot = 0; slot < 2; ++slot) {
            dbs[slot].allocate(dc, chunkFrames);
            ebs[slot].allocate(ec, chunkFrames);
        }
        ob.allocate(oc, chunkFrames);
    } catch (const std::bad_alloc&) {
        throw StemMixerError::writeFailed(StemMixerError::outOfMemoryMessage());
    }

    const float g = std::isnan(ambience) || ambience < 0 ? 0.0f : float(std::min(ambience, 1.0));
    // The longer stem's stated length; a stem that states none is read to its end all the same.
    const qint64 total = std::max(d->statedFrames(), e->statedFrames());
    qint64 mixed = 0;
    bool dDone = false, eDone = false;
    struct Reads {
        std::future<qint64> d, e;
    };
    // A stem read to its end reads nothing more.
    const auto readAhead = [](AudioDecoder* stem, ChannelBuffer* into, bool done) {
        if (done)
            return std::async(std::launch::deferred, [] { return qint64(0); });
        return std::async(std::launch::async, [stem, into] { return stem->read(into->planes.data(), chunkFrames); });
    };
    int slot = 0;
    // Declared after the buffers, so that reads still running end before the buffers go.
    Reads next{readAhead(d.get(), &dbs[0], false), readAhead(e.get(), &ebs[0], false)};
    for (;;) {
        if (stop.stop_requested())
            throw Cancelled();
        const qint64 dn = next.d.get();
        const qint64 en = next.e.get();
        dDone = dDone || dn < chunkFrames;
        eDone = eDone || en < chunkFrames;
        // The shorter stem is silent after its end; the output is as long as the longer one.
        const qint64 n = std::max(dn, en);
        if (n == 0)
            break;
        const ChannelBuffer& db = dbs[slot];
        const ChannelBuffer& eb = ebs[slot];
        slot ^= 1;
        next = Reads{readAhead(d.get(), &dbs[slot], dDone), readAhead(e.get(), &ebs[slot], eDone)};
        for (int c = 0; c < oc; ++c) {
            float* out = ob.planes[size_t(c)];
            const float* dp = db.planes[size_t(std::min(c, dc - 1))];
            const float* ep = eb.planes[size_t(std::min(c, ec - 1))];
            const qint64 both = std::min(dn, en);
            for (qint64 i = 0; i < both; ++i)
                out[i] = std::clamp(dp[i] + g * ep[i], -1.0f, 1.0f);
            for (qint64 i = both; i < dn; ++i)
                out[i] = std::clamp(dp[i], -1.0f, 1.0f);
            for (qint64 i = both; i < en; ++i)
                out[i] = std::clamp(g * ep[i], -1.0f, 1.0f);
        }
        try {
            writer->write(ob.planes.data(), int(n));
        } catch (const Error& error) {
            throw StemMixerError::writeFailed(error.localizedDescription());
        }
        mixed += n;
        if (progress && total > 0)
            progress(std::min(double(mixed) / double(total), 0.999));
    }
    try {
        writer->finish();
        writer.reset();
        pending->commit();
    } catch (const Error& error) {
        throw StemMixerError::writeFailed(error.localizedDescription());
    }
    if (progress)
        progress(1.0);
    return output;
}

QCoro::Task<QUrl> StemMixer::mix(QUrl dialogue, QUrl effects, QUrl separatedFrom, QUrl output, AudioQuality quality,
                                 double ambience, std::stop_token stop, MediaProgress progress)
{
    auto work = [=] { return mixNow(dialogue, effects, separatedFrom, output, quality, ambience, stop, progress); };
    QUrl written = co_await runOffThread(stop, std::move(work));
    co_return written;
}

QCoro::Task<QUrl> StemMixer::mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality, double ambience,
                                 std::stop_token stop)
{
    // Named steps rather than one `co_return co_await` expression: g++ 12 destroys temporaries of
    // such an expression twice.
    auto work = [=] { return mixNow(dialogue, effects, output, quality, ambience, stop); };
    QUrl written = co_await runOffThread(stop, std::move(work));
    co_return written;
}

} // namespace hf
