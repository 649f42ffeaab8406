// The application's entry point. A later start hands its links to the running instance and
// exits; the first start builds the services, opens the main window (which runs the launch
// sequence) and takes the links that later starts hand over (the web sign-in's way back).

#include "app/app_services.h"
#include "app/hushframe_app.h"
#include "app/termination_signal.h"
#include "coordinator/export_temporaries.h"
#include "platform/single_instance.h"
#include "ui_kit/environment.h"

#include <QApplication>
#include <QUrl>

namespace {

// What a later start without links sends; never a link, having no scheme.
const QString showMainWindowMessage = QStringLiteral("show-main-window");

// The arguments that are links (the desktop entry passes one with %u).
QStringList linksIn(const QStringList& arguments)
{
    QStringList links;
    for (const QString& argument : arguments.mid(1)) {
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && url.scheme().size() > 1 && !argument.startsWith(u'-'))
            links << argument;
    }
    return links;
}

} // namespace

int main(int argc, char** argv)
{
    // SIGTERM, SIGHUP and SIGINT are quit requests from the very start; until the application
    // takes them they wait.
    hf::TerminationSignal::install();
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Lantern Workshop"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("lanternworkshop.dev"));
    QCoreApplication::setApplicationName(QStringLiteral("Hushframe"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HF_APP_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("dev.lanternworkshop.Hushframe"));

    const QStringList links = linksIn(application.arguments());
    // A later start without links asks the running one to show its main window (made anew when
    // it was closed), as starting an application that already runs does on this desktop.
    const QStringList messages = links.isEmpty() ? QStringList{showMainWindowMessage} : links;
    const QString channel = hf::SingleInstance::defaultChannel();
    if (hf::SingleInstance::forward(channel, messages))
        return 0;
    hf::SingleInstance instance(channel);
    if (!instance.listen()) {
        // Another start holds the claim and is about to listen: hand over to it, and never run
        // beside it.
        if (hf::SingleInstance::forwardWhenListening(channel, messages))
            return 0;
        qCWarning(hf::lcApp, "Another instance holds the claim but does not answer");
        return 1;
    }

    hf::ui::Environment::applyToApplication(application);

    // Owned here, so every service is gone before the QApplication.
    hf::AppServices services;
    hf::HushframeApp app(services);
    QObject::connect(&instance, &hf::SingleInstance::messageReceived, &app, [&app](const QString& message) {
        if (message == showMainWindowMessage)
            app.openWindow(QStringLiteral("main"));
        else
            app.handleOpenURL(QUrl(message));
    });
    app.openWindow(QStringLiteral("main"));
    for (const QString& link : links)
        app.handleOpenURL(QUrl(link));
    const int status = application.exec();
    // However the application ends, an export under way ends with it and leaves nothing of its own
    // in the user's folders; its copies stop before the windows and services go.
    hf::ExportTemporaries::endAll();
    return status;
}
