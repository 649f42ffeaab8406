// The queue footer on a scripted batch queue: its controls in every queue state, the More menu,
// adding videos, and "Export all completed..." through a folder chooser the test answers; and the
// queue section's title.

#include "helpers_sidebar.h"

#include "sidebar/queue_footer.h"
#include "sidebar/sidebar_rows.h"
#include "support/test_support.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/layouts.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

using namespace hf;
using namespace hf::test;

namespace {

struct Shown {
    bool add, start, startEnabled, stop, addIcon, addIconEnabled, more;
    bool operator==(const Shown&) const = default;
};

QDebug operator<<(QDebug d, const Shown& s)
{
    return d << "add" << s.add << "start" << s.start << s.startEnabled << "stop" << s.stop << "icon" << s.addIcon
             << s.addIconEnabled << "more" << s.more;
}

char* toString(const Shown& s)
{
    QString text;
    QDebug(&text) << s;
    return qstrdup(qPrintable(text));
}

Shown shown(const QueueFooter& f)
{
    return {f.addButton()->isVisible(), f.startButton()->isVisible(), f.startButton()->isEnabled(),
            f.stopButton()->isVisible(), f.addIcon()->isVisible(), f.addIcon()->isEnabled(),
            f.moreButton()->isVisible()};
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The footer on the sidebar's colour, padded as the sidebar pads it.
struct Panel {
    QWidget panel;
    QueueFooter* footer;
    ScriptedFolderChooser* chooser = new ScriptedFolderChooser;

    explicit Panel(SidebarRig& rig)
    {
        ui::setBackground(&panel, ui::ColorName::Surface);
        auto* layout = new QVBoxLayout(&panel);
        layout->setContentsMargins(14, 14, 14, 14);
        footer = new QueueFooter(&rig.coordinator(), rig.queue.get(), rig.rig.defaults.get());
        footer->setFolderChooser(std::unique_ptr<FolderChooser>(chooser));
        footer->setRevealer([&rig](const QString& path) { rig.revealed << path; });
        layout->addWidget(footer);
        panel.resize(280, panel.sizeHint().height());
        panel.show();
    }
    void shoot(const QString& state)
    {
        QApplication::processEvents();
        panel.resize(280, panel.heightForWidth(280) > 0 ? panel.heightForWidth(280) : panel.sizeHint().height());
        QApplication::processEvents();
        saveScreenshot(panel.grab().toImage(), QStringLiteral("sidebar"), QStringLiteral("footer-") + state);
    }
};

} // namespace

class TestQueueFooter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        ui::Environment::applyToApplication(*qApp);
        ui::Environment::instance().setAppearance(ui::Appearance::dark);
    }
    void cleanup() { ui::Environment::instance().setTextSize(ui::TextSize::large); }

    void controlsFollowTheQueue()
    {
        SidebarRig rig;
        Panel panel(rig);
        QueueFooter& footer = *panel.footer;

        // Empty: only the wide "Add videos...", which sends the next pick to the queue.
        QCOMPARE(shown(footer), (Shown{true, false, false, false, false, true, false}));
        QCOMPARE(footer.addButton()->text(), QStringLiteral("Add videos..."));
        QCOMPARE(footer.addButton()->objectName(), QStringLiteral("batch.add"));
        panel.shoot(QStringLiteral("empty"));
        QTest::mouseClick(footer.addButton(), Qt::LeftButton);
        QCOMPARE(rig.coordinator().importTarget(), ImportTarget::queue);
        QVERIFY(rig.coordinator().isFileImporterPresented());

        // Ready: added videos wait; "Start" is enabled while one is pending.
        rig.queue->enqueue({rig.queueVideo("beach.mp4"), rig.queueVideo("storm.mp4")});
        QCOMPARE(shown(footer), (Shown{false, true, true, false, true, true, false}));
        QCOMPARE(footer.addIcon()->objectName(), QStringLiteral("batch.add"));
        QCOMPARE(footer.addIcon()->accessibleName(), QStringLiteral("Add videos..."));
        panel.shoot(QStringLiteral("ready"));

        // Running: "Stop", the add icon disabled, no More menu before a job is done or failed.
        rig.queueEngine.gate = makeGate();
        QTest::mouseClick(footer.startButton(), Qt::LeftButton);
        QVERIFY(rig.queue->isProcessingQueue());
        QCOMPARE(shown(footer), (Shown{false, false, true, true, true, false, false}));
        panel.shoot(QStringLiteral("running"));

        // "Stop" puts the job back; it is pending again and "Start" comes back.
        QTest::mouseClick(footer.stopButton(), Qt::LeftButton);
        QVERIFY(!rig.queue->isProcessingQueue());
        QCOMPARE(rig.queue->pendingJobs(), 2);
        QCOMPARE(shown(footer), (Shown{false, true, true, false, true, true, false}));

        // All done: "Start" disabled, the More menu with every item and the export enabled.
        rig.release();
        rig.queueEngine.gate.reset();
        QVERIFY(rig.runQueue());
        QCOMPARE(rig.queue->completedJobs(), 2);
        QCOMPARE(shown(footer), (Shown{false, true, false, false, true, true, true}));
        QMenu* more = footer.moreMenu();
        QCOMPARE(menuTexts(more),
                 (QStringList{"Retry failed", "Clear completed", "Clear all", "-", "Export all completed..."}));
        QVERIFY(menuItem(more, "Export all completed...")->isEnabled());
        panel.shoot(QStringLiteral("completed"));

        // A failure without any completed job: the More menu, the export disabled; "Retry failed"
        // makes the job pending and starts the queue.
        menuItem(more, "Clear completed")->trigger();
        QVERIFY(rig.queue->jobs().empty());
        QCOMPARE(shown(footer), (Shown{true, false, false, false, false, true, false}));
        rig.queueEngine.failure = QStringLiteral("The service could not separate this file.");
        rig.queue->enqueue({rig.queueVideo("silent.mp4")});
        QVERIFY(rig.runQueue());
        QCOMPARE(shown(footer), (Shown{false, true, false, false, true, true, true}));
        more = footer.moreMenu();
        QVERIFY(!menuItem(more, "Export all completed...")->isEnabled());
        rig.queueEngine.failure.reset();
        rig.queueEngine.gate = makeGate();
        menuItem(more, "Retry failed")->trigger();
        QVERIFY(rig.queue->isProcessingQueue());
        QVERIFY(rig.queue->jobs()[0].status.isWorking());
        // While running, a menu that shows still offers everything; "Clear all" empties the queue.
        more = footer.moreMenu();
        QCOMPARE(menuTexts(more).size(), 5);
        menuItem(more, "Clear all")->trigger();
        QVERIFY(rig.queue->jobs().empty());
        QVERIFY(!rig.queue->isProcessingQueue());
        QCOMPARE(shown(footer), (Shown{true, false, false, false, false, true, false}));
    }

    void controlsStackAtAccessibilitySizes()
    {
        SidebarRig rig;
        Panel panel(rig);
        rig.queue->enqueue({rig.queueVideo("beach.mp4")});
        QVERIFY(!panel.footer->controlRow()->isColumn());
        // In a row the primary button takes the free width.
        QVERIFY(panel.footer->startButton()->width() > panel.footer->width() / 2);
        ui::Environment::instance().setTextSize(ui::TextSize::accessibility2);
        QVERIFY(panel.footer->controlRow()->isColumn());
        panel.shoot(QStringLiteral("accessibility-size"));
    }

    void exportAllCompletedIntoAFolder()
    {
        SidebarRig rig;
        Panel panel(rig);
        QueueFooter& footer = *panel.footer;
        rig.queue->enqueue({rig.queueVideo("a/clip.mp4"), rig.queueVideo("b/clip.mp4"), rig.queueVideo("other.mov")});
        QVERIFY(rig.runQueue());
        QCOMPARE(rig.queue->completedJobs(), 3);
        const std::vector<BatchJob> jobs = rig.queue->jobs();
        rig.writeOutput(jobs[0], "first clip");
        rig.writeOutput(jobs[1], "second clip");
        rig.writeOutput(jobs[2], "other");

        QTemporaryDir out;
        QFile existing(out.filePath("clip (Hushframe).mp4"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("the user's old file");
        existing.close();

        // A window the size of a small main window, for the question to be seen in.
        panel.panel.resize(720, 480);
        // The chooser asks to export here, starting in the export folder preference.
        footer.exportAllCompleted();
        QCOMPARE(panel.chooser->requests, 1);
        QCOMPARE(panel.chooser->last.acceptLabel, QStringLiteral("Export here"));
        QVERIFY(!panel.chooser->last.startFolder.isEmpty());
        QVERIFY(panel.chooser->answer(out.path()));

        // The user's file under an output's name is asked about first, in the export's own words:
        // Escape and Return keep it and copy nothing; only Replace replaces it.
        const struct {
            Qt::Key key;   // the key typed, or none for a click on Replace
            bool replaced;
        } answers[] = {{Qt::Key_Escape, false}, {Qt::Key_Return, false}, {Qt::Key_unknown, true}};
        for (const auto& row : answers) {
            if (row.key != Qt::Key_Escape) {
                footer.exportAllCompleted();
                QVERIFY(panel.chooser->answer(out.path()));
            }
            QWidget* question = footer.replaceQuestion();
            QVERIFY(question && question->isVisible());
            if (row.key == Qt::Key_Escape)
                saveScreenshot(question->window()->grab().toImage(), QStringLiteral("sidebar"),
                               QStringLiteral("export-all-replace"));
            QCOMPARE(question->findChild<QLabel*>(QStringLiteral("export.replaceMessage"))->text(),
                     QStringLiteral("\u201cclip (Hushframe).mp4\u201d already exists in \u201c%1\u201d. Replace exports all 3 "
                                    "cleaned videos, replacing that file. Cancel exports none of them.")
                         .arg(QDir(out.path()).dirName()));
            if (row.key != Qt::Key_unknown)
                QTest::keyClick(question->window()->focusWidget(), row.key);
            else
                question->findChild<QAbstractButton*>(QStringLiteral("export.replace"))->click();
            QVERIFY(!footer.replaceQuestion() || !footer.replaceQuestion()->isVisible());
            if (!row.replaced) {
                QVERIFY(!footer.isExporting());
                QCOMPARE(footer.exportMessage(), QStringLiteral("Nothing was exported."));
                QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"clip (Hushframe).mp4"});
                QCOMPARE(readFile(out.filePath("clip (Hushframe).mp4")), QByteArray("the user's old file"));
            }
        }
        // The copies run on a worker thread; the footer says so meanwhile. Small copies on a busy
        // machine can finish before the chooser's answer returns, so the in-between state is read
        // only while it lasts.
        if (footer.isExporting()) {
            QVERIFY(footer.messageLabel()->isVisible());
            QVERIFY(!menuItem(footer.moreMenu(), "Export all completed...")->isEnabled());
        }
        QVERIFY(QTest::qWaitFor([&] { return !footer.isExporting(); }));

        // Every output is written, none over another; the user's file of that name is replaced.
        QCOMPARE(footer.exportMessage(),
                 QStringLiteral("Exported 3 cleaned videos to %1.").arg(QDir(out.path()).dirName()));
        QCOMPARE(footer.messageLabel()->text(), *footer.exportMessage());
        QStringList files = QDir(out.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files, (QStringList{"clip (Hushframe) 2.mp4", "clip (Hushframe).mp4", "other (Hushframe).mov"}));
        QCOMPARE(readFile(out.filePath("clip (Hushframe).mp4")), QByteArray("first clip"));
        QCOMPARE(readFile(out.filePath("clip (Hushframe) 2.mp4")), QByteArray("second clip"));
        QCOMPARE(rig.revealed, QStringList{out.path()});
        panel.shoot(QStringLiteral("exported"));

        // A cancelled chooser changes nothing, the message included.
        footer.exportAllCompleted();
        QVERIFY(panel.chooser->answer(std::nullopt));
        QVERIFY(!footer.isExporting());
        QCOMPARE(footer.exportMessage(),
                 QStringLiteral("Exported 3 cleaned videos to %1.").arg(QDir(out.path()).dirName()));

        // Every name taken: all are named, at the largest text size too; cancelled, the earlier
        // outcome no longer shows.
        panel.panel.resize(1000, 680);
        for (const auto& [size, name] : {std::pair{ui::TextSize::accessibility5, "largest"}, {ui::TextSize::large, "default"}}) {
            ui::Environment::instance().setTextSize(size);
            footer.exportAllCompleted();
            QVERIFY(panel.chooser->answer(out.path()));
            QCOMPARE(footer.replaceQuestion()->findChild<QLabel*>(QStringLiteral("export.replaceMessage"))->text(),
                     QStringLiteral("These files already exist in \u201c%1\u201d: \u201cclip (Hushframe).mp4\u201d, \u201cclip "
                                    "(Hushframe) 2.mp4\u201d, \u201cother (Hushframe).mov\u201d. Replace exports all 3 cleaned "
                                    "videos, replacing those files. Cancel exports none of them.")
                         .arg(QDir(out.path()).dirName()));
            saveScreenshot(panel.panel.grab().toImage(), QStringLiteral("sidebar"),
                           QStringLiteral("export-all-replace-several-") + QLatin1String(name));
            QTest::keyClick(footer.replaceQuestion()->window()->focusWidget(), Qt::Key_Return);
            QCOMPARE(footer.messageLabel()->text(), QStringLiteral("Nothing was exported."));
        }

        // A copy that fails says so, opens no folder, and leaves the copies before it.
        QVERIFY(QFile::remove(jobs[1].status.videoURL().toLocalFile()));
        QTemporaryDir second;
        footer.exportAllCompleted();
        QVERIFY(panel.chooser->answer(second.path()));
        QVERIFY(QTest::qWaitFor([&] { return !footer.isExporting(); }));
        QVERIFY2(footer.exportMessage()->startsWith(QStringLiteral("Export failed: Couldn't copy clip (Hushframe) 2.mp4")),
                 qPrintable(*footer.exportMessage()));
        QCOMPARE(rig.revealed.size(), 1);
        QCOMPARE(QDir(second.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"clip (Hushframe).mp4"});
        panel.shoot(QStringLiteral("export-failed"));

        // The message stays after the queue is emptied.
        rig.queue->clearAll();
        QVERIFY(footer.messageLabel()->isVisible());
        QVERIFY(footer.addButton()->isVisible());
        panel.shoot(QStringLiteral("empty-with-message"));
    }

    // Beside failed, running and waiting jobs, only the completed ones are copied and counted.
    void exportCountsOnlyTheCopiedVideos()
    {
        SidebarRig rig;
        Panel panel(rig);
        QueueFooter& footer = *panel.footer;
        QVERIFY(rig.makeMixedQueue());
        const std::vector<BatchJob> jobs = rig.queue->jobs();
        QCOMPARE(jobs.size(), size_t(5));
        rig.writeOutput(jobs[0], "first");
        rig.writeOutput(jobs[1], "second");

        QTemporaryDir out;
        footer.exportAllCompleted();
        QVERIFY(panel.chooser->answer(out.path()));
        QVERIFY(QTest::qWaitFor([&] { return !footer.isExporting(); }));
        QCOMPARE(footer.exportMessage(),
                 QStringLiteral("Exported 2 cleaned videos to %1.").arg(QDir(out.path()).dirName()));
        QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
        rig.release();
    }

    // The queue section is titled by its count from the first job on.
    void queueTitleCountsFromOne()
    {
        QCOMPARE(queueSectionTitle(0), QStringLiteral("Batch queue"));
        QCOMPARE(queueSectionTitle(1), QStringLiteral("Queue, 1 video"));
        QCOMPARE(queueSectionTitle(7), QStringLiteral("Queue, 7 videos"));
    }
};

QTEST_MAIN(TestQueueFooter)
#include "test_queue_footer.moc"
