#pragma once

// One still picture near the start of a video: the frame shown at 0.5 seconds (or the next one
// within a second after it), else the one at the start; upright as the video is shown (the video
// stream's display rotation applied) and scaled down, keeping its shape, to fit a maximum size.

#include <QImage>
#include <QSize>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>

namespace hf {

class VideoThumbnailer {
public:
    // Decodes off the calling thread and comes back with the picture, or none when the file cannot
    // be read or has no frame at either time. Never throws and logs nothing.
    static QCoro::Task<std::optional<QImage>> thumbnail(QUrl url, QSize maxSize);

    // The same work on the calling thread.
    static std::optional<QImage> thumbnailNow(const QUrl& url, const QSize& maxSize);
};

} // namespace hf
