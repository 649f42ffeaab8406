#include "helpers_app.h"

#include "backend/session_token_store.h"
#include "app/content_view.h"
#include "app/hushframe_app.h"
#include "backend/account_store.h"
#include "helpers_audition.h"
#include "pipeline/cloud_separation_engine.h"

#include <QTest>
#include "platform/audio_output.h"
#include "platform/settings_store.h"

namespace hf::test {

std::unique_ptr<AppServices> makeServices(const QTemporaryDir& home, const QUrl& baseURL)
{
    AppServices::Options options;
    options.baseURL = baseURL;
    options.tokenStore = std::make_unique<InMemoryTokenStore>();
    options.defaults = std::make_unique<QSettingsStore>(home.filePath(QStringLiteral("settings.ini")));
    options.cachesFolder = home.filePath(QStringLiteral("Caches"));
    options.audioOutput = std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::paced);
    return std::make_unique<AppServices>(std::move(options));
}

bool makeToneMovie(const QString& path, int seconds)
{
    return runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=320x180:rate=25", "-f", "lavfi", "-i",
                      "aevalsrc=0.3*sin(2*PI*220*t)+0.2*sin(2*PI*2*t)*sin(2*PI*880*t):s=44100:c=stereo", "-t",
                      QString::number(seconds), "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", path});
}

AppOnLocalServer::AppOnLocalServer()
    : services(makeServices(home, server.baseUrl())), app(std::make_unique<HushframeApp>(*services, &picker))
{
    services->engine().setPollInterval(std::chrono::milliseconds(100));
}

AppOnLocalServer::~AppOnLocalServer() = default;

bool AppOnLocalServer::open(int movieSeconds)
{
    if (!makeToneMovie(movie, movieSeconds))
        return false;
    window = qobject_cast<ContentView*>(app->openWindow(QStringLiteral("main")));
    return window && QTest::qWaitForWindowExposed(window)
           && QTest::qWaitFor([&] { return services->account().hasSession(); }, 30000);
}

} // namespace hf::test
