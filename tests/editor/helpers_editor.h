#pragma once

// The editor tests' rig: the services as the application builds them, with the real cloud
// separation engine against the local server on loopback, the real media work, and the audition
// player on a silent output; plus a short movie of speech over music and noise that ffmpeg and
// espeak-ng make, so the editor shows the waveforms of a real cleaned result.

#include "helpers_cloud.h"

#include "backend/account_store.h"
#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "coordinator/recent_videos.h"
#include "coordinator/review_prompter.h"
#include "platform/settings_store.h"

#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace hf::test {


// Writes a movie of `seconds`: a moving test picture; spoken sentences in the centre; sustained
// chords that change every two seconds, spread across the two channels; bursts of noise.
// False (with a warning) when ffmpeg or espeak-ng fails or is missing.
bool makeSpeechMovie(const QString& path, double seconds = 20);

class EditorRig {
public:
    EditorRig();
    ~EditorRig();

    // Whether the rig could start (ffmpeg, ffprobe and espeak-ng present, a session started).
    bool ready() const { return m_ready; }

    QTemporaryDir dir;
    std::unique_ptr<LocalCloud> local;
    std::unique_ptr<CloudSeparationEngine> cloud;
    std::unique_ptr<MemorySettingsStore> defaults;
    std::unique_ptr<AccountStore> account;
    std::unique_ptr<RecentVideos> recents;
    std::unique_ptr<ReviewPrompter> prompter;
    std::unique_ptr<AudioPlayerService> player;
    std::unique_ptr<EngineCoordinator> coordinator;

    // The speech movie, made once per rig (`seconds` long the first time it is asked for).
    QUrl movie(double seconds = 20);
    // Opens `video` and waits for its preview (`previewSeconds` of it) with both envelopes.
    bool openAndPreview(const QUrl& video, double previewSeconds = 30, int timeoutMs = 120000);

private:
    bool m_ready = false;
    QUrl m_movie;
};

} // namespace hf::test
