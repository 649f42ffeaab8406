#include "platform/keychain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace hf {
namespace {

constexpr int secretServiceTimeoutMs = 120'000;

int statusFor(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError: return KeychainStatus::success;
    case QKeychain::EntryNotFound: return KeychainStatus::itemNotFound;
    // No Secret Service on this desktop (no session bus, no keyring daemon): the store falls back
    // to the private file. A user's refusal is respected and never worked around.
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
    case QKeychain::OtherError: return KeychainStatus::missingEntitlement;
    default: return KeychainStatus::notAvailable;
    }
}

} // namespace

// A thread of its own for the Secret Service: QtKeychain's jobs are asynchronous and need an
// event loop, and spinning one on the caller's thread would let other work run in the middle of a
// keychain call.
struct DesktopKeychain::Worker {
    QThread thread;
    QObject* anchor = nullptr;

    Worker()
    {
        thread.setObjectName(QStringLiteral("Keychain"));
        thread.start();
        anchor = new QObject;
        anchor->moveToThread(&thread);
    }
    ~Worker()
    {
        QMetaObject::invokeMethod(anchor, [a = anchor] { delete a; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    // Runs one job to its end on the worker thread and blocks the caller meanwhile.
    // `make` builds the job there; `finish` reads its outcome there, into the caller's variables.
    // The caller waits on a mutex and condition variable of its own rather than a blocking queued
    // call, so the hand-over of what `finish` wrote is ordered where race detectors can see it.
    void run(const std::function<QKeychain::Job*()>& make, const std::function<void(QKeychain::Job*, bool)>& finish)
    {
        std::mutex mutex;
        std::condition_variable finished;
        bool handedOver = false;
        QMetaObject::invokeMethod(anchor, [&] {
            QKeychain::Job* job = make();
            job->setAutoDelete(false);
            QEventLoop loop;
            bool done = false;
            QObject::connect(job, &QKeychain::Job::finished, &loop, [&] {
                done = true;
                loop.quit();
            });
            QTimer::singleShot(secretServiceTimeoutMs, &loop, &QEventLoop::quit);
            job->start();
            if (!done)
                loop.exec();
            finish(job, done);
            job->deleteLater();
            std::lock_guard lock(mutex);
            handedOver = true;
            finished.notify_one();
        }, Qt::QueuedConnection);
        std::unique_lock lock(mutex);
        finished.wait(lock, [&] { return handedOver; });
    }
};

DesktopKeychain::DesktopKeychain(QString legacyFolder)
    : m_legacyFolder(std::move(legacyFolder)), m_worker(std::make_unique<Worker>())
{
}

DesktopKeychain::~DesktopKeychain() = default;

QString DesktopKeychain::defaultLegacyFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/keychain");
}

QString DesktopKeychain::legacyPath(const KeychainItemQuery& query) const
{
    // Service and account may hold any character: name the file after their hash.
    const QByteArray name = QCryptographicHash::hash(
        (query.service + QChar(0) + query.account).toUtf8(), QCryptographicHash::Sha256).toHex();
    return m_legacyFolder + u'/' + QString::fromLatin1(name.left(32));
}

KeychainBackend::ReadResult DesktopKeychain::copyMatching(const KeychainItemQuery& query)
{
    ReadResult result;
    if (query.form == KeychainForm::legacy) {
        QFile file(legacyPath(query));
        if (!file.open(QIODevice::ReadOnly))
            return result;
        result.status = KeychainStatus::success;
        result.data = file.readAll();
        return result;
    }
    m_worker->run(
        [&] {
            auto* job = new QKeychain::ReadPasswordJob(query.service);
            job->setKey(query.account);
            return job;
        },
        [&](QKeychain::Job* job, bool done) {
            if (!done) {
                result.status = KeychainStatus::notAvailable;
                return;
            }
            result.status = statusFor(job->error());
            if (result.status == KeychainStatus::success)
                result.data = static_cast<QKeychain::ReadPasswordJob*>(job)->binaryData();
        });
    return result;
}

int DesktopKeychain::update(const KeychainItemQuery& query, const QByteArray& data)
{
    const ReadResult existing = copyMatching(query);
    if (existing.status != KeychainStatus::success)
        return existing.status;
    return add(query, data, false);
}

int DesktopKeychain::add(const KeychainItemQuery& query, const QByteArray& data, bool)
{
    if (query.form == KeychainForm::legacy) {
        if (!QDir().mkpath(m_legacyFolder))
            return KeychainStatus::notAvailable;
        QFile::setPermissions(m_legacyFolder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QSaveFile file(legacyPath(query));
        if (!file.open(QIODevice::WriteOnly))
            return KeychainStatus::notAvailable;
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        file.write(data);
        return file.commit() ? KeychainStatus::success : KeychainStatus::notAvailable;
    }
    int status = KeychainStatus::notAvailable;
    m_worker->run(
        [&] {
            auto* job = new QKeychain::WritePasswordJob(query.service);
            job->setKey(query.account);
            job->setBinaryData(data);
            return job;
        },
        [&](QKeychain::Job* job, bool done) {
            status = done ? statusFor(job->error()) : KeychainStatus::notAvailable;
        });
    return status;
}

int DesktopKeychain::remove(const KeychainItemQuery& query)
{
    if (query.form == KeychainForm::legacy) {
        QFile file(legacyPath(query));
        if (!file.exists())
            return KeychainStatus::itemNotFound;
        return file.remove() ? KeychainStatus::success : KeychainStatus::notAvailable;
    }
    int status = KeychainStatus::notAvailable;
    m_worker->run(
        [&] {
            auto* job = new QKeychain::DeletePasswordJob(query.service);
            job->setKey(query.account);
            return job;
        },
        [&](QKeychain::Job* job, bool done) {
            status = done ? statusFor(job->error()) : KeychainStatus::notAvailable;
        });
    return status;
}

} // namespace hf
