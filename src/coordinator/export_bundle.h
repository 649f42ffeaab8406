#pragma once

// The files of one export of the open video's full result, handed from the coordinator to the
// exporter.

#include "pipeline/separation_settings.h"

#include <QUrl>

#include <vector>

namespace hf {

struct ExportBundle {
    QUrl videoURL;               // the remuxed and verified video, in the export folder
    QUrl audioURL;               // the clean soundtrack rendered for this export, beside it
    std::vector<QUrl> stemURLs;  // the result's own stems: dialogue, music, effects
    AudioQuality quality = AudioQuality::aac;
    QUrl folderURL;              // the export's own working folder, removed when the export ends

    bool operator==(const ExportBundle&) const = default;
};

} // namespace hf
