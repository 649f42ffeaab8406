#include "coordinator/review_prompter.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace hf;

class TestReviewPrompter : public QObject {
    Q_OBJECT

private slots:
    // The install date is written on the first launch only, and never over a value of another
    // type; the success count starts at 0 and survives a restart.
    void countersAcrossLaunches()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath("settings.ini");
        const QDateTime firstLaunch(QDate(2026, 3, 1), QTime(9, 30, 15), Qt::UTC);
        {
            QSettingsStore defaults(ini);
            ReviewPrompter prompter(defaults);
            QVERIFY(!prompter.sessionIsSuppressed);
            QCOMPARE(prompter.successCount(), 0);
            prompter.recordInstallDateIfNeeded(firstLaunch);
            QCOMPARE(prompter.incrementSuccessCount(), 1);
            QCOMPARE(prompter.incrementSuccessCount(), 2);
            prompter.sessionIsSuppressed = true;
        }
        QSettingsStore defaults(ini);
        ReviewPrompter prompter(defaults);
        QVERIFY(!prompter.sessionIsSuppressed);
        prompter.recordInstallDateIfNeeded(firstLaunch.addDays(3));
        QCOMPARE(defaults.value(ReviewPrompter::installDateKey).toDateTime(), firstLaunch);
        QCOMPARE(prompter.successCount(), 2);
        QCOMPARE(prompter.incrementSuccessCount(), 3);

        MemorySettingsStore other;
        other.setValue(ReviewPrompter::installDateKey, QStringLiteral("yesterday"));
        ReviewPrompter(other).recordInstallDateIfNeeded(firstLaunch);
        QCOMPARE(other.value(ReviewPrompter::installDateKey), QVariant(QStringLiteral("yesterday")));
    }
};

QTEST_GUILESS_MAIN(TestReviewPrompter)
#include "test_review_prompter.moc"
