#include "coordinator/export_temporaries.h"

#include "pipeline/media_error.h"
#include "platform/errors.h"
#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>
#include <QUuid>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hf {

HF_LOGGING_CATEGORY(lcExportTemporaries, "ExportTemporaries")

namespace {

// Bytes copied between two looks at the stop: a few milliseconds of a disk's work.
constexpr size_t copyChunk = 8 * 1024 * 1024;

QByteArray nativeName(const QString& path)
{
    return QFile::encodeName(path);
}

// A file descriptor closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes now; the error number of a failed close, else 0.
    int close()
    {
        const int fd = std::exchange(m_fd, -1);
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    int m_fd;
};

// What the signal handler reads: the paths of each temporary file and its record, in memory it
// may touch. A slot's state: 0 free, 1 being filled by its owner, 2 ready, 3 taken by a handler
// (which ends the process, so the slot is never given back).
struct SignalSlot {
    std::atomic<int> state{0};
    char file[PATH_MAX];
    char record[PATH_MAX];
};
std::array<SignalSlot, 16> signalSlots;

int claimSlot(const QByteArray& file, const QByteArray& record)
{
    if (file.size() >= PATH_MAX || record.size() >= PATH_MAX)
        return -1;
    for (size_t i = 0; i < signalSlots.size(); ++i) {
        SignalSlot& slot = signalSlots[i];
        int expected = 0;
        if (!slot.state.compare_exchange_strong(expected, 1))
            continue;
        std::memcpy(slot.file, file.constData(), size_t(file.size()) + 1);
        std::memcpy(slot.record, record.constData(), size_t(record.size()) + 1);
        slot.state.store(2);
        return int(i);
    }
    return -1;
}

void releaseSlot(int index)
{
    if (index < 0)
        return;
    int expected = 2;
    signalSlots[size_t(index)].state.compare_exchange_strong(expected, 0);
}

struct Entry {
    QString record;   // empty: the record could not be written
    int slot = -1;
};

// The temporaries this process has, by path.
struct Registry {
    QMutex mutex;
    QString folder;
    QHash<QString, Entry> entries;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

// Set by endAll(): the process is ending.
std::atomic<bool> ending{false};

// Writes `content` into the new file `path` and puts it, with its name in `folder`, on the disk.
// The error number, else 0.
int writeDurably(const QString& folder, const QString& path, const QByteArray& content)
{
    Descriptor out(::open(nativeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out.valid())
        return errno;
    for (qsizetype done = 0; done < content.size();) {
        const ssize_t n = ::write(out.get(), content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += n;
    }
    if (::fsync(out.get()) != 0 || out.close() != 0)
        return errno;
    Descriptor directory(::open(nativeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid())
        ::fsync(directory.get());
    return 0;
}

// Removes the entry of `temporary` and its record; the file itself first when `removeFile`.
void forget(const QString& temporary, bool removeFile)
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    const Entry entry = r.entries.take(temporary);
    if (removeFile)
        ::unlink(nativeName(temporary).constData());
    releaseSlot(entry.slot);
    if (!entry.record.isEmpty())
        ::unlink(nativeName(entry.record).constData());
}

// A new temporary file beside `destination`, recorded first, opened for writing.
std::pair<QString, int> createBeside(const QFileInfo& destination)
{
    const QString folder = ExportTemporaries::recordFolder();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString id = QUuid::createUuid().toString(QUuid::Id128);
        const QString temporary =
            destination.dir().filePath(QStringLiteral(".%1.%2.part").arg(destination.fileName(), id.left(8)));
        QString record = folder.isEmpty() ? QString() : QDir(folder).filePath(id + QStringLiteral(".record"));
        // Without a record the export still goes on: only a kill or a crash could leave its file.
        const int recorded = record.isEmpty()     ? 0
                             : QDir().mkpath(folder) ? writeDurably(folder, record, nativeName(temporary) + '\n')
                                                     : ENOENT;
        if (recorded != 0) {
            qCWarning(lcExportTemporaries, "Couldn't record a temporary file in %s: %s", qUtf8Printable(folder),
                      std::strerror(recorded));
            record.clear();
        }

        Registry& r = registry();
        QMutexLocker lock(&r.mutex);
        const auto dropRecord = [&record] {
            if (!record.isEmpty())
                ::unlink(nativeName(record).constData());
        };
        if (ending) {
            dropRecord();
            throw Cancelled();
        }
        const int slot = claimSlot(nativeName(temporary), nativeName(record));
        // Made with the ordinary permissions (the user's umask applies), like any file the user saves.
        const int fd = ::open(nativeName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            releaseSlot(slot);
            dropRecord();
            if (error == EEXIST)
                continue;
            throw FileSystemError::writing(destination.fileName(), error);
        }
        r.entries.insert(temporary, Entry{record, slot});
        return {temporary, fd};
    }
    throw FileSystemError::writing(destination.fileName(), EEXIST);
}

// Whether `path` still looks like a temporary file of an export: named as they are, a regular
// file (not a link) of this user.
bool looksLikeTemporary(const QString& path)
{
    static const QRegularExpression name(QStringLiteral("^\\..+\\.[0-9a-f]{8}\\.part$"));
    if (!QFileInfo(path).isAbsolute() || !name.match(QFileInfo(path).fileName()).hasMatch())
        return false;
    struct stat info {};
    return ::lstat(nativeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid();
}

} // namespace

void ExportTemporaries::setRecordFolder(const QString& folder)
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.folder = folder;
}

QString ExportTemporaries::recordFolder()
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    return r.folder;
}

QString ExportTemporaries::copyBeside(const QString& source, const QString& destination, const std::stop_token& stop)
{
    const QFileInfo from(source);
    const QFileInfo to(destination);
    Descriptor in(::open(nativeName(source).constData(), O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        throw FileSystemError::reading(from.fileName(), errno);
    const auto [temporary, fd] = createBeside(to);
    Descriptor out(fd);

    const auto discardCopy = [&] {
        out.close();
        discard(temporary);
    };
    const auto fail = [&](bool writing, int errorNumber) {
        discardCopy();
        throw writing ? FileSystemError::writing(to.fileName(), errorNumber)
                      : FileSystemError::reading(from.fileName(), errorNumber);
    };
    const auto stopped = [&] { return stop.stop_requested() || ending.load(); };
    // The kernel copies the bytes where it can (several times faster on large videos than reads
    // and writes through a buffer here); a source it cannot copy that way is read.
    bool kernelCopy = true;
    QByteArray buffer;
    for (qint64 copied = 0;;) {
        if (stopped()) {
            discardCopy();
            throw Cancelled();
        }
        if (kernelCopy) {
            const ssize_t n = ::sendfile(out.get(), in.get(), nullptr, copyChunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && copied == 0 && (errno == EINVAL || errno == ENOSYS || errno == ESPIPE)) {
                kernelCopy = false;
                continue;
            }
            if (n < 0)
                fail(FileSystemError::isDestinationError(errno), errno);
            if (n == 0)
                break;
            copied += n;
            continue;
        }
        buffer.resize(qsizetype(copyChunk));
        const ssize_t n = ::read(in.get(), buffer.data(), size_t(buffer.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(false, errno);
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out.get(), buffer.constData() + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                fail(true, errno);
            done += w;
        }
        copied += n;
    }
    if (stopped()) {
        discardCopy();
        throw Cancelled();
    }
    // The data reaches the disk before the name does, so a crash never leaves a short file under
    // the user's name. Some file systems report a full disk only here.
    if (::fsync(out.get()) != 0 && errno != EINVAL && errno != EROFS)
        fail(true, errno);
    if (const int closing = out.close(); closing != 0)
        fail(true, closing);
    return temporary;
}

void ExportTemporaries::placed(const QString& temporary)
{
    forget(temporary, false);
}

void ExportTemporaries::discard(const QString& temporary)
{
    forget(temporary, true);
}

int ExportTemporaries::removeLeftovers()
{
    const QString folder = recordFolder();
    if (folder.isEmpty())
        return 0;
    QStringList own;
    {
        Registry& r = registry();
        QMutexLocker lock(&r.mutex);
        for (const Entry& entry : std::as_const(r.entries))
            own << QFileInfo(entry.record).fileName();
    }
    int removed = 0;
    for (const QFileInfo& record : QDir(folder).entryInfoList({QStringLiteral("*.record")}, QDir::Files | QDir::Hidden)) {
        if (own.contains(record.fileName()))
            continue;
        QFile file(record.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QByteArray content = file.read(PATH_MAX + 1);
        file.close();
        if (content.endsWith('\n'))
            content.chop(1);
        const QString temporary = QFile::decodeName(content);
        if (looksLikeTemporary(temporary)) {
            if (::unlink(nativeName(temporary).constData()) != 0) {
                qCWarning(lcExportTemporaries, "Couldn't remove %s: %s", qUtf8Printable(temporary),
                          std::strerror(errno));
                continue;
            }
            ++removed;
        } else if (!QFileInfo(temporary).absoluteDir().exists()) {
            // Its folder is not there (a disk not plugged in, say): the record waits for it.
            continue;
        }
        QFile::remove(record.absoluteFilePath());
    }
    if (removed > 0)
        qCInfo(lcExportTemporaries, "Removed %d temporary files of exports that did not end", removed);
    return removed;
}

void ExportTemporaries::endAll()
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    ending = true;
    for (auto it = r.entries.cbegin(); it != r.entries.cend(); ++it) {
        ::unlink(nativeName(it.key()).constData());
        releaseSlot(it->slot);
        if (!it->record.isEmpty())
            ::unlink(nativeName(it->record).constData());
    }
    r.entries.clear();
}

void ExportTemporaries::removeAllFromSignalHandler() noexcept
{
    for (SignalSlot& slot : signalSlots) {
        int expected = 2;
        if (!slot.state.compare_exchange_strong(expected, 3))
            continue;
        ::unlink(slot.file);
        if (slot.record[0] != '\0')
            ::unlink(slot.record);
    }
}

} // namespace hf
