#pragma once

// The application's services on a temporary home (settings file, caches folder, session token in
// memory, silent audio), and a file chooser that tests answer.

#include "app/app_services.h"
#include "app/file_picker.h"

#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <optional>

namespace hf::test {

// `baseURL` is where the backend is (nothing listens at the default one).
std::unique_ptr<AppServices> makeServices(const QTemporaryDir& home,
                                          const QUrl& baseURL = QUrl(QStringLiteral("http://127.0.0.1:1")));

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

} // namespace hf::test
