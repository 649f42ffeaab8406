#include "app/help_view.h"

#include "Tellu/tellu_view.h"
#include "app/help_topic_view.h"
#include "app/shell_controls.h"
#include "app/wrapping_label.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace hf {

QUrl supportMailURL()
{
    return QUrl(QStringLiteral("mailto:") + QLatin1String(kSupportEmail));
}

namespace {

// One topic of the list: its title in the body font and "Ink", wrapping, with a chevron that
// says it leads on.
class TopicRow : public QAbstractButton {
public:
    TopicRow(const HelpTopic& topic, QWidget* parent) : QAbstractButton(parent)
    {
        setText(topic.title);
        setObjectName(QStringLiteral("help.row.") + topic.id);
        setAccessibleName(topic.title);
        setAccessibleDescription(hf::text("ui.help.row.accessibilityHint", "Opens this help topic"));
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    QSize sizeHint() const override { return {300, heightForWidth(300)}; }
    QSize minimumSizeHint() const override { return {80, heightForWidth(80)}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override
    {
        const QSizeF title = ui::wrappedTextSize(ui::font(ui::TextStyle::body), text(), std::max(20, width - kChevron));
        return std::max(28, int(std::ceil(title.height())) + 8);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(isDown() ? 0.7 : 1.0);
        painter.setPen(ui::color(ui::ColorName::Ink));
        const QRectF box(0, 4, width() - kChevron, height() - 8);
        ui::drawWrappedText(painter, box, ui::font(ui::TextStyle::body), text(), Qt::AlignLeft | Qt::AlignVCenter);
        const double cx = width() - 6, cy = height() / 2.0;
        painter.setPen(QPen(ui::color(ui::ColorName::Muted), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(QPolygonF({QPointF(cx - 4, cy - 5), QPointF(cx, cy), QPointF(cx - 4, cy + 5)}));
        if (hasFocus())
            ui::paintFocusRing(painter, QRectF(rect()), 5);
    }

private:
    static constexpr int kChevron = 24;
};

} // namespace

HelpView::HelpView(std::optional<QString> initialTopicID, HelpEnvironment environment, QWidget* parent)
    : QWidget(parent), m_initialTopicID(std::move(initialTopicID)), m_environment(std::move(environment))
{
    setObjectName(QStringLiteral("help.browser"));
    ui::setBackground(this, ui::ColorName::Paper);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The navigation bar: back, the title, the search field.
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("help.navigation"));
    ui::setBackground(bar, ui::ColorName::Paper);
    auto* barLine = new QHBoxLayout(bar);
    barLine->setContentsMargins(16, 12, 16, 12);
    barLine->setSpacing(10);
    m_back = new ui::QuietButton(QStringLiteral("\u2039 ") + text("ui.help.title", "Help"), bar);
    m_back->setObjectName(QStringLiteral("help.back"));
    m_back->setAccessibleName(text("ui.common.back", "Back"));
    m_back->setFillsWidth(false);
    m_back->hide();
    m_title = new QLabel(bar);
    m_title->setObjectName(QStringLiteral("help.navigationTitle"));
    m_title->setWordWrap(true);
    ui::applyHeadingStyle(m_title, ui::TextStyle::title3);
    ui::setForeground(m_title, ui::ColorName::Ink);
    m_search = new QLineEdit(bar);
    m_search->setObjectName(QStringLiteral("help.search"));
    m_search->setPlaceholderText(text("ui.help.search.prompt", "Search help"));
    m_search->setAccessibleName(m_search->placeholderText());
    m_search->setClearButtonEnabled(true);
    m_search->setMinimumWidth(180);
    m_search->setMaximumWidth(260);
    m_search->setFont(ui::font(ui::TextStyle::body));
    barLine->addWidget(m_back);
    barLine->addWidget(m_title, 1);
    barLine->addWidget(m_search);
    column->addWidget(bar);
    column->addWidget(new ui::Rule(this));

    m_pages = new QStackedWidget(this);
    m_progress = new QWidget(m_pages);
    {
        auto* center = new QVBoxLayout(m_progress);
        auto* busy = new QProgressBar(m_progress);
        busy->setObjectName(QStringLiteral("help.progress"));
        busy->setRange(0, 0);
        busy->setTextVisible(false);
        busy->setMaximumWidth(140);
        center->addStretch(1);
        center->addWidget(busy, 0, Qt::AlignHCenter);
        center->addStretch(1);
    }
    m_unavailable = new ContentUnavailableView(
        text("ui.help.unavailable.title", "Help is unavailable"), QStringLiteral("questionmark.circle"),
        text("ui.help.unavailable.detail", "The help content did not load. Please email %@ for help.",
             {QString::fromLatin1(kSupportEmail)}),
        m_pages);
    m_unavailable->setObjectName(QStringLiteral("help.unavailable"));
    m_list = new QScrollArea(m_pages);
    m_list->setObjectName(QStringLiteral("help.list"));
    m_list->setFocusPolicy(Qt::NoFocus);   // the topic rows take the focus; the list follows it
    m_list->setAccessibleName(text("ui.help.list.accessibilityLabel", "Help topics"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setWidgetResizable(true);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui::setBackground(m_list, ui::ColorName::Paper);
    ui::setBackground(m_list->viewport(), ui::ColorName::Paper);
    m_pages->addWidget(m_progress);
    m_pages->addWidget(m_unavailable);
    m_pages->addWidget(m_list);
    column->addWidget(m_pages, 1);

    m_sheet = new SheetHost(this);
    connect(m_sheet, &SheetHost::dismissedByUser, this, [this] { setShowingFeedback(false); });

    connect(m_search, &QLineEdit::textChanged, this, &HelpView::setQuery);
    connect(m_back, &QAbstractButton::clicked, this, &HelpView::goBack);

    ui::localizedTypesetting(this);
    refresh();
}

HelpView::~HelpView() = default;

void HelpView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Each showing loads the corpus anew.
    if (!event->spontaneous())
        loadCorpus();
}

void HelpView::loadCorpus()
{
    if (auto loaded = HelpCorpus::load(m_environment.corpusPath)) {
        const bool changed = !m_corpus || *m_corpus != *loaded;
        m_corpus = std::move(loaded);
        if (changed) {
            m_initialTopic.clear();
            rebuildList();
        }
    } else {
        m_loadFailed = true;
    }
    refresh();
}

HelpView::Content HelpView::content() const
{
    if (m_corpus) {
        if (m_initialTopicID) {
            for (const HelpTopic& topic : m_corpus->topics)
                if (topic.id == *m_initialTopicID)
                    return Content::initialTopic;
        }
        return Content::list;
    }
    return m_loadFailed ? Content::unavailable : Content::progress;
}

void HelpView::refresh()
{
    const Content shown = content();
    switch (shown) {
    case Content::progress:
        m_pages->setCurrentWidget(m_progress);
        break;
    case Content::unavailable:
        m_pages->setCurrentWidget(m_unavailable);
        break;
    case Content::list:
        if (!m_topic)
            m_pages->setCurrentWidget(m_list);
        break;
    case Content::initialTopic:
        if (!m_initialTopic) {
            for (const HelpTopic& topic : m_corpus->topics) {
                if (topic.id == *m_initialTopicID) {
                    m_initialTopic = new HelpTopicView(topic, m_environment.opener, m_pages);
                    m_pages->addWidget(m_initialTopic);
                    break;
                }
            }
        }
        m_pages->setCurrentWidget(m_initialTopic);
        break;
    }
    const bool onTopic = m_topic && m_pages->currentWidget() == m_topic;
    m_back->setVisible(onTopic);
    m_search->setVisible(shown == Content::list && !onTopic);
    const QString title = navigationTitle();
    if (m_title->text() != title)
        m_title->setText(title);
}

QString HelpView::navigationTitle() const
{
    if (HelpTopicView* page = topicPage())
        return page->topic().title;
    if (m_initialTopic && m_pages->currentWidget() == m_initialTopic)
        return m_initialTopic->topic().title;
    return text("ui.help.title", "Help");
}

void HelpView::setQuery(const QString& query)
{
    if (m_query == query)
        return;
    m_query = query;
    if (m_search->text() != query)
        m_search->setText(query);
    rebuildList();
}

void HelpView::rebuildList()
{
    auto* content = new QWidget;
    ui::setBackground(content, ui::ColorName::Paper);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 16, 20, 20);
    column->setSpacing(18);
    if (m_corpus) {
        for (const HelpSection& section : helpSections(m_corpus->search(m_query))) {
            auto* frame = new ui::FrameSection(HelpCorpus::categoryTitle(section.category), content);
            frame->setObjectName(QStringLiteral("help.section.") + section.category);
            for (const HelpTopic& topic : section.topics) {
                auto* row = new TopicRow(topic, frame);
                connect(row, &QAbstractButton::clicked, this, [this, topic] { openTopic(topic); });
                frame->addRow(row);
            }
            column->addWidget(frame);
        }
    }
    column->addWidget(makeFooter(content));
    column->addStretch(1);
    // The old list goes with its scroll position; a new query starts at the top.
    delete m_list->takeWidget();
    m_list->setWidget(content);
}

QWidget* HelpView::makeFooter(QWidget* parent)
{
    auto* footer = new ui::FrameSection(QString(), parent);
    footer->setObjectName(QStringLiteral("help.footer"));
    if (m_environment.feedback) {
        auto* feedback = new WrappingLabel(text("ui.help.sendFeedback", "Send feedback"),
                                           QStringLiteral("bubble.left.and.text.bubble.right"), footer);
        feedback->setObjectName(QStringLiteral("help.sendFeedback"));
        connect(feedback, &QAbstractButton::clicked, this, [this] { setShowingFeedback(true); });
        footer->addRow(feedback);
    }
    auto* email = new WrappingLabel(text("ui.help.emailSupport", "Email %@", {QString::fromLatin1(kSupportEmail)}),
                                    QStringLiteral("envelope"), footer);
    email->setObjectName(QStringLiteral("help.emailSupport"));
    email->setAnnouncedAsLink(true);
    connect(email, &QAbstractButton::clicked, this, [this] {
        if (m_environment.opener)
            m_environment.opener(supportMailURL());
    });
    footer->addRow(email);
    return footer;
}

void HelpView::openTopic(const HelpTopic& topic)
{
    if (m_topic)
        m_topic->deleteLater();
    m_topic = new HelpTopicView(topic, m_environment.opener, m_pages);
    m_pages->addWidget(m_topic);
    m_pages->setCurrentWidget(m_topic);
    refresh();
}

void HelpView::goBack()
{
    if (!m_topic)
        return;
    m_pages->removeWidget(m_topic);
    m_topic->deleteLater();
    m_topic.clear();
    refresh();
}

HelpTopicView* HelpView::topicPage() const
{
    return m_topic && m_pages->currentWidget() == m_topic ? m_topic.data() : nullptr;
}

bool HelpView::isShowingFeedback() const
{
    return m_sheet->isPresented();
}

QWidget* HelpView::feedbackForm() const
{
    QWidget* card = m_sheet->content();
    return card ? card->findChild<QWidget*>(QStringLiteral("help.feedbackForm")) : nullptr;
}

void HelpView::setShowingFeedback(bool showing)
{
    if (showing == isShowingFeedback())
        return;
    if (!showing) {
        m_sheet->dismiss();
        return;
    }
    // Without a token there is nothing to show.
    if (!m_environment.feedback)
        return;
    // The card's padding counts toward the form's least size of 420 by 460.
    auto* card = new QWidget;
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    auto* form = new TelluView(*m_environment.feedback, [this] { setShowingFeedback(false); }, card);
    form->setObjectName(QStringLiteral("help.feedbackForm"));
    form->setLeastSize(QSize(420 - 48, 460 - 48));
    cardLayout->addWidget(form);
    m_sheet->present(card, 468);
}

} // namespace hf
