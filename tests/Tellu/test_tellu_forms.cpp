// The kit's feedback and survey forms, driven as a user would, sending to the local server's
// feedback endpoint through the kit's shared client.

#include "Tellu/tellu.h"
#include "Tellu/tellu_controls.h"
#include "Tellu/tellu_survey_view.h"
#include "Tellu/tellu_view.h"

#include "support/local_server.h"
#include "support/test_support.h"

#include <QAbstractButton>
#include <QDir>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QPlainTextEdit>
#include <QTest>

#include <memory>

using hf::test::LocalServer;
using hf::test::saveScreenshot;

namespace {

// What the server stored, by file name.
QMap<QString, QJsonObject> stored(const LocalServer& server)
{
    QDir folder(server.dataDir() + QStringLiteral("/feedback"));
    QMap<QString, QJsonObject> bodies;
    for (const QString& name : folder.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            bodies.insert(name, QJsonDocument::fromJson(file.readAll()).object());
    }
    return bodies;
}

template<class T>
T* part(QWidget* root, const char* name)
{
    auto* found = root->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        throw std::runtime_error(std::string("no widget named ") + name);
    return found;
}

QImage picture(QWidget* widget)
{
    widget->resize(widget->sizeHint().expandedTo(QSize(400, 0)));
    widget->show();
    QCoreApplication::processEvents();
    return widget->grab().toImage();
}

} // namespace

class TestTelluForms : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> server;
    QMap<QString, QJsonObject> before;

    // The one submission stored since the last call.
    QJsonObject latest()
    {
        const auto now = stored(*server);
        QJsonObject found;
        int added = 0;
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            if (!before.contains(it.key())) {
                found = it.value();
                ++added;
            }
        before = now;
        if (added != 1)
            throw std::runtime_error("expected exactly one new submission");
        return found;
    }

    TelluConfig kitConfig() const
    {
        return TelluConfig{server->baseUrl().resolved(QUrl(QStringLiteral("/feedback"))), QStringLiteral("Hushframe"),
                           false, std::nullopt, std::nullopt};
    }

private Q_SLOTS:
    void initTestCase()
    {
        server = std::make_unique<LocalServer>();
        Tellu::configure(kitConfig());
    }

    void cleanup()
    {
        server->clearFaults();
        before = stored(*server);
    }

    void cleanupTestCase()
    {
        // Connections kept alive would hold the server's stop until they time out.
        for (auto* session : QCoreApplication::instance()->findChildren<QNetworkAccessManager*>())
            session->clearConnectionCache();
        server.reset();
    }

    void theFeedbackFormSendsWhatTheUserMeant()
    {
        // The form's own endpoint is ignored: only the tint comes from it.
        TelluConfig formConfig = kitConfig();
        formConfig.endpointURL = QUrl(QStringLiteral("http://127.0.0.1:9/elsewhere"));
        formConfig.tintColor = QColor(0x6a, 0x3d, 0xd8);
        TelluView form(formConfig);
        auto* send = part<QAbstractButton>(&form, "tellu.feedback.send");
        auto* message = part<QPlainTextEdit>(&form, "tellu.feedback.message");
        auto* email = part<QLineEdit>(&form, "tellu.feedback.email");
        auto* category = part<TelluMenuPicker>(&form, "tellu.feedback.category");
        saveScreenshot(picture(&form), "feedback", "form-empty");

        // Nothing but blanks and line breaks: no sending.
        QVERIFY(!send->isEnabled());
        message->setPlainText(QStringLiteral(" \n\t "));
        QVERIFY(!send->isEnabled());

        message->setPlainText(QStringLiteral("\n  The export  button\nis hidden.  \n"));
        QTest::keyClicks(email, QStringLiteral("  me@example.com "));
        QCOMPARE(category->entries(), (QStringList{"None", "General", "Bug Report", "Feature Request", "Other"}));
        category->menu()->actions().at(3)->trigger();
        QCOMPARE(category->text(), QStringLiteral("Feature Request"));
        QVERIFY(send->isEnabled());
        saveScreenshot(picture(&form), "feedback", "form-filled");

        QTest::mouseClick(send, Qt::LeftButton);
        QVERIFY(form.isSubmitting());
        QVERIFY(!send->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return form.isSuccess(); }));
        QVERIFY(!form.isSubmitting());
        const QJsonObject sent = latest();
        QCOMPARE(sent.value("message").toString(), QStringLiteral("The export  button\nis hidden."));
        QCOMPARE(sent.value("email").toString(), QStringLiteral("me@example.com"));
        QCOMPARE(sent.value("category").toString(), QStringLiteral("featureRequest"));
        QVERIFY(!sent.contains("metadata"));
        // Without a dismiss action the thank-you view has no Done button.
        QVERIFY(!form.findChild<QAbstractButton*>(QStringLiteral("tellu.success.done")));
        saveScreenshot(picture(&form), "feedback", "form-sent");
    }

    void theFeedbackFormLeavesOutWhatWasNotGiven()
    {
        TelluView form(kitConfig());
        part<QPlainTextEdit>(&form, "tellu.feedback.message")->setPlainText(QStringLiteral("Short"));
        QTest::keyClicks(part<QLineEdit>(&form, "tellu.feedback.email"), QStringLiteral("   "));
        // A category chosen and then set back to None.
        auto* category = part<TelluMenuPicker>(&form, "tellu.feedback.category");
        category->choose(2);
        category->choose(0);
        form.submit();
        QVERIFY(QTest::qWaitFor([&] { return form.isSuccess(); }));
        const QJsonObject sent = latest();
        QCOMPARE(sent.value("message").toString(), QStringLiteral("Short"));
        QVERIFY(!sent.contains("email"));
        QVERIFY(!sent.contains("category"));
    }

    void aFailedFeedbackKeepsTheFormAndSaysWhy()
    {
        bool dismissed = false;
        TelluView form(kitConfig(), [&] { dismissed = true; });
        auto* send = part<QAbstractButton>(&form, "tellu.feedback.send");
        auto* message = part<QPlainTextEdit>(&form, "tellu.feedback.message");
        auto* error = part<QLabel>(&form, "tellu.feedback.error");
        message->setPlainText(QStringLiteral("Crash on export"));

        server->addFault(QJsonObject{{"path", "/feedback"}, {"status", 500}, {"times", 1}});
        form.submit();
        QVERIFY(QTest::qWaitFor([&] { return !form.isSubmitting(); }));
        QVERIFY(!form.isSuccess());
        QCOMPARE(form.errorMessage(), QStringLiteral("Server error (500). Please try again later."));
        QVERIFY(error->isVisibleTo(&form));
        QCOMPARE(error->text(), *form.errorMessage());
        QCOMPARE(message->toPlainText(), QStringLiteral("Crash on export"));
        QVERIFY(send->isEnabled());
        saveScreenshot(picture(&form), "feedback", "form-error");

        // The next attempt clears the line as it starts, and shows the spinner while it runs.
        server->addFault(QJsonObject{{"path", "/feedback"}, {"delayMs", 300}, {"times", 1}});
        QTest::mouseClick(send, Qt::LeftButton);
        QVERIFY(!form.errorMessage());
        QVERIFY(!error->isVisibleTo(&form));
        QVERIFY(form.findChild<TelluSpinner*>()->isVisibleTo(&form));
        saveScreenshot(picture(&form), "feedback", "form-sending");
        QVERIFY(QTest::qWaitFor([&] { return form.isSuccess(); }));
        latest();
        saveScreenshot(picture(&form), "feedback", "form-sent-with-done");
        QTest::mouseClick(part<QAbstractButton>(&form, "tellu.success.done"), Qt::LeftButton);
        QVERIFY(dismissed);
        QVERIFY(form.isSuccess());
    }

    void aSurveyWithoutRequiredQuestionsSendsAtOnce()
    {
        // No questions: the title alone, without metadata.
        TelluSurveyView empty(kitConfig(), {});
        QCOMPARE(empty.title(), QStringLiteral("Quick Survey"));
        QVERIFY(empty.canSubmit());
        empty.submit();
        QVERIFY(QTest::qWaitFor([&] { return empty.isSuccess(); }));
        QJsonObject sent = latest();
        QCOMPARE(sent.value("message").toString(), QStringLiteral("Quick Survey"));
        QVERIFY(!sent.contains("metadata") && !sent.contains("email") && !sent.contains("category"));

        // Text questions only: nothing typed sends no metadata; blanks are sent as typed.
        TelluSurveyView texts(kitConfig(), QStringLiteral("About you"),
                              {TelluSurveyQuestion::text(QStringLiteral("Anything else?")),
                               TelluSurveyQuestion::text(QStringLiteral("Job"), QStringLiteral("Editor, producer…"))});
        auto fields = texts.findChildren<QLineEdit*>(QStringLiteral("tellu.survey.text"));
        QCOMPARE(fields.size(), 2);
        QCOMPARE(fields[0]->placeholderText(), QStringLiteral("Optional"));
        QCOMPARE(fields[1]->placeholderText(), QStringLiteral("Editor, producer…"));
        QVERIFY(texts.canSubmit());
        QTest::keyClicks(fields[0], QStringLiteral("   "));
        texts.submit();
        QVERIFY(QTest::qWaitFor([&] { return texts.isSuccess(); }));
        sent = latest();
        QCOMPARE(sent.value("message").toString(), QStringLiteral("About you"));
        QCOMPARE(sent.value("metadata").toObject(), (QJsonObject{{"Anything else?", "   "}}));
    }

    void aSurveyNeedsItsRatingsAndChoices()
    {
        bool dismissed = false;
        TelluSurveyView survey(
            kitConfig(), QStringLiteral("How was your first clean?"),
            {TelluSurveyQuestion::rating(QStringLiteral("How likely are you to recommend us?"), 10),
             TelluSurveyQuestion::choice(QStringLiteral("What do you clean most?"),
                                         {QStringLiteral("Films"), QStringLiteral("Vlogs"), QStringLiteral("Lectures")}),
             TelluSurveyQuestion::rating(QStringLiteral("Sound quality"), 5),
             TelluSurveyQuestion::text(QStringLiteral("Anything else?"))},
            [&] { dismissed = true; });
        saveScreenshot(picture(&survey), "feedback", "survey-empty");
        auto rows = survey.findChildren<TelluRatingRow*>();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0]->chipCount(), 10);
        QCOMPARE(rows[0]->chip(10)->text(), QStringLiteral("10"));
        QCOMPARE(rows[1]->chipCount(), 5);
        // Rating and choice questions carry the required mark, text questions do not.
        const auto labels = survey.findChildren<QLabel*>(QStringLiteral("tellu.survey.label"));
        QCOMPARE(labels.size(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(labels[i]->text().endsWith(u'*' + QStringLiteral("</span>")), i < 3);
            QCOMPARE(labels[i]->accessibleDescription(), i < 3 ? QStringLiteral("Required") : QString());
        }
        auto* picker = survey.findChild<TelluMenuPicker*>(QStringLiteral("tellu.survey.choice"));
        QCOMPARE(picker->text(), QStringLiteral("Select…"));
        auto* submit = part<QAbstractButton>(&survey, "tellu.survey.submit");
        QVERIFY(!submit->isEnabled());

        // A chip chosen, then chosen again: the answer is cleared.
        QTest::mouseClick(rows[1]->chip(3), Qt::LeftButton);
        QCOMPARE(survey.answer(QStringLiteral("Sound quality")), QStringLiteral("3"));
        QVERIFY(rows[1]->chip(3)->isChecked());
        QTest::mouseClick(rows[1]->chip(3), Qt::LeftButton);
        QCOMPARE(survey.answer(QStringLiteral("Sound quality")), QString());
        QVERIFY(!rows[1]->chip(3)->isChecked());
        QTest::mouseClick(rows[1]->chip(4), Qt::LeftButton);
        QTest::mouseClick(rows[1]->chip(2), Qt::LeftButton);
        QCOMPARE(survey.answer(QStringLiteral("Sound quality")), QStringLiteral("2"));

        QTest::mouseClick(rows[0]->chip(9), Qt::LeftButton);
        picker->menu()->actions().at(2)->trigger();
        QCOMPARE(survey.answer(QStringLiteral("What do you clean most?")), QStringLiteral("Vlogs"));
        QVERIFY(submit->isEnabled());
        // Back to the placeholder: unanswered again.
        picker->menu()->actions().at(0)->trigger();
        QCOMPARE(survey.answer(QStringLiteral("What do you clean most?")), QString());
        QVERIFY(!submit->isEnabled());
        picker->menu()->actions().at(1)->trigger();
        QVERIFY(submit->isEnabled());
        saveScreenshot(picture(&survey), "feedback", "survey-answered");

        // A failure keeps every answer and says why.
        server->addFault(QJsonObject{{"path", "/feedback"}, {"status", 503}, {"times", 1}});
        QTest::mouseClick(submit, Qt::LeftButton);
        QVERIFY(survey.isSubmitting());
        QVERIFY(!submit->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return !survey.isSubmitting(); }));
        QCOMPARE(survey.errorMessage(), QStringLiteral("Server error (503). Please try again later."));
        QVERIFY(submit->isEnabled());
        QCOMPARE(survey.answer(QStringLiteral("How likely are you to recommend us?")), QStringLiteral("9"));
        saveScreenshot(picture(&survey), "feedback", "survey-error");

        QTest::mouseClick(submit, Qt::LeftButton);
        QVERIFY(!survey.errorMessage());
        QVERIFY(QTest::qWaitFor([&] { return survey.isSuccess(); }));
        const QJsonObject sent = latest();
        QCOMPARE(sent.value("message").toString(), QStringLiteral("How was your first clean?"));
        // Only the answered questions, keyed by label; the empty text is left out.
        QCOMPARE(sent.value("metadata").toObject(), (QJsonObject{{"How likely are you to recommend us?", "9"},
                                                                  {"What do you clean most?", "Films"},
                                                                  {"Sound quality", "2"}}));
        saveScreenshot(picture(&survey), "feedback", "survey-sent");
        QTest::mouseClick(part<QAbstractButton>(&survey, "tellu.success.done"), Qt::LeftButton);
        QVERIFY(dismissed);
    }

    // A text typed and then erased is no answer: it is not sent, not even as an empty one.
    void anAnswerTypedThenClearedIsNotSent()
    {
        TelluSurveyView survey(kitConfig(), QStringLiteral("Second thoughts"),
                               {TelluSurveyQuestion::rating(QStringLiteral("Score"), 5),
                                TelluSurveyQuestion::text(QStringLiteral("Why?")),
                                TelluSurveyQuestion::text(QStringLiteral("Anything else?"))});
        survey.show();
        auto fields = survey.findChildren<QLineEdit*>(QStringLiteral("tellu.survey.text"));
        QCOMPARE(fields.size(), 2);
        QTest::mouseClick(survey.findChild<TelluRatingRow*>()->chip(4), Qt::LeftButton);
        QTest::keyClicks(fields[0], QStringLiteral("Too loud"));
        QTest::keyClicks(fields[1], QStringLiteral("No"));
        QCOMPARE(survey.answer(QStringLiteral("Why?")), QStringLiteral("Too loud"));
        for (int i = 0; i < 8; ++i)
            QTest::keyClick(fields[0], Qt::Key_Backspace);
        QCOMPARE(fields[0]->text(), QString());
        QCOMPARE(survey.answer(QStringLiteral("Why?")), QString());
        QTest::keyClick(fields[1], Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(fields[1], Qt::Key_Delete);
        QCOMPARE(survey.answer(QStringLiteral("Anything else?")), QString());
        QVERIFY(survey.canSubmit());
        survey.submit();
        QVERIFY(QTest::qWaitFor([&] { return survey.isSuccess(); }));
        QCOMPARE(latest().value("metadata").toObject(), (QJsonObject{{"Score", "4"}}));
    }

    void questionsWithOneLabelShareOneAnswer()
    {
        TelluSurveyView survey(kitConfig(), QStringLiteral("Shared"),
                               {TelluSurveyQuestion::rating(QStringLiteral("Score"), 5),
                                TelluSurveyQuestion::text(QStringLiteral("Score")),
                                TelluSurveyQuestion::rating(QStringLiteral("Score"), 5)});
        auto rows = survey.findChildren<TelluRatingRow*>();
        auto* field = survey.findChild<QLineEdit*>(QStringLiteral("tellu.survey.text"));
        QTest::mouseClick(rows[0]->chip(4), Qt::LeftButton);
        QVERIFY(rows[1]->chip(4)->isChecked());
        QCOMPARE(field->text(), QStringLiteral("4"));

        // A text that is not a whole number shows no chip chosen and leaves the ratings unanswered
        // in the eyes of the chips, though the label holds an answer.
        field->clear();
        QTest::keyClicks(field, QStringLiteral("four"));
        QVERIFY(!rows[0]->selected() && !rows[1]->selected());
        QVERIFY(survey.canSubmit());
        survey.submit();
        QVERIFY(QTest::qWaitFor([&] { return survey.isSuccess(); }));
        QCOMPARE(latest().value("metadata").toObject(), (QJsonObject{{"Score", "four"}}));
    }

    // The send and done buttons' titles are readable on any tint, dark or light.
    void buttonTitlesContrastWithTheirTint()
    {
        for (const QColor& tint : {QColor(245, 245, 240), QColor(20, 90, 200)}) {
            TelluProminentButton button(QStringLiteral("MMMMMMMM"), tint);
            button.resize(160, 32);
            const QImage image = button.grab().toImage();
            int far = 0;
            for (int x = 0; x < image.width(); ++x)
                for (int y = 0; y < image.height(); ++y) {
                    const QColor pixel = image.pixelColor(x, y);
                    if (std::abs(qGray(pixel.rgb()) - qGray(tint.rgb())) > 90)
                        ++far;
                }
            QVERIFY2(far > 40, qPrintable(tint.name()));
        }
    }

    void ratingScalesOutsideTheUsualRange()
    {
        // A maximum below 1 has nothing to choose: no chips, and it does not hold the survey back.
        TelluSurveyView none(kitConfig(), QStringLiteral("Odd"),
                             {TelluSurveyQuestion::rating(QStringLiteral("Broken"), 0),
                              TelluSurveyQuestion::rating(QStringLiteral("Negative"), -3)});
        for (auto* row : none.findChildren<TelluRatingRow*>())
            QCOMPARE(row->chipCount(), 0);
        QVERIFY(none.canSubmit());

        // One chip; and a huge maximum is cut to a row that can be drawn.
        TelluSurveyView sizes(kitConfig(), QStringLiteral("Sizes"),
                              {TelluSurveyQuestion::rating(QStringLiteral("One"), 1),
                               TelluSurveyQuestion::rating(QStringLiteral("Huge"), 2'000'000'000)});
        const auto rows = sizes.findChildren<TelluRatingRow*>();
        QCOMPARE(rows[0]->chipCount(), 1);
        QCOMPARE(rows[1]->chipCount(), TelluRatingRow::largestMax);
        QVERIFY(!sizes.canSubmit());
    }
};

QTEST_MAIN(TestTelluForms)
#include "test_tellu_forms.moc"
