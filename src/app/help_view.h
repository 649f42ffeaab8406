#pragma once

// The help browser, the content of the help window: a search field and the help topics grouped
// by category, each opening its page; a footer offering the feedback form (when the feedback kit
// has a token) and an e-mail to support. It loads the corpus each time it is shown; a corpus that
// does not load shows the unavailable notice, a corpus loaded once stays shown. The query
// survives going into a topic and back. Main thread only.
//
//     HelpEnvironment environment;
//     if (auto token = feedbackKitToken()) environment.feedback = feedbackKitConfig(*token, bundleInfo());
//     auto* help = new HelpView(std::nullopt, std::move(environment));

#include "Tellu/tellu.h"
#include "app/help_corpus.h"
#include "platform/url_opener.h"

#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;
class QScrollArea;
class QStackedWidget;

namespace hf {

class HelpTopicView;
class SheetHost;
class WrappingLabel;

namespace ui {
class QuietButton;
}

// The support address, named in the help texts, the feedback notice and the corpus.
inline constexpr char kSupportEmail[] = "support@lanternworkshop.dev";
QUrl supportMailURL();

struct HelpEnvironment {
    QString corpusPath = QStringLiteral(":/help/help.json");
    // The feedback form's configuration; absent when the kit has no token (no feedback offered).
    std::optional<TelluConfig> feedback;
    // Opens the e-mail link and links in topics.
    URLOpener opener = systemURLOpener();
};

class HelpView : public QWidget {
    Q_OBJECT

public:
    enum class Content { progress, list, unavailable, initialTopic };

    // `initialTopicID` opens that topic alone, when the corpus has it.
    explicit HelpView(std::optional<QString> initialTopicID = std::nullopt, HelpEnvironment environment = {},
                      QWidget* parent = nullptr);
    ~HelpView() override;

    // Loads the corpus again; a failure keeps an earlier corpus and sets the failure flag.
    void loadCorpus();

    const std::optional<HelpCorpus>& corpus() const { return m_corpus; }
    bool loadFailed() const { return m_loadFailed; }
    Content content() const;

    QString query() const { return m_query; }
    void setQuery(const QString& query);

    // The navigation: the list at the root, a topic page pushed over it.
    void openTopic(const HelpTopic& topic);
    void goBack();
    HelpTopicView* topicPage() const;
    QString navigationTitle() const;

    bool isShowingFeedback() const;
    void setShowingFeedback(bool showing);
    QWidget* feedbackForm() const;

    QLineEdit* searchField() const { return m_search; }
    QScrollArea* list() const { return m_list; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void rebuildList();
    QWidget* makeFooter(QWidget* parent);

    std::optional<QString> m_initialTopicID;
    HelpEnvironment m_environment;
    std::optional<HelpCorpus> m_corpus;
    bool m_loadFailed = false;
    QString m_query;

    QLabel* m_title;
    ui::QuietButton* m_back;
    QLineEdit* m_search;
    QStackedWidget* m_pages;
    QWidget* m_progress;
    QWidget* m_unavailable;
    QScrollArea* m_list;
    QPointer<HelpTopicView> m_topic;
    QPointer<HelpTopicView> m_initialTopic;
    SheetHost* m_sheet;
};

} // namespace hf
