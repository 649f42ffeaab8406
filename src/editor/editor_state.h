#pragma once

// The editor's labels derived from the coordinator and the audition player: whether a result
// exists, the window subtitle, the "Hearing:" label and the lane status while separating. Built on
// demand by whoever shows one of them; it owns nothing.

#include <QString>

#include <optional>

namespace hf {

class AccountStore;
class AudioPlayerService;
class EngineCoordinator;

struct EditorState {
    EngineCoordinator* coordinator = nullptr;
    AudioPlayerService* player = nullptr;
    AccountStore* account = nullptr;

    // The coordinator holds a result (a preview or a full clean).
    bool hasResult() const;
    // The open video's clock length with the state of its clean: ", making the preview",
    // ", cleaning", ", cleaned", ", preview ready", or nothing.
    QString windowSubtitle() const;
    // "Hearing: " and the audible track: the original while comparing, else the selected track.
    QString hearing() const;
    // "Separating, N%" while a clean runs and no result exists yet; while a result's stems are
    // still being read for drawing, that it is separated; none otherwise.
    std::optional<QString> laneStatus() const;
};

} // namespace hf
