#include "coordinator/export_temporaries.h"

#include "pipeline/media_error.h"
#include "platform/errors.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
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
    int release() { return std::exchange(m_fd, -1); }
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
// may touch, and once its set is being put in place, its destination, the name its destination's
// file may be renamed aside to and the new file's inode. A slot's state: 0 free, 1 being filled by
// its owner, 2 ready, 3 taken by a handler (which ends the process, so the slot is never given
// back).
struct SignalSlot {
    std::atomic<int> state{0};
    // The set being put in place it belongs to (a CommitSlot), -1 for none, or leftToNextStart.
    std::atomic<int> commit{-1};
    char file[PATH_MAX];
    char record[PATH_MAX];
    char destination[PATH_MAX];
    char aside[PATH_MAX];
    ino_t inode = 0;
};
std::array<SignalSlot, 16> signalSlots;

// A set being put in place too large for the handler's slots: only the next start settles it.
constexpr int leftToNextStart = -2;

// A set being put in place, for the handler: its record, and whether its thread is taking a step
// (renaming or removing files), which the handler waits for unless it interrupted that thread.
struct CommitSlot {
    std::atomic<int> state{0};
    std::atomic<int> busy{0};
    std::atomic<pid_t> thread{0};
    char record[PATH_MAX];
};
std::array<CommitSlot, signalSlots.size()> commitSlots;

// Set by a handler about to end the process: no step begins any more.
std::atomic<bool> halted{false};

int claimSlot(const QByteArray& file, const QByteArray& record)
{
    if (file.size() >= PATH_MAX || record.size() >= PATH_MAX)
        return -1;
    for (size_t i = 0; i < signalSlots.size(); ++i) {
        SignalSlot& slot = signalSlots[i];
        int expected = 0;
        if (!slot.state.compare_exchange_strong(expected, 1))
            continue;
        slot.commit = -1;
        std::memcpy(slot.file, file.constData(), size_t(file.size()) + 1);
        std::memcpy(slot.record, record.constData(), size_t(record.size()) + 1);
        slot.destination[0] = slot.aside[0] = '\0';
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

// One file of a set being put in place, as its record and the handler know it.
struct Settling {
    const char* temporary;
    const char* destination;
    const char* aside;
    ino_t inode;   // the new file's
};

bool present(const char* path)
{
    struct stat info {};
    return ::lstat(path, &info) == 0;
}

bool holdsNew(const char* path, ino_t inode)
{
    struct stat info {};
    return ::lstat(path, &info) == 0 && info.st_ino == inode;
}

// Removes what the new file at `e.destination` replaced: renamed aside, or swapped to the
// temporary's name. Async-signal-safe.
bool dropReplaced(const Settling& e)
{
    if (present(e.aside))
        return ::unlink(e.aside) == 0;
    return present(e.temporary) && !holdsNew(e.temporary, e.inode) && ::unlink(e.temporary) == 0;
}

// Settles a set whose placing stopped, from what its folders hold: when every destination has its
// new file (and `mayFinish`) what they replaced goes; otherwise every new file goes and what stood
// at its destination (renamed aside, or swapped to the temporary's name) is put back. The same
// however far the placing got, so doing it again changes nothing. Returns how many files went or
// were put back. Async-signal-safe.
int settle(const Settling* entries, size_t count, bool mayFinish)
{
    bool finished = mayFinish;
    for (size_t i = 0; i < count && finished; ++i)
        finished = holdsNew(entries[i].destination, entries[i].inode);
    int changed = 0;
    for (size_t i = 0; i < count; ++i) {
        const Settling& e = entries[i];
        if (finished) {
            changed += dropReplaced(e) ? 1 : 0;
            continue;
        }
        if (holdsNew(e.destination, e.inode)) {
            const bool putBack = present(e.aside) ? ::rename(e.aside, e.destination) == 0
                                 : present(e.temporary) && !holdsNew(e.temporary, e.inode)
                                     ? ::rename(e.temporary, e.destination) == 0
                                     : ::unlink(e.destination) == 0;
            changed += putBack ? 1 : 0;
            continue;
        }
        if (holdsNew(e.temporary, e.inode) && ::unlink(e.temporary) == 0)
            ++changed;
        // Stopped between renaming the user's file aside and the new one into its place.
        if (present(e.aside) && !present(e.destination) && ::rename(e.aside, e.destination) == 0)
            ++changed;
    }
    return changed;
}

struct Entry {
    QString record;   // empty: the record could not be written, or a set's record took its place
    int slot = -1;
    int lock = -1;    // the descriptor holding the record's lock
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

// Creates the record `path` in `folder` holding `content`, locked by the returned descriptor, and
// puts it, with its name in `folder`, on the disk. Minus the error number on failure.
int writeRecord(const QString& folder, const QString& path, const QByteArray& content)
{
    const QByteArray name = nativeName(path);
    Descriptor out(::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out.valid())
        return -errno;
    // A start's clean-up may have taken the new, empty record for a dead export's between its
    // creation and the lock: it is then no longer under its name, and another one is made.
    if (::flock(out.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return -EEXIST;
        // A file system without locks: the record is kept all the same, and no start removes it
        // while nothing can tell whether its process lives.
        qCWarning(lcExportTemporaries, "Couldn't lock %s: %s", name.constData(), std::strerror(errno));
    }
    struct stat opened {};
    struct stat named {};
    if (::fstat(out.get(), &opened) != 0 || ::stat(name.constData(), &named) != 0 || opened.st_ino != named.st_ino)
        return -EEXIST;
    for (qsizetype done = 0; done < content.size();) {
        const ssize_t n = ::write(out.get(), content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::unlink(name.constData());
            return -error;
        }
        done += n;
    }
    if (::fsync(out.get()) != 0) {
        const int error = errno;
        ::unlink(name.constData());
        return -error;
    }
    Descriptor directory(::open(nativeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid())
        ::fsync(directory.get());
    return out.release();
}

// A new record in the record folder holding `content`; its path and the descriptor holding its
// lock, or an empty path (and a warning) when there is no record folder or it could not be written.
std::pair<QString, int> newRecord(const QString& folder, const QString& suffix, const QByteArray& content)
{
    if (folder.isEmpty())
        return {QString(), -1};
    int result = -ENOENT;
    for (int attempt = 0; attempt < 100 && QDir().mkpath(folder); ++attempt) {
        const QString record = QDir(folder).filePath(QUuid::createUuid().toString(QUuid::Id128) + suffix);
        result = writeRecord(folder, record, content);
        if (result >= 0)
            return {record, result};
        if (result != -EEXIST)
            break;
    }
    qCWarning(lcExportTemporaries, "Couldn't record a temporary file in %s: %s", qUtf8Printable(folder),
              std::strerror(-result));
    return {QString(), -1};
}

void dropRecord(const Entry& entry)
{
    if (!entry.record.isEmpty())
        ::unlink(nativeName(entry.record).constData());
    if (entry.lock >= 0)
        ::close(entry.lock);
}

// Removes the entry of `temporary` and its record; the file itself first when `removeFile`.
// The registry's mutex is held.
void forgetLocked(Registry& r, const QString& temporary, bool removeFile)
{
    const Entry entry = r.entries.take(temporary);
    if (removeFile)
        ::unlink(nativeName(temporary).constData());
    releaseSlot(entry.slot);
    dropRecord(entry);
}

// A new temporary file beside `destination`, recorded first, opened for writing.
std::pair<QString, int> createBeside(const QFileInfo& destination)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString id = QUuid::createUuid().toString(QUuid::Id128);
        const QString temporary =
            destination.dir().filePath(QStringLiteral(".%1.%2.part").arg(destination.fileName(), id.left(8)));
        // Without a record the export still goes on: only a kill or a crash could leave its file.
        const auto [record, lock] = newRecord(ExportTemporaries::recordFolder(), QStringLiteral(".record"),
                                                  nativeName(temporary) + '\n');
        const Entry entry{record, -1, lock};

        Registry& r = registry();
        QMutexLocker locker(&r.mutex);
        if (ending) {
            dropRecord(entry);
            throw Cancelled();
        }
        const int slot = claimSlot(nativeName(temporary), nativeName(record));
        // Made with the ordinary permissions (the user's umask applies), like any file the user saves.
        const int fd = ::open(nativeName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            releaseSlot(slot);
            dropRecord(entry);
            if (error == EEXIST)
                continue;
            throw FileSystemError::writing(destination.fileName(), error);
        }
        r.entries.insert(temporary, Entry{record, slot, lock});
        return {temporary, fd};
    }
    throw FileSystemError::writing(destination.fileName(), EEXIST);
}

// Whether `path` still looks like a temporary file of an export: named as they are (any byte
// but a slash in the destination's name, a newline too), a regular file (not a link) of this user.
bool looksLikeTemporary(const QString& path)
{
    static const QRegularExpression name(QStringLiteral("\\A\\..+\\.[0-9a-f]{8}\\.part\\z"),
                                         QRegularExpression::DotMatchesEverythingOption);
    if (!QFileInfo(path).isAbsolute() || !name.match(QFileInfo(path).fileName()).hasMatch())
        return false;
    struct stat info {};
    return ::lstat(nativeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid();
}

// The name a replaced file is renamed aside to, beside it.
QString asideName(const QFileInfo& destination)
{
    return destination.dir().filePath(QStringLiteral(".%1.%2.old")
                                          .arg(destination.fileName(),
                                               QUuid::createUuid().toString(QUuid::Id128).left(8)));
}

// Whether `path` is named beside `destination` as its temporary copy (".part") or the file it
// replaced renamed aside (".old") are.
bool namedBeside(const QString& path, const QString& destination, const QString& suffix)
{
    static const QRegularExpression token(QStringLiteral("\\A[0-9a-f]{8}\\.[a-z]+\\z"));
    const QFileInfo file(path);
    const QFileInfo beside(destination);
    const QString prefix = u'.' + beside.fileName() + u'.';
    const QString name = file.fileName();
    return file.isAbsolute() && beside.isAbsolute() && file.absolutePath() == beside.absolutePath()
           && name.startsWith(prefix) && name.endsWith(suffix) && token.match(name.mid(prefix.size())).hasMatch();
}

// A set's record: per file its temporary, destination, aside name and the new file's inode,
// each field ended by a NUL (paths hold any other byte).
QByteArray commitRecord(const std::vector<std::array<QByteArray, 3>>& paths, const std::vector<ino_t>& inodes)
{
    QByteArray content;
    for (size_t i = 0; i < paths.size(); ++i) {
        for (const QByteArray& path : paths[i])
            content += path + '\0';
        content += QByteArray::number(qulonglong(inodes[i])) + '\0';
    }
    return content;
}

// Settles the set `content` records (see commitRecord()); -1 when a destination's folder is not
// there (it waits), or the record is not one.
int settleRecorded(const QByteArray& content)
{
    QList<QByteArray> fields = content.split('\0');
    if (fields.isEmpty() || !fields.takeLast().isEmpty() || fields.size() % 4 != 0)
        return 0;
    std::vector<Settling> entries;
    for (qsizetype i = 0; i < fields.size(); i += 4) {
        const QString temporary = QFile::decodeName(fields[i]);
        const QString destination = QFile::decodeName(fields[i + 1]);
        bool number = false;
        const ino_t inode = ino_t(fields[i + 3].toULongLong(&number));
        if (!number || !namedBeside(temporary, destination, QStringLiteral(".part"))
            || !namedBeside(QFile::decodeName(fields[i + 2]), destination, QStringLiteral(".old")))
            return 0;
        if (!QFileInfo(destination).absoluteDir().exists())
            return -1;
        entries.push_back({fields[i].constData(), fields[i + 1].constData(), fields[i + 2].constData(), inode});
    }
    return settle(entries.data(), entries.size(), true);
}

// Runs `step` unless a handler is ending the process; the handler waits for a step under way.
template<typename Step>
void takeStep(CommitSlot* slot, Step&& step)
{
    std::atomic<int> unseen{0};
    std::atomic<int>& busy = slot ? slot->busy : unseen;
    busy.store(1);
    if (halted.load()) {
        busy.store(0);
        // The handler settles the set and ends the process.
        for (;;)
            ::pause();
    }
    step();
    busy.store(0);
}

// Renames `from` to `to` only while nothing is at `to`: 0, or the error number (EEXIST when
// something is there).
int renameWithoutReplacing(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without that rename: looked at, then renamed.
    if (present(to.constData()))
        return EEXIST;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

// Gives `temporary` the name `destination`, replacing what is there: swapped with it where the
// file system can, else that file first renamed to `aside`. 0, or the error number.
int renameReplacing(const QByteArray& temporary, const QByteArray& destination, const QByteArray& aside,
                    CommitSlot* slot)
{
    int error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        takeStep(slot, [&] {
            error = ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, destination.constData(), RENAME_EXCHANGE) == 0
                        ? 0
                        : errno;
        });
        if (error == ENOENT && present(temporary.constData()))
            takeStep(slot, [&] { error = renameWithoutReplacing(temporary, destination); });
        // Something came to the destination meanwhile: swapped with that.
        if (error != EEXIST)
            break;
    }
    if (error != EINVAL && error != ENOSYS)
        return error;
    if (present(destination.constData())) {
        takeStep(slot, [&] { error = ::rename(destination.constData(), aside.constData()) == 0 ? 0 : errno; });
        if (error != 0)
            return error;
    }
    takeStep(slot, [&] { error = ::rename(temporary.constData(), destination.constData()) == 0 ? 0 : errno; });
    return error;
}

// Puts the names in `folder` on the disk; 0, or the error number.
int syncFolder(const QString& folder)
{
    Descriptor directory(::open(nativeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid())
        return errno;
    if (::fsync(directory.get()) != 0 && errno != EINVAL && errno != EROFS)
        return errno;
    return 0;
}

FileSystemError temporaryGone(const QString& fileName)
{
    return FileSystemError(text("error.export.copyRemoved",
                                "The unfinished copy of \u201c%@\u201d was removed from its folder before it could be "
                                "saved. Nothing was replaced.",
                                {fileName}));
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

void ExportTemporaries::discard(const QString& temporary)
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    forgetLocked(r, temporary, true);
}

void ExportTemporaries::placeAll(const std::vector<Placement>& placements)
{
    Registry& r = registry();
    // Held throughout: the end of the process waits for a set being put in place.
    QMutexLocker lock(&r.mutex);
    std::vector<Placement> set;
    for (const Placement& p : placements)
        if (!p.temporary.isEmpty())
            set.push_back(p);
    const auto discardAll = [&] {
        for (const Placement& p : set)
            forgetLocked(r, p.temporary, true);
    };
    if (ending) {
        discardAll();
        throw Cancelled();
    }
    // Only files are replaced: a folder in the way of any of them fails the export before
    // anything moves.
    std::vector<std::array<QByteArray, 3>> paths;   // temporary, destination, aside
    std::vector<ino_t> inodes;
    for (const Placement& p : set) {
        const QFileInfo destination(p.destination);
        struct stat info {};
        if (destination.isDir() && !destination.isSymLink()) {
            discardAll();
            throw FileSystemError::writing(destination.fileName(), EISDIR);
        }
        if (::lstat(nativeName(p.temporary).constData(), &info) != 0) {
            discardAll();
            throw temporaryGone(destination.fileName());
        }
        paths.push_back({nativeName(p.temporary), nativeName(p.destination), nativeName(asideName(destination))});
        inodes.push_back(info.st_ino);
    }
    if (set.empty())
        return;

    // The set is on the disk before anything moves; its record stands for its files' own.
    const auto [record, recordLock] = newRecord(r.folder, QStringLiteral(".commit"), commitRecord(paths, inodes));
    const QByteArray recordName = nativeName(record);
    // What the handler needs, once every file's slot is filled.
    CommitSlot* commit = nullptr;
    int commitIndex = -1;
    const bool everyFileSeen = std::ranges::all_of(set, [&](const Placement& p) { return r.entries.value(p.temporary).slot >= 0; });
    if (everyFileSeen && recordName.size() < PATH_MAX && paths.size() <= signalSlots.size())
        for (size_t i = 0; i < commitSlots.size() && !commit; ++i) {
            int expected = 0;
            if (commitSlots[i].state.compare_exchange_strong(expected, 1)) {
                commit = &commitSlots[i];
                commitIndex = int(i);
            }
        }
    for (size_t i = 0; i < set.size(); ++i) {
        Entry& entry = r.entries[set[i].temporary];
        if (entry.slot >= 0) {
            SignalSlot& slot = signalSlots[size_t(entry.slot)];
            if (commit && paths[i][1].size() < PATH_MAX && paths[i][2].size() < PATH_MAX) {
                std::memcpy(slot.destination, paths[i][1].constData(), size_t(paths[i][1].size()) + 1);
                std::memcpy(slot.aside, paths[i][2].constData(), size_t(paths[i][2].size()) + 1);
                slot.inode = inodes[i];
                slot.commit = commitIndex;
            } else {
                slot.commit = leftToNextStart;
            }
        }
    }
    if (commit) {
        std::memcpy(commit->record, recordName.constData(), size_t(recordName.size()) + 1);
        commit->thread = pid_t(::gettid());
        commit->state = 2;
    }
    // Past this point the temporaries' own records go: once a file was swapped, its temporary's
    // name holds the user's earlier file.
    for (const Placement& p : set) {
        Entry& entry = r.entries[p.temporary];
        dropRecord(entry);
        entry.record.clear();
        entry.lock = -1;
    }

    const auto end = [&] {
        for (const Placement& p : set)
            forgetLocked(r, p.temporary, false);
        if (commit) {
            commit->thread = 0;
            int expected = 2;
            commit->state.compare_exchange_strong(expected, 0);
        }
        dropRecord(Entry{record, -1, recordLock});
    };
    const auto undo = [&](FileSystemError error) {
        takeStep(commit, [&] {
            std::vector<Settling> entries;
            for (size_t i = 0; i < set.size(); ++i)
                entries.push_back({paths[i][0].constData(), paths[i][1].constData(), paths[i][2].constData(), inodes[i]});
            settle(entries.data(), entries.size(), false);
        });
        end();
        throw std::move(error);
    };
    for (size_t i = 0; i < set.size(); ++i) {
        const QString fileName = QFileInfo(set[i].destination).fileName();
        const auto& [temporary, destination, aside] = paths[i];
        int error = 0;
        if (set[i].mayReplace) {
            error = renameReplacing(temporary, destination, aside, commit);
        } else {
            takeStep(commit, [&] { error = renameWithoutReplacing(temporary, destination); });
            if (error == EEXIST)
                undo(FileSystemError(text("error.export.appeared",
                                          "\u201c%@\u201d appeared in the folder while the export was being saved. "
                                          "Nothing was replaced.",
                                          {fileName}),
                                     EEXIST));
        }
        if (error == ENOENT && !present(temporary.constData()) && QFileInfo(set[i].destination).absoluteDir().exists())
            undo(temporaryGone(fileName));
        if (error != 0)
            undo(FileSystemError::writing(fileName, error));
    }
    // The new names reach the disk before the export is said to be saved.
    QStringList folders;
    for (const Placement& p : set)
        if (const QString folder = QFileInfo(p.destination).absolutePath(); !folders.contains(folder))
            folders << folder;
    for (const QString& folder : std::as_const(folders))
        if (const int error = syncFolder(folder); error != 0)
            undo(FileSystemError::writing(QFileInfo(set.front().destination).fileName(), error));
    // Every file has its name: what they replaced goes.
    takeStep(commit, [&] {
        for (size_t i = 0; i < set.size(); ++i)
            dropReplaced({paths[i][0].constData(), paths[i][1].constData(), paths[i][2].constData(), inodes[i]});
    });
    end();
}

int ExportTemporaries::removeLeftovers()
{
    const QString folder = recordFolder();
    if (folder.isEmpty())
        return 0;
    int changed = 0;
    // The sets first: until a set is settled, its temporaries' names may hold the user's files.
    for (const QString& pattern : {QStringLiteral("*.commit"), QStringLiteral("*.record")}) {
        for (const QFileInfo& record : QDir(folder).entryInfoList({pattern}, QDir::Files | QDir::Hidden)) {
            const QByteArray name = nativeName(record.absoluteFilePath());
            Descriptor in(::open(name.constData(), O_RDONLY | O_CLOEXEC));
            // A record another process holds is of an export still running there.
            if (!in.valid() || ::flock(in.get(), LOCK_EX | LOCK_NB) != 0)
                continue;
            struct stat opened {};
            struct stat named {};
            if (::fstat(in.get(), &opened) != 0 || ::stat(name.constData(), &named) != 0 || opened.st_ino != named.st_ino)
                continue;
            QByteArray content(qsizetype(std::min<off_t>(opened.st_size, 64 * PATH_MAX)), '\0');
            if (::pread(in.get(), content.data(), size_t(content.size()), 0) != content.size())
                continue;
            if (pattern.endsWith(u"commit")) {
                const int settled = settleRecorded(content);
                if (settled < 0)
                    continue;
                changed += settled;
            } else {
                if (content.endsWith('\n'))
                    content.chop(1);
                const QString temporary = QFile::decodeName(content);
                if (looksLikeTemporary(temporary)) {
                    if (::unlink(nativeName(temporary).constData()) != 0) {
                        qCWarning(lcExportTemporaries, "Couldn't remove %s: %s", qUtf8Printable(temporary),
                                  std::strerror(errno));
                        continue;
                    }
                    ++changed;
                } else if (!QFileInfo(temporary).absoluteDir().exists()) {
                    // Its folder is not there (a disk not plugged in, say): the record waits for it.
                    continue;
                }
            }
            ::unlink(name.constData());
        }
    }
    if (changed > 0)
        qCInfo(lcExportTemporaries, "Settled %d files of exports that did not end", changed);
    return changed;
}

void ExportTemporaries::endAll()
{
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    ending = true;
    for (auto it = r.entries.cbegin(); it != r.entries.cend(); ++it) {
        ::unlink(nativeName(it.key()).constData());
        releaseSlot(it->slot);
        dropRecord(*it);
    }
    r.entries.clear();
}

void ExportTemporaries::removeAllFromSignalHandler() noexcept
{
    halted.store(true);
    // A step another thread is taking ends first; one this thread was taking is either done or
    // not begun (a rename is whole).
    const pid_t self = pid_t(::gettid());
    for (CommitSlot& commit : commitSlots)
        while (commit.thread.load() != self && commit.busy.load() != 0) {
        }
    for (size_t c = 0; c < commitSlots.size(); ++c) {
        CommitSlot& commit = commitSlots[c];
        int expected = 2;
        if (!commit.state.compare_exchange_strong(expected, 3))
            continue;
        std::array<Settling, signalSlots.size()> entries{};
        size_t count = 0;
        for (SignalSlot& slot : signalSlots) {
            int ready = 2;
            if (slot.commit.load() == int(c) && slot.state.compare_exchange_strong(ready, 3))
                entries[count++] = {slot.file, slot.destination, slot.aside, slot.inode};
        }
        settle(entries.data(), count, true);
        if (commit.record[0] != '\0')
            ::unlink(commit.record);
    }
    for (SignalSlot& slot : signalSlots) {
        // A set's file the handler cannot settle waits for the next start.
        if (slot.commit.load() == leftToNextStart)
            continue;
        int expected = 2;
        if (!slot.state.compare_exchange_strong(expected, 3))
            continue;
        ::unlink(slot.file);
        if (slot.record[0] != '\0')
            ::unlink(slot.record);
    }
}

} // namespace hf
