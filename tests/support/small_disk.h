#pragma once

// A small disk for tests of writing when the disk fills up: a tmpfs of `diskBytes` mounted on a
// temporary folder where the process may mount one (as root with the right to mount), else a
// plain temporary folder with the process's file-size limit capped at `fileBytes` for as long as
// the object lives (writes past it fail with EFBIG, as they would with ENOSPC).

#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>

namespace hf::test {

class SmallDisk {
public:
    SmallDisk(qint64 diskBytes, qint64 fileBytes)
    {
        const QByteArray options = "size=" + QByteArray::number(diskBytes) + ",mode=0700";
        m_mounted = ::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                            options.constData())
                    == 0;
        if (m_mounted)
            return;
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = m_saved;
        capped.rlim_cur = rlim_t(fileBytes);
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~SmallDisk()
    {
        if (m_mounted) {
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
        } else {
            setrlimit(RLIMIT_FSIZE, &m_saved);
            std::signal(SIGXFSZ, m_previousHandler);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    // The folder to write into.
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    // True for a real small file system; false when only the file-size limit stands in for one.
    bool isMounted() const { return m_mounted; }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    rlimit m_saved{};
    void (*m_previousHandler)(int) = nullptr;
};

} // namespace hf::test
