#include "app/file_picker.h"

#include "platform/texts.h"

#include <QFileDialog>
#include <QMimeDatabase>
#include <QStandardPaths>

#include <memory>

namespace hf {

DialogFilePicker::~DialogFilePicker()
{
    delete m_dialog.data();
}

QString DialogFilePicker::movieNameFilter()
{
    QStringList patterns;
    const QList<QMimeType> types = QMimeDatabase().allMimeTypes();
    for (const QMimeType& type : types) {
        if (!type.name().startsWith(QLatin1String("video/")))
            continue;
        for (const QString& pattern : type.globPatterns())
            if (!patterns.contains(pattern))
                patterns << pattern;
    }
    patterns.sort();
    return text("ui.import.filter", "Videos") + QStringLiteral(" (") + patterns.join(u' ') + u')';
}

void DialogFilePicker::pick(QWidget* parent, bool multiple, Completion completion)
{
    delete m_dialog.data();
    auto* dialog = new QFileDialog(parent);
    m_dialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("import.fileChooser"));
    dialog->setWindowTitle(multiple ? text("ui.import.chooser.queue", "Add Videos to Batch")
                                    : text("ui.import.chooser.open", "Open Video"));
    dialog->setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setNameFilter(movieNameFilter());
    const QStringList movies = QStandardPaths::standardLocations(QStandardPaths::MoviesLocation);
    if (!movies.isEmpty())
        dialog->setDirectory(movies.first());

    // The completion runs once, when the chooser closes: with its selection when accepted. The
    // selection is read from the dialog itself; the widget dialog does not always send urlsSelected.
    auto pending = std::make_shared<Completion>(std::move(completion));
    QObject::connect(dialog, &QDialog::finished, dialog, [pending, dialog](int result) {
        auto done = std::exchange(*pending, nullptr);
        if (!done)
            return;
        const QList<QUrl> urls = result == QDialog::Accepted ? dialog->selectedUrls() : QList<QUrl>{};
        if (urls.isEmpty())
            done(PickOutcome{std::nullopt, std::nullopt});
        else
            done(PickOutcome{urls, std::nullopt});
    });
    dialog->open();
}

} // namespace hf
