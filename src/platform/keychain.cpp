#include "platform/keychain.h"

#include "platform/logging.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <qt6keychain/keychain.h>

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace hf {

HF_LOGGING_CATEGORY(lcKeychain, "Keychain")

namespace {

int statusFor(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError: return KeychainStatus::success;
    case QKeychain::EntryNotFound: return KeychainStatus::itemNotFound;
    // No Secret Service on this desktop (no session bus, no keyring daemon): the store falls back
    // to the private file.
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
    case QKeychain::OtherError: return KeychainStatus::missingEntitlement;
    default: return KeychainStatus::notAvailable;
    }
}

// One call to the Secret Service, from the caller's request to the last answer of its jobs.
// Every field but the constant ones is guarded by `callMutex`.
struct Call {
    enum class Kind { read, write, remove };
    const Kind kind;
    const KeychainItemQuery query;
    const QByteArray data; // what a write stores
    QElapsedTimer sinceAsked;
    int status = KeychainStatus::notAvailable;
    std::optional<QByteArray> readData;
    bool answered = false;
    bool givenUp = false;    // the caller stopped waiting: the answer is logged, not returned
    bool serviceGone = false; // the service's bus name lost its owner while the caller waited
    bool superseded = false; // given up on, and the caller has changed the item elsewhere since
};

std::mutex callMutex;
std::condition_variable callAnswered;
// Calls given up on whose jobs have not ended, in the whole process: QtKeychain runs one job at a
// time per process, so every later job would queue behind them.
std::vector<std::shared_ptr<Call>> outstanding;
// Calls whose callers are waiting for their answers.
std::vector<std::shared_ptr<Call>> awaited;

// The Secret Service's name on the session bus lost its owner: the service ended (crashed, was
// killed, its session is closing). libsecret may never finish a job that waits on the service's
// prompt then, so the callers waiting stop at once rather than at their timeout.
void serviceWentAway()
{
    std::lock_guard lock(callMutex);
    for (const auto& call : awaited)
        call->serviceGone = true;
    callAnswered.notify_all();
}

const char* nameOf(Call::Kind kind)
{
    switch (kind) {
    case Call::Kind::read: return "read";
    case Call::Kind::write: return "write";
    case Call::Kind::remove: return "removal";
    }
    return "";
}

bool sameItem(const KeychainItemQuery& a, const KeychainItemQuery& b)
{
    return a.service == b.service && a.account == b.account;
}

// The caller changes the item while calls on it are given up on: what the Secret Service holds or
// stores when they are finally answered is outdated, and must not be what the next start reads.
void supersedeLateCalls(const KeychainItemQuery& query)
{
    std::lock_guard lock(callMutex);
    for (const auto& call : outstanding) {
        if (sameItem(call->query, query))
            call->superseded = true;
    }
}

// The thread that speaks to the Secret Service, one for the whole process: QtKeychain's jobs are
// asynchronous and need an event loop, and it queues them in one queue of the process that lives on
// the thread that first used it, so that a job run from any other thread would touch that queue from
// a thread not its own. Running one on the caller's thread would let other work run in the middle of
// a keychain call. The caller waits on `callAnswered` with its timeout; the jobs run on here.
// A job is never deleted by us: libsecret holds a pointer to it until it answers, and QtKeychain
// deletes it once it has finished. A job still waiting when the thread ends is left alone (its
// answer can no longer be delivered).
struct Worker {
    QThread thread;
    QObject* anchor = nullptr;

    // The process's worker, made on first use; none once the application object has gone.
    static Worker* shared();

    Worker()
    {
        thread.setObjectName(QStringLiteral("Keychain"));
        thread.start();
        anchor = new QObject;
        anchor->moveToThread(&thread);
        // The service's name is watched on this thread, whose events run while the callers wait, from
        // before the first job starts.
        QMetaObject::invokeMethod(anchor, [a = anchor] {
            auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.freedesktop.secrets"), QDBusConnection::sessionBus(),
                                                    QDBusServiceWatcher::WatchForUnregistration, a);
            QObject::connect(watcher, &QDBusServiceWatcher::serviceUnregistered, a, [] { serviceWentAway(); });
        }, Qt::BlockingQueuedConnection);
    }
    ~Worker()
    {
        QMetaObject::invokeMethod(anchor, [a = anchor] { delete a; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    // Asks the Secret Service and waits at most `timeout` for its answer, or until the service goes
    // away; a call given up on answers notAvailable.
    Call ask(std::chrono::milliseconds timeout, Call::Kind kind, const KeychainItemQuery& query, const QByteArray& data = {})
    {
        auto call = std::make_shared<Call>(Call{kind, query, data});
        std::unique_lock lock(callMutex);
        if (!outstanding.empty()) {
            qCInfo(lcKeychain, "The Secret Service has not answered an earlier call yet; this %s is not sent",
                   nameOf(kind));
            return *call;
        }
        call->sinceAsked.start();
        awaited.push_back(call);
        lock.unlock();
        start(call);
        lock.lock();
        const bool inTime = callAnswered.wait_for(lock, timeout, [&] { return call->answered || call->serviceGone; });
        std::erase(awaited, call);
        if (call->answered)
            return *call;
        call->givenUp = true;
        outstanding.push_back(call);
        if (!inTime)
            qCWarning(lcKeychain, "The Secret Service did not answer a %s within %lld ms; its answer will be logged "
                                  "when it comes", nameOf(kind), qint64(timeout.count()));
        else
            qCWarning(lcKeychain, "The Secret Service went away while a %s waited for it, %lld ms after it was asked "
                                  "(its name on the session bus lost its owner); the keychain is taken as unavailable",
                      nameOf(kind), call->sinceAsked.elapsed());
        return *call;
    }

    void start(const std::shared_ptr<Call>& call)
    {
        QMetaObject::invokeMethod(anchor, [this, call] {
            switch (call->kind) {
            case Call::Kind::read:
                runJob(new QKeychain::ReadPasswordJob(call->query.service), call, [this, call](QKeychain::Job* job) {
                    const int status = statusFor(job->error());
                    std::optional<QByteArray> data;
                    if (status == KeychainStatus::success)
                        data = static_cast<QKeychain::ReadPasswordJob*>(job)->binaryData();
                    answer(call, status, std::move(data));
                });
                break;
            case Call::Kind::write: {
                auto* job = new QKeychain::WritePasswordJob(call->query.service);
                job->setBinaryData(call->data);
                runJob(job, call, [this, call](QKeychain::Job* job) {
                    if (job->error() != QKeychain::NoError)
                        answer(call, statusFor(job->error()), std::nullopt);
                    else
                        confirmWrite(call);
                });
                break;
            }
            case Call::Kind::remove:
                removeConfirmed(call, [this, call](int status) { answer(call, status, std::nullopt); });
                break;
            }
        }, Qt::QueuedConnection);
    }

    void runJob(QKeychain::Job* job, const std::shared_ptr<Call>& call, std::function<void(QKeychain::Job*)> then)
    {
        job->setKey(call->query.account);
        QObject::connect(job, &QKeychain::Job::finished, anchor, [then = std::move(then)](QKeychain::Job* finished) {
            if (finished->error() != QKeychain::NoError && finished->error() != QKeychain::EntryNotFound)
                qCInfo(lcKeychain, "Secret Service: %s", qUtf8Printable(finished->errorString()));
            then(finished);
        });
        job->start();
    }

    // libsecret reports a stored item when its user dismissed the prompt for it: only an item read
    // back counts as stored.
    void confirmWrite(const std::shared_ptr<Call>& call)
    {
        runJob(new QKeychain::ReadPasswordJob(call->query.service), call, [this, call](QKeychain::Job* job) {
            const auto* read = static_cast<QKeychain::ReadPasswordJob*>(job);
            if (job->error() == QKeychain::NoError && read->binaryData() == call->data)
                answer(call, KeychainStatus::success, std::nullopt);
            else if (job->error() == QKeychain::NoError || job->error() == QKeychain::EntryNotFound)
                answer(call, KeychainStatus::userCanceled, std::nullopt);
            else
                answer(call, statusFor(job->error()), std::nullopt);
        });
    }

    // Removes the item and reads it back: `done` gets success once no item is found, userCanceled
    // when the item is still there.
    void removeConfirmed(const std::shared_ptr<Call>& call, std::function<void(int)> done)
    {
        runJob(new QKeychain::DeletePasswordJob(call->query.service), call, [this, call, done](QKeychain::Job* job) {
            if (job->error() != QKeychain::NoError && job->error() != QKeychain::EntryNotFound) {
                done(statusFor(job->error()));
                return;
            }
            runJob(new QKeychain::ReadPasswordJob(call->query.service), call, [done](QKeychain::Job* read) {
                if (read->error() == QKeychain::EntryNotFound)
                    done(KeychainStatus::success);
                else if (read->error() == QKeychain::NoError)
                    done(KeychainStatus::userCanceled);
                else
                    done(statusFor(read->error()));
            });
        });
    }

    void answer(const std::shared_ptr<Call>& call, int status, std::optional<QByteArray> data)
    {
        std::unique_lock lock(callMutex);
        call->status = status;
        call->readData = std::move(data);
        call->answered = true;
        if (!call->givenUp) {
            callAnswered.notify_all();
            return;
        }
        const qint64 elapsed = call->sinceAsked.elapsed();
        if (call->superseded && call->kind != Call::Kind::remove && status == KeychainStatus::success) {
            lock.unlock();
            qCInfo(lcKeychain, "The Secret Service answered a %s late, %lld ms after it was asked; the item has "
                               "changed since, so the service's copy is to go", nameOf(call->kind), elapsed);
            // Later calls stay unsent until the removal is confirmed.
            removeConfirmed(call, [call](int removed) {
                if (removed == KeychainStatus::success)
                    qCInfo(lcKeychain, "The service's outdated copy is removed");
                else
                    qCWarning(lcKeychain, "The service's outdated copy was not removed (status %d)", removed);
                std::lock_guard lock(callMutex);
                std::erase(outstanding, call);
            });
            return;
        }
        if (call->kind == Call::Kind::write && status == KeychainStatus::success)
            qCInfo(lcKeychain, "The Secret Service stored the item late, %lld ms after it was asked", elapsed);
        else if (call->kind == Call::Kind::write)
            qCInfo(lcKeychain, "The Secret Service did not store the item (status %d), answering late, %lld ms "
                               "after it was asked", status, elapsed);
        else
            qCInfo(lcKeychain, "The Secret Service answered a %s late with status %d, %lld ms after it was asked",
                   nameOf(call->kind), status, elapsed);
        std::erase(outstanding, call);
    }
};

std::mutex workerMutex;
Worker* theWorker = nullptr;
bool workerEnded = false;

// Ends the worker with the application object: jobs still waiting for the service are left.
void endWorker()
{
    Worker* worker = nullptr;
    {
        std::lock_guard lock(workerMutex);
        worker = std::exchange(theWorker, nullptr);
        workerEnded = true;
    }
    delete worker;
}

Worker* Worker::shared()
{
    std::lock_guard lock(workerMutex);
    if (!theWorker && !workerEnded) {
        theWorker = new Worker;
        qAddPostRoutine(endWorker);
    }
    return theWorker;
}

Call ask(std::chrono::milliseconds timeout, Call::Kind kind, const KeychainItemQuery& query, const QByteArray& data = {})
{
    if (Worker* worker = Worker::shared())
        return worker->ask(timeout, kind, query, data);
    qCInfo(lcKeychain, "The application is ending; this %s is not sent to the Secret Service", nameOf(kind));
    return Call{kind, query, data};
}

// The legacy item as this version writes it starts with one of these tags, which no UTF-8 text and
// no JSON starts with: the data after `keptTag` is newer than the secret store's copy; `removedMark`
// alone says that the item was removed. Earlier versions wrote the data alone.
const QByteArray keptTag = QByteArrayLiteral("\xff" "kept\n");
const QByteArray removedMark = QByteArrayLiteral("\xff" "removed\n");

bool putLegacy(KeychainBackend& backend, const KeychainItemQuery& legacy, const QByteArray& bytes)
{
    int status = backend.update(legacy, bytes);
    if (status == KeychainStatus::itemNotFound)
        status = backend.add(legacy, bytes, false);
    return status == KeychainStatus::success;
}

// Makes a rename or removal in `folder` durable.
void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

DesktopKeychain::DesktopKeychain(QString legacyFolder, std::chrono::milliseconds answerTimeout)
    : m_legacyFolder(std::move(legacyFolder)), m_answerTimeout(answerTimeout)
{
}

DesktopKeychain::~DesktopKeychain() = default;

KeychainSave saveWithFallback(KeychainBackend& backend, const QString& service, const QString& account,
                              const QByteArray& data)
{
    const KeychainItemQuery modern{KeychainForm::dataProtection, service, account};
    const KeychainItemQuery legacy{KeychainForm::legacy, service, account};
    KeychainSave save;
    save.status = backend.update(modern, data);
    if (save.status == KeychainStatus::itemNotFound)
        save.status = backend.add(modern, data, true);
    if (save.status == KeychainStatus::success) {
        // What the legacy form holds is older now, or the mark of an earlier removal.
        const int removed = backend.remove(legacy);
        if (removed != KeychainStatus::success && removed != KeychainStatus::itemNotFound)
            qCWarning(lcKeychain, "The older copy in the legacy form was not removed (status %d)", removed);
        return save;
    }
    save.kept = putLegacy(backend, legacy, keptTag + data);
    return save;
}

std::optional<QByteArray> readWithFallback(KeychainBackend& backend, const QString& service, const QString& account,
                                           const std::function<bool(const QByteArray&)>& usable)
{
    std::optional<QByteArray> earlier;
    const auto legacy = backend.copyMatching({KeychainForm::legacy, service, account});
    if (legacy.status == KeychainStatus::success && legacy.data) {
        if (*legacy.data == removedMark)
            return std::nullopt;
        if (legacy.data->startsWith(keptTag)) {
            QByteArray kept = legacy.data->mid(keptTag.size());
            if (usable(kept))
                return kept;
        } else {
            earlier = legacy.data;
        }
    }
    const auto modern = backend.copyMatching({KeychainForm::dataProtection, service, account});
    if (modern.status == KeychainStatus::success && modern.data && usable(*modern.data))
        return modern.data;
    if (earlier && usable(*earlier))
        return earlier;
    return std::nullopt;
}

void removeWithFallback(KeychainBackend& backend, const QString& service, const QString& account)
{
    const KeychainItemQuery legacy{KeychainForm::legacy, service, account};
    const bool marked = putLegacy(backend, legacy, removedMark);
    const int status = backend.remove({KeychainForm::dataProtection, service, account});
    if (status == KeychainStatus::success || status == KeychainStatus::itemNotFound || !marked) {
        backend.remove(legacy);
        if (!marked && status != KeychainStatus::success && status != KeychainStatus::itemNotFound)
            qCWarning(lcKeychain, "Neither the secret store's copy of the item nor the legacy form's mark of its "
                                  "removal could be confirmed (status %d)", status);
    }
}

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
    const Call call = ask(m_answerTimeout, Call::Kind::read, query);
    result.status = call.status;
    result.data = call.readData;
    return result;
}

int DesktopKeychain::update(const KeychainItemQuery& query, const QByteArray& data)
{
    const ReadResult existing = copyMatching(query);
    // This read may just have been given up on: the item changes all the same.
    if (query.form == KeychainForm::dataProtection)
        supersedeLateCalls(query);
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
        // Written beside the earlier file and flushed to the disk before it takes its name: a full
        // disk or a crash leaves the earlier file as it was. Unbuffered, so that a short write is
        // seen here (QSaveFile would take a file cut short by its own flush).
        QSaveFile file(legacyPath(query));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return KeychainStatus::notAvailable;
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (file.write(data) != data.size() || !file.commit())
            return KeychainStatus::notAvailable;
        syncFolder(m_legacyFolder);
        return KeychainStatus::success;
    }
    supersedeLateCalls(query);
    return ask(m_answerTimeout, Call::Kind::write, query, data).status;
}

int DesktopKeychain::remove(const KeychainItemQuery& query)
{
    if (query.form == KeychainForm::legacy) {
        QFile file(legacyPath(query));
        if (!file.exists())
            return KeychainStatus::itemNotFound;
        if (!file.remove())
            return KeychainStatus::notAvailable;
        syncFolder(m_legacyFolder);
        return KeychainStatus::success;
    }
    supersedeLateCalls(query);
    return ask(m_answerTimeout, Call::Kind::remove, query).status;
}

} // namespace hf
