#include "pipeline/processing.h"

#include "platform/texts.h"

namespace hf {

QString ProcessingStage::shortStatus() const
{
    switch (m_kind) {
    case Kind::idle:
        return text("status.short.waiting", "waiting");
    case Kind::extractingAudio:
        return text("status.short.reading", "reading audio");
    case Kind::uploading:
        return text("status.short.uploading", "uploading audio");
    case Kind::queued:
        return text("status.short.queued", "waiting for a server");
    case Kind::separating:
        return text("status.short.separating", "separating");
    case Kind::downloading:
        return text("status.short.downloading", "downloading");
    case Kind::mixing:
    case Kind::remuxingVideo:
        return text("status.short.finishing", "finishing");
    case Kind::completed:
        return text("status.short.cleaned", "cleaned");
    case Kind::failed:
        return text("status.short.failed", "failed");
    }
    return {};
}

} // namespace hf
