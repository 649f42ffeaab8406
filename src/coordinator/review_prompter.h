#pragma once

// Facts kept for a later decision on asking the user for a review: when the application was first
// launched, how many cleaned videos were exported and verified, and whether something failed in
// this run. Nothing reads them to ask yet. Main thread only.

#include "platform/settings_store.h"

#include <QDateTime>
#include <QString>

namespace hf {

class ReviewPrompter {
public:
    static inline const QString installDateKey = QStringLiteral("review.installDate");
    static inline const QString successCountKey = QStringLiteral("review.successCount");

    explicit ReviewPrompter(SettingsStore& defaults) : m_defaults(defaults) {}

    SettingsStore& defaults() const { return m_defaults; }

    // Stores `now` as the install date unless a value (of any type) is already stored.
    void recordInstallDateIfNeeded(const QDateTime& now);

    // Verified exports counted so far (0 when nothing is stored).
    qint64 successCount() const;
    // Counts one more verified export and returns the new count.
    qint64 incrementSuccessCount();

    // Something failed in this run of the process; memory only, never lowered.
    bool sessionIsSuppressed = false;

private:
    SettingsStore& m_defaults;
};

} // namespace hf
