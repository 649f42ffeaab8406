#pragma once

// The application's services on a temporary home (settings file, caches folder, session token in
// memory, silent audio), and a file chooser that tests answer.

#include "app/app_services.h"
#include "app/file_picker.h"
#include "support/local_server.h"

#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <optional>

namespace hf {
class ContentView;
class HushframeApp;
} // namespace hf

namespace hf::test {

// `baseURL` is where the backend is (nothing listens at the default one).
std::unique_ptr<AppServices> makeServices(const QTemporaryDir& home,
                                          const QUrl& baseURL = QUrl(QStringLiteral("http://127.0.0.1:1")));

// A movie of `seconds` made by ffmpeg: a test picture, and a tone under a warbling one (H.264, AAC).
bool makeToneMovie(const QString& path, int seconds);

class ScriptedFilePicker final : public FilePicker {
public:
    int requests = 0;
    bool lastMultiple = false;
    Completion pending;

    void pick(QWidget*, bool multiple, Completion completion) override
    {
        ++requests;
        lastMultiple = multiple;
        pending = std::move(completion);
    }
    // Answers the open request, as the user choosing `urls` (none: cancelling).
    bool answer(std::optional<QList<QUrl>> urls)
    {
        if (!pending)
            return false;
        auto completion = std::exchange(pending, nullptr);
        completion(PickOutcome{std::move(urls), std::nullopt});
        return true;
    }
};

// The application as main() makes it, on the local server and a temporary home that holds the
// movie "Holiday.mp4": open() makes the movie, shows the main window and waits for a session.
struct AppOnLocalServer {
    QTemporaryDir home;
    QString movie = home.filePath(QStringLiteral("Holiday.mp4"));
    LocalServer server;
    std::unique_ptr<AppServices> services;
    ScriptedFilePicker picker;
    std::unique_ptr<HushframeApp> app;
    ContentView* window = nullptr;

    AppOnLocalServer();
    ~AppOnLocalServer();
    bool open(int movieSeconds);
};

} // namespace hf::test
