#include "coordinator/video_thumbnailer.h"

#include "pipeline/ffmpeg_support.h"
#include "platform/async.h"

#include <QTransform>

extern "C" {
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace hf {

namespace {

using namespace hf::media;

struct ScalerDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using Scaler = std::unique_ptr<SwsContext, ScalerDeleter>;

// The frame may come up to this long after the requested time.
constexpr double toleranceAfter = 1.0;

// A decoder positioned on one video stream of an opened file.
struct VideoSource {
    InputContext input;
    AVStream* stream = nullptr;
    CodecContext codec;

    explicit VideoSource(const QUrl& file) : input(openInput(file))
    {
        const auto streams = videoStreams(input.get());
        if (streams.empty())
            throw FFmpegError(AVERROR_STREAM_NOT_FOUND);
        stream = streams.front();
        keepOnly(input.get(), stream);
        codec = openDecoder(stream);
    }

    int64_t origin() const { return stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0; }
    double seconds(int64_t ts) const { return static_cast<double>(ts - origin()) * av_q2d(stream->time_base); }

    double frameDuration(const AVFrame* frame) const
    {
        if (frame->pkt_duration > 0)
            return static_cast<double>(frame->pkt_duration) * av_q2d(stream->time_base);
        const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        return rate.num > 0 ? av_q2d(av_inv_q(rate)) : 0.0;
    }

    // The frame shown at `target` seconds from the start of the stream, or the first one that
    // starts within the tolerance after it; none when there is no such frame.
    Frame frameAt(double target)
    {
        if (target > 0) {
            const int64_t ts = origin() + static_cast<int64_t>(std::llround(target / av_q2d(stream->time_base)));
            if (av_seek_frame(input.get(), stream->index, ts, AVSEEK_FLAG_BACKWARD) >= 0)
                avcodec_flush_buffers(codec.get());
        }
        Frame shown;          // the latest frame starting at or before the target
        double shownEnd = 0;
        Frame frame = makeFrame();
        Packet packet = makePacket();

        // Decides on one decoded frame: true when the search is over (the answer is in `shown`,
        // or none when `shown` is empty).
        bool found = false;
        auto consider = [&](AVFrame* decoded) -> bool {
            const int64_t ts = decoded->best_effort_timestamp != AV_NOPTS_VALUE ? decoded->best_effort_timestamp
                                                                                 : decoded->pts;
            if (ts == AV_NOPTS_VALUE)
                return false;
            const double t = seconds(ts);
            if (t <= target + 1e-6) {
                shown = makeFrame();
                av_frame_move_ref(shown.get(), decoded);
                shownEnd = t + frameDuration(shown.get());
                if (t >= target - 1e-6) {
                    found = true;
                    return true;
                }
                return false;
            }
            if (shown && shownEnd > target + 1e-6) {
                found = true;
                return true;
            }
            if (t <= target + toleranceAfter) {
                shown = makeFrame();
                av_frame_move_ref(shown.get(), decoded);
                found = true;
                return true;
            }
            return true;
        };
        auto drain = [&]() -> bool {
            while (avcodec_receive_frame(codec.get(), frame.get()) == 0) {
                const bool done = consider(frame.get());
                av_frame_unref(frame.get());
                if (done)
                    return true;
            }
            return false;
        };

        bool ended = false;
        while (!ended) {
            const int read = av_read_frame(input.get(), packet.get());
            if (read == AVERROR(EAGAIN))
                continue;
            if (read < 0) {
                avcodec_send_packet(codec.get(), nullptr);
                ended = true;
            } else {
                const bool ours = packet->stream_index == stream->index;
                // A damaged packet costs its frame, not the picture.
                if (ours)
                    avcodec_send_packet(codec.get(), packet.get());
                av_packet_unref(packet.get());
                if (!ours)
                    continue;
            }
            if (drain())
                return found ? std::move(shown) : Frame();
        }
        // The stream ended: the last frame counts only while it is still on screen at the target.
        if (shown && shownEnd > target + 1e-6)
            return shown;
        return Frame();
    }
};

std::optional<QImage> toImage(const AVFrame* frame, const AVStream* stream, int rotation, const QSize& maxSize)
{
    if (frame->width <= 0 || frame->height <= 0 || maxSize.width() <= 0 || maxSize.height() <= 0)
        return std::nullopt;
    // The picture's shape as it is shown: non-square pixels widened, then turned upright.
    AVRational aspect = frame->sample_aspect_ratio.num > 0 ? frame->sample_aspect_ratio : stream->sample_aspect_ratio;
    double displayWidth = frame->width;
    if (aspect.num > 0 && aspect.den > 0)
        displayWidth *= av_q2d(aspect);
    const bool quarterTurn = rotation == 90 || rotation == 270;
    const double shownWidth = quarterTurn ? frame->height : displayWidth;
    const double shownHeight = quarterTurn ? displayWidth : frame->height;
    const double scale = std::min({maxSize.width() / shownWidth, maxSize.height() / shownHeight, 1.0});
    const int outWidth = std::max(1, static_cast<int>(std::lround(shownWidth * scale)));
    const int outHeight = std::max(1, static_cast<int>(std::lround(shownHeight * scale)));
    const int scaledWidth = quarterTurn ? outHeight : outWidth;
    const int scaledHeight = quarterTurn ? outWidth : outHeight;

    Scaler scaler(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                 scaledWidth, scaledHeight, AV_PIX_FMT_RGB32, SWS_AREA, nullptr, nullptr, nullptr));
    if (!scaler)
        return std::nullopt;
    // Scaled into FFmpeg's own aligned buffer (its vector code may write past a row's end), then
    // copied row by row. AV_PIX_FMT_RGB32 and QImage::Format_RGB32 are both 0xAARRGGBB in native
    // byte order.
    Frame scaled = makeFrame();
    scaled->format = AV_PIX_FMT_RGB32;
    scaled->width = scaledWidth;
    scaled->height = scaledHeight;
    if (av_frame_get_buffer(scaled.get(), 0) < 0)
        return std::nullopt;
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, scaled->data, scaled->linesize) <= 0)
        return std::nullopt;
    QImage image(scaledWidth, scaledHeight, QImage::Format_RGB32);
    if (image.isNull())
        return std::nullopt;
    for (int y = 0; y < scaledHeight; ++y)
        std::memcpy(image.scanLine(y), scaled->data[0] + static_cast<ptrdiff_t>(y) * scaled->linesize[0],
                    static_cast<size_t>(scaledWidth) * 4);
    if (rotation != 0)
        image = image.transformed(QTransform().rotate(rotation));
    return image;
}

} // namespace

std::optional<QImage> VideoThumbnailer::thumbnailNow(const QUrl& url, const QSize& maxSize)
{
    if (!url.isLocalFile())
        return std::nullopt;
    for (double target : {0.5, 0.0}) {
        try {
            VideoSource source(url);
            Frame frame = source.frameAt(target);
            if (!frame)
                continue;
            if (auto image = toImage(frame.get(), source.stream, displayRotation(source.stream), maxSize))
                return image;
        } catch (...) {
            // An unreadable file gives no picture at either time.
            return std::nullopt;
        }
    }
    return std::nullopt;
}

QCoro::Task<std::optional<QImage>> VideoThumbnailer::thumbnail(QUrl url, QSize maxSize)
{
    // The work is a named local: g++ 12 destroys a temporary of a co_await expression twice.
    auto work = [url, maxSize] { return thumbnailNow(url, maxSize); };
    std::optional<QImage> image = co_await runOffThread(std::stop_token{}, std::move(work));
    co_return image;
}

} // namespace hf
