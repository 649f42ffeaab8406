#include "http/files.h"

#include "http/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace hf::server {

void makePrivateFolder(const std::filesystem::path& folder)
{
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || ::chmod(folder.c_str(), 0700) != 0)
        throw std::runtime_error("cannot create the folder " + folder.string() + ": "
                                 + (ec ? ec.message() : std::generic_category().message(errno)));
}

PrivateFile::PrivateFile(const std::filesystem::path& path)
{
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0)
        m_error = errno;
}

PrivateFile::~PrivateFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool PrivateFile::write(const char* data, std::size_t length)
{
    while (m_fd >= 0 && m_error == 0 && length > 0) {
        ssize_t n = ::write(m_fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = n < 0 ? errno : ENOSPC;
            break;
        }
        data += n;
        length -= size_t(n);
    }
    return m_fd >= 0 && m_error == 0;
}

bool PrivateFile::syncAndClose()
{
    if (m_fd >= 0 && m_error == 0 && ::fsync(m_fd) != 0)
        m_error = errno;
    return close();
}

bool PrivateFile::close()
{
    if (m_fd >= 0) {
        if (::close(m_fd) != 0 && m_error == 0)
            m_error = errno;
        m_fd = -1;
    } else if (m_error == 0) {
        m_error = EBADF;
    }
    return m_error == 0;
}

std::filesystem::path temporaryBeside(const std::filesystem::path& path)
{
    return path.string() + ".part-" + randomToken(6);
}

bool isTemporaryName(const std::string& name)
{
    // Ours, and the separation engine's "<stem>.flac.partial-<random>".
    return name.find(".part-") != std::string::npos || name.find(".partial-") != std::string::npos;
}

int writeFileDurably(const std::filesystem::path& path, std::string_view data)
{
    auto temporary = temporaryBeside(path);
    int error = 0;
    {
        PrivateFile file(temporary);
        if (!file.write(data.data(), data.size()) || !file.syncAndClose())
            error = file.error();
    }
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself is on disk once the folder is.
    syncToDisk(path.parent_path());
    return 0;
}

bool syncToDisk(const std::filesystem::path& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

int statusForWriteError(int error)
{
    return error == ENOSPC || error == EFBIG || error == EDQUOT ? 507 : 500;
}

} // namespace hf::server
