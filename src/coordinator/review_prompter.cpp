#include "coordinator/review_prompter.h"

namespace hf {

void ReviewPrompter::recordInstallDateIfNeeded(const QDateTime& now)
{
    if (m_defaults.contains(installDateKey))
        return;
    m_defaults.setValue(installDateKey, now);
}

qint64 ReviewPrompter::successCount() const
{
    return m_defaults.integer(successCountKey).value_or(0);
}

qint64 ReviewPrompter::incrementSuccessCount()
{
    const qint64 count = successCount() + 1;
    m_defaults.setValue(successCountKey, count);
    return count;
}

} // namespace hf
