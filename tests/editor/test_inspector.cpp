// The inspector column in each state of the coordinator and the exporter, with a picture of each
// saved under screenshots/inspector/.

#include "editor/ambience_control.h"
#include "editor/copyright_check_card_view.h"
#include "editor/export_options.h"
#include "editor/exporter.h"
#include "editor/inspector_view.h"
#include "editor/processing_block.h"
#include "helpers_coordinator.h"

#include "support/test_support.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;

namespace {

ClaimCheck songCheck()
{
    ClaimCheck check;
    check.status = ClaimCheckStatus::match;
    check.songs = std::vector<ClaimCheckSong>{
        {QStringLiteral("Harbour Lights"), QStringLiteral("The Quay"), {}, {}, {{12, 31.5}, {75, 92.4}},
         ClaimCheckVerdict::gone},
        {QStringLiteral("Night Drive"), {}, {}, {}, {{140, 171}}, ClaimCheckVerdict::ambienceZero},
        {QStringLiteral("Chorus of the Long Evening Tide"), QStringLiteral("Mariner Collective"), {}, {}, {},
         ClaimCheckVerdict::stillThere},
    };
    return check;
}

// A save dialog the test answers.
class AnsweringDialog final : public ExportSaveDialog {
public:
    void open(const Request&, Answer answer) override { m_pending = std::move(answer); }
    void dismiss() override { m_pending = nullptr; }
    bool isOpen() const { return bool(m_pending); }
    void answer(std::optional<Choice> choice)
    {
        Answer pending = std::move(m_pending);
        m_pending = nullptr;
        pending(std::move(choice));
    }

private:
    Answer m_pending;
};

} // namespace

class TestInspector : public QObject {
    Q_OBJECT

    std::unique_ptr<test::CoordinatorRig> rig;
    std::unique_ptr<Exporter> exporter;
    std::unique_ptr<InspectorView> inspector;

    EngineCoordinator& coordinator() { return *rig->coordinator; }

    // Lays the column out at the main window's width and saves its picture.
    void shoot(const QString& state, int height = 900)
    {
        inspector->resize(336, height);
        // The progress bar eases to a new fraction in 0.3 s.
        QTest::qWait(350);
        test::saveScreenshot(inspector->grab().toImage(), QStringLiteral("inspector"), state);
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<test::CoordinatorRig>();
        exporter = std::make_unique<Exporter>(rig->defaults.get());
        inspector = std::make_unique<InspectorView>(rig->coordinator.get(), rig->player.get(), exporter.get(),
                                                    rig->defaults.get());
        inspector->resize(336, 900);
        inspector->show();
        QVERIFY(QTest::qWaitForWindowExposed(inspector.get()));
    }
    void cleanup()
    {
        ui::Environment::instance().clearOverrides();
        inspector.reset();
        exporter.reset();
        rig.reset();
    }

    // Before a result: "Separating" everywhere while a clean runs and "Not separated yet" while
    // none does, the control takes no input, no export block, and the bottom area only while
    // something runs.
    void beforeAResult()
    {
        for (Stem stem : allStems)
            QCOMPARE(inspector->legendRow(stem)->value(), QStringLiteral("Not separated yet"));
        QVERIFY(!inspector->ambienceControl()->isEnabled());
        QVERIFY(!inspector->exportOptions()->isVisibleTo(inspector.get()));
        QVERIFY(!inspector->bottomArea()->isVisibleTo(inspector.get()));
        shoot(QStringLiteral("idle"));

        coordinator().setProcessing(true);
        coordinator().setProgress(ProcessingProgress{ProcessingStage::Kind::uploading, 0.0, QStringLiteral("Uploading the soundtrack")});
        QVERIFY(inspector->bottomArea()->isVisibleTo(inspector.get()));
        for (Stem stem : allStems)
            QCOMPARE(inspector->legendRow(stem)->value(), QStringLiteral("Separating"));
        auto* block = inspector->findChild<ProcessingBlock*>();
        QCOMPARE(block->title(), QStringLiteral("Making your 30-second preview"));
        QTRY_COMPARE(block->bar()->drawnFraction(), 0.03);   // a sliver even at 0
        coordinator().setProgress(ProcessingProgress{ProcessingStage::Kind::uploading, 0.42, QStringLiteral("Uploading the soundtrack")});
        QTRY_COMPARE(block->bar()->drawnFraction(), 0.42);
        QVERIFY(inspector->findChildren<QLabel*>().size() > 0);
        bool percentShown = false;
        for (QLabel* label : block->findChildren<QLabel*>())
            percentShown = percentShown || label->text() == QStringLiteral("42%");
        QVERIFY(percentShown);
        shoot(QStringLiteral("processing"));

        // Escape is Cancel while the block shows.
        inspector->activateWindow();
        QTest::keyClick(inspector.get(), Qt::Key_Escape);
        QVERIFY(!coordinator().isProcessing());
        QVERIFY(!inspector->bottomArea()->isVisibleTo(inspector.get()));
    }

    void withAResult()
    {
        QVERIFY(rig->openAndPreview(rig->video(QStringLiteral("Harbour.mp4"))));
        QCOMPARE(inspector->legendRow(Stem::dialogue)->value(), QStringLiteral("Kept"));
        QCOMPARE(inspector->legendRow(Stem::music)->value(), QStringLiteral("Removed"));
        QCOMPARE(inspector->legendRow(Stem::effects)->value(), QStringLiteral("Mixed in"));
        QVERIFY(inspector->ambienceControl()->isEnabled());
        QVERIFY(inspector->exportOptions()->isVisibleTo(inspector.get()));
        shoot(QStringLiteral("preview"));

        // The coordinator receives committed levels only; at 0 the effects are still "mixed in".
        std::vector<double> levels;
        connect(inspector->ambienceControl(), &AmbienceControl::changeRequested,
                [&levels](double level) { levels.push_back(level); });
        inspector->ambienceControl()->propose(0.013);
        QCOMPARE(coordinator().settings().ambience, 0.0);
        QCOMPARE(inspector->legendRow(Stem::effects)->value(), QStringLiteral("Mixed in"));
        QCOMPARE(levels, std::vector<double>{0.0});
        coordinator().setRemixing(true);
        QVERIFY(inspector->ambienceControl()->isWorking());
        shoot(QStringLiteral("remixing"));
        coordinator().setRemixing(false);

        // A full clean running while the preview shows. Its bar starts afresh, not swept back
        // from where the preview's ended.
        auto* bar = inspector->findChild<ProcessingBlock*>()->bar();
        QCOMPARE(coordinator().progress().fractionCompleted, 1.0);
        coordinator().setProcessing(true);
        coordinator().setProcessingKind(JobKind::full);
        coordinator().setProgress(ProcessingProgress{ProcessingStage::Kind::extractingAudio, 0.0, QStringLiteral("Reading the soundtrack")});
        QCOMPARE(bar->drawnFraction(), 0.03);
        coordinator().setProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.63, QStringLiteral("Separating dialogue and music")});
        QTRY_COMPARE(bar->drawnFraction(), 0.63);
        shoot(QStringLiteral("processing-full"));
        QCOMPARE(inspector->findChild<ProcessingBlock*>()->title(), QStringLiteral("Cleaning the full video"));
        coordinator().cancelProcessing();
    }

    // The export options store each choice at once.
    void exportOptions()
    {
        QVERIFY(rig->openAndPreview(rig->video(QStringLiteral("Harbour.mp4"))));
        ExportOptionsView* options = inspector->exportOptions();
        auto* lossless = options->findChild<QAbstractButton*>(QStringLiteral("export.option.lossless"));
        auto* source = options->findChild<QAbstractButton*>(QStringLiteral("export.option.source"));
        auto* stems = options->findChild<QAbstractButton*>(QStringLiteral("export.option.stems"));
        QVERIFY(source->isChecked() && !lossless->isChecked() && !stems->isChecked());
        QTest::mouseClick(lossless, Qt::LeftButton, {}, QPoint(lossless->width() - 4, lossless->height() / 2));
        QVERIFY(!source->isChecked() && lossless->isChecked());
        QCOMPARE(SeparationSettings::load(*rig->defaults).audioQuality, AudioQuality::losslessPCM);
        stems->click();
        QCOMPARE(ExportPreferences::includeStems(*rig->defaults), true);
        QVERIFY(stems->isChecked());
        stems->click();
        QCOMPARE(ExportPreferences::includeStems(*rig->defaults), false);

        auto* picker = options->findChild<QComboBox*>(QStringLiteral("export.folder"));
        QCOMPARE(picker->count(), 3);
        QCOMPARE(picker->currentData().toString(), QStringLiteral("movies"));
        options->chooseFolder(ExportPreferences::Folder::downloads);
        QCOMPARE(rig->defaults->string(ExportPreferences::folderKey), QStringLiteral("downloads"));
        QCOMPARE(picker->currentData().toString(), QStringLiteral("downloads"));
        // A stored word that names no folder, or one in other letters, starts in the videos
        // folder (the home folder when there is none).
        for (const char* stored : {"Downloads", "attic", ""}) {
            rig->defaults->setValue(ExportPreferences::folderKey, QString::fromLatin1(stored));
            const auto videos = ExportPreferences::directory(ExportPreferences::Folder::movies);
            QCOMPARE(ExportPreferences::folderPath(*rig->defaults), videos.value_or(QDir::homePath()));
        }
    }

    // The save dialog stores the stems choice too: the row shows the stored value at once, and
    // its next click turns that value off.
    void stemsRowFollowsTheSaveDialog()
    {
        QVERIFY(rig->openFullResult(rig->video(QStringLiteral("Harbour.mp4"))));
        auto* stems = inspector->exportOptions()->findChild<QAbstractButton*>(QStringLiteral("export.option.stems"));
        QVERIFY(!stems->isChecked());
        auto* dialog = new AnsweringDialog;
        exporter->setSaveDialog(std::unique_ptr<ExportSaveDialog>(dialog));
        QTemporaryDir folder;
        exporter->exportResult(rig->coordinator.get());
        QVERIFY(QTest::qWaitFor([&] { return dialog->isOpen(); }, 60000));
        dialog->answer(ExportSaveDialog::Choice{folder.filePath(QStringLiteral("Clean.mp4")), false, true});
        QVERIFY(QTest::qWaitFor([&] { return ExportPreferences::includeStems(*rig->defaults); }));
        QVERIFY(stems->isChecked());
        QVERIFY(QTest::qWaitFor([&] { return exporter->state().kind != Exporter::State::Kind::rendering; }, 60000));
        QVERIFY(stems->isChecked());
        stems->click();
        QVERIFY(!stems->isChecked());
        QCOMPARE(ExportPreferences::includeStems(*rig->defaults), false);

        // So does the folder the save dialog starts in, when stored elsewhere.
        auto* picker = inspector->exportOptions()->findChild<QComboBox*>(QStringLiteral("export.folder"));
        rig->defaults->setValue(ExportPreferences::folderKey, QStringLiteral("desktop"));
        QCOMPARE(picker->currentData().toString(), QStringLiteral("desktop"));
    }

    // In the main window's dark, the "Save to" picker is drawn by the kit: its face is the dark
    // control fill, its text light.
    void folderPickerInTheDark()
    {
        QVERIFY(rig->openAndPreview(rig->video(QStringLiteral("Harbour.mp4"))));
        ui::setWindowAppearance(inspector.get(), ui::Appearance::dark);
        auto* picker = inspector->exportOptions()->findChild<QComboBox*>(QStringLiteral("export.folder"));
        QCoreApplication::processEvents();
        const QImage face = picker->grab().toImage();
        const auto near = [](QColor a, QColor b) {
            return std::abs(a.red() - b.red()) <= 6 && std::abs(a.green() - b.green()) <= 6
                && std::abs(a.blue() - b.blue()) <= 6;
        };
        const QColor fill = ui::color(ui::ColorName::ControlFill, ui::Appearance::dark);
        QVERIFY2(near(face.pixelColor(3, face.height() / 2), fill), qPrintable(face.pixelColor(3, face.height() / 2).name()));
        int light = 0;
        for (int x = 0; x < face.width(); ++x)
            for (int y = 0; y < face.height(); ++y)
                light += qGray(face.pixel(x, y)) > 180 ? 1 : 0;
        QVERIFY(light > 10);                               // the folder's name, in light ink
        QVERIFY(light < face.width() * face.height() / 4); // on a dark face
        shoot(QStringLiteral("preview-dark"));
    }

    void songCheckStates()
    {
        QVERIFY(rig->openFullResult(rig->video(QStringLiteral("Harbour.mp4"))));
        CopyrightCheckCardView* card = inspector->songCheckCard();
        QCOMPARE(card->card().kind, CopyrightCheckCard::Kind::available);
        shoot(QStringLiteral("songcheck-available"));
        coordinator().setRequestingSongCheck(true);
        shoot(QStringLiteral("songcheck-checking"));
        coordinator().setRequestingSongCheck(false);

        coordinator().modifyCurrentResult([](SeparationResult& r) { r.claimCheck = songCheck(); });
        QCOMPARE(card->card().kind, CopyrightCheckCard::Kind::songs);
        shoot(QStringLiteral("songcheck-songs"), 1200);
        coordinator().setAmbience(0);
        shoot(QStringLiteral("songcheck-songs-ambience-zero"), 1200);

        ClaimCheck clear;
        clear.status = ClaimCheckStatus::clear;
        coordinator().modifyCurrentResult([&](SeparationResult& r) { r.claimCheck = clear; });
        shoot(QStringLiteral("songcheck-no-songs"));
        ClaimCheck failed;
        failed.status = ClaimCheckStatus::notChecked;
        coordinator().modifyCurrentResult([&](SeparationResult& r) { r.claimCheck = failed; });
        shoot(QStringLiteral("songcheck-failed"));
        coordinator().modifyCurrentResult([&](SeparationResult& r) { r.claimCheck.reset(); });
        coordinator().setSongCheckRefusedResultID(coordinator().currentResult()->id);
        shoot(QStringLiteral("songcheck-expired"));
    }

    // The bottom area follows the exporter: present for every state but idle.
    void exporting()
    {
        QVERIFY(rig->openFullResult(rig->video(QStringLiteral("Harbour.mp4"))));
        exporter->setState(Exporter::State::rendering());
        QVERIFY(inspector->bottomArea()->isVisibleTo(inspector.get()));
        shoot(QStringLiteral("exporting"));
        exporter->setState(Exporter::State::saved(QStringLiteral("/home/someone/Videos/Harbour (Hushframe).mp4")));
        shoot(QStringLiteral("exported"));
        QStringList revealed;
        exporter->setRevealer([&revealed](const QString& path) { revealed << path; });
        inspector->findChild<QAbstractButton*>(QStringLiteral("export.saved"))->click();
        QCOMPARE(revealed, QStringList{"/home/someone/Videos/Harbour (Hushframe).mp4"});
        exporter->setState(Exporter::State::failed(
            QStringLiteral("Couldn't save Harbour (Hushframe).mp4: No space left on device")));
        shoot(QStringLiteral("export-failed"));
        exporter->setState(Exporter::State::idle());
        QVERIFY(!inspector->bottomArea()->isVisibleTo(inspector.get()));
    }

    // At the accessibility text sizes the legend puts the name above the value.
    void largeText()
    {
        QVERIFY(rig->openAndPreview(rig->video(QStringLiteral("Harbour.mp4"))));
        QVERIFY(!inspector->legendRow(Stem::effects)->isStacked());
        ui::Environment::instance().setTextSize(ui::TextSize::accessibility3);
        QVERIFY(inspector->legendRow(Stem::effects)->isStacked());
        coordinator().setProcessing(true);
        coordinator().setProcessingKind(JobKind::full);
        coordinator().setProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.3, QStringLiteral("Separating dialogue and music")});
        shoot(QStringLiteral("accessibility-size"), 1600);
    }
};

QTEST_MAIN(TestInspector)
#include "test_inspector.moc"
