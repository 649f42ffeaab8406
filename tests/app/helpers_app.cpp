#include "helpers_app.h"

#include "backend/session_token_store.h"
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

} // namespace hf::test
