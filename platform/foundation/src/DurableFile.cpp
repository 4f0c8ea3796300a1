#include "platform/foundation/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace foundation {

namespace fs = std::filesystem;

bool writeFileDurably(const fs::path& path, std::string_view bytes, FileAccess access, std::string& why)
{
    std::error_code ec;
    const fs::path folder = path.parent_path();
    if (!folder.empty()) {
        fs::create_directories(folder, ec);
        if (ec) {
            why = "cannot create " + folder.string() + ": " + ec.message();
            return false;
        }
    }
    // Unique per call, so that two threads writing the same file never share a temporary.
    static std::atomic<unsigned long> serial{0};
    const fs::path temporary = path.string() + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++serial);
    const bool ownerOnly = access == FileAccess::OwnerOnly;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ownerOnly ? 0600 : 0666);
    if (fd < 0) {
        why = "cannot write " + temporary.string() + ": " + std::strerror(errno);
        return false;
    }
    // A umask may take even the owner's own bits away.
    int failure = ownerOnly && ::fchmod(fd, 0600) != 0 ? errno : 0;
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (!failure && left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            failure = written < 0 ? errno : EIO;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    // Flush before the rename: after a power cut the name must not point at blocks never written.
    if (!failure && ::fsync(fd) != 0) {
        failure = errno;
    }
    if (::close(fd) != 0 && !failure) {
        failure = errno;
    }
    if (failure) {
        ::unlink(temporary.c_str());
        why = "cannot write " + temporary.string() + ": " + std::strerror(failure);
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = errno;
        ::unlink(temporary.c_str());
        why = "cannot replace " + path.string() + ": " + std::strerror(failure);
        return false;
    }
    const int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

} // namespace foundation
