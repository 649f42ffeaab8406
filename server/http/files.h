#pragma once

// Files of the data folder. Everything the server writes there is private to the user it runs as:
// folders 0700, files 0600, given at creation (never widened first and narrowed after).

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace hf::server {

// Creates the folder (and missing parents) and makes the folder itself 0700. Throws on failure.
void makePrivateFolder(const std::filesystem::path& folder);

// A new file opened for writing with mode 0600; it must not exist yet.
class PrivateFile {
public:
    explicit PrivateFile(const std::filesystem::path& path);
    ~PrivateFile();
    PrivateFile(const PrivateFile&) = delete;
    PrivateFile& operator=(const PrivateFile&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // Writes all of it; false (with error() set) when the disk refuses.
    bool write(const char* data, std::size_t length);
    // Flushes to the disk and closes; false when either fails.
    bool syncAndClose();
    // Closes; false when the close reports a failed write.
    bool close();
    int error() const { return m_error; } // errno of the first failure

private:
    int m_fd = -1;
    int m_error = 0;
};

// Puts `data` at `path` only once it is completely on disk: written to a temporary file beside it
// (mode 0600), flushed, renamed over `path`, and the folder flushed. On failure nothing is left
// behind and the errno of the failure is returned; 0 on success.
int writeFileDurably(const std::filesystem::path& path, std::string_view data);

// Flushes a file, or a folder's entries, to the disk; false when it cannot be opened or flushed.
bool syncToDisk(const std::filesystem::path& path);

// The name of a temporary file beside `path` ("<name>.part-<random>"); a restart removes such files.
std::filesystem::path temporaryBeside(const std::filesystem::path& path);
bool isTemporaryName(const std::string& name);

// The HTTP status for a failed write: 507 when the disk (or the process's file size limit) is full.
int statusForWriteError(int error);

} // namespace hf::server
