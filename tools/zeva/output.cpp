#include "tools/zeva/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zeva::tool {

namespace {

const char* const kExists = "the file exists (--force replaces it)";

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The mode a file made with fopen would have (mkstemps makes 0600).
mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::string DirectoryProblem(const std::string& path) {
    const std::string dir = DirectoryOf(path);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        return errno == ENOENT ? "the directory " + dir + " does not exist"
                               : "the directory " + dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return dir + " is not a directory";
    if (::access(dir.c_str(), W_OK) != 0)
        return "the directory " + dir + " cannot be written: " + std::strerror(errno);
    return {};
}

std::string OutputPathProblem(const std::string& path, bool replace) {
    if (std::string problem = DirectoryProblem(path); !problem.empty())
        return problem;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? std::string() : std::strerror(errno);
    if (S_ISREG(st.st_mode))
        return replace ? std::string() : kExists;
    if (S_ISDIR(st.st_mode))
        return "is a directory";
    if (S_ISFIFO(st.st_mode))
        return "is a FIFO";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "is a device";
    if (S_ISSOCK(st.st_mode))
        return "is a socket";
    return "is not a regular file";
}

bool ExistsProblem(const std::string& problem) {
    return problem == kExists;
}

PendingFile::~PendingFile() {
    if (file_)
        std::fclose(file_);
    if (!path_.empty())
        ::unlink(path_.c_str());
}

std::string PendingFile::Create(const std::string& target) {
    std::string name = target + ".XXXXXX.part";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back(0);
    const int fd = ::mkstemps(buffer.data(), 5);
    if (fd < 0)
        return std::strerror(errno);
    path_ = buffer.data();
    ::fchmod(fd, NewFileMode());
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        ::close(fd);
        return std::strerror(errno);
    }
    return {};
}

std::string PendingFile::Publish(const std::string& target, bool replace, bool* exists) {
    if (exists)
        *exists = false;
    if (!file_)
        return "nothing written";
    const bool flushed = std::fflush(file_) == 0 && ::fsync(::fileno(file_)) == 0;
    const int flushErrno = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed)
        return std::strerror(flushed ? errno : flushErrno);
    if (std::string problem = OutputPathProblem(target, true); !problem.empty())
        return problem;
    int rc;
    if (replace) {
        rc = std::rename(path_.c_str(), target.c_str());
    } else {
        rc = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the no-replace rename: a hard link never
            // replaces either; one without links (FAT) gets a check first.
            rc = ::link(path_.c_str(), target.c_str());
            if (rc == 0)
                ::unlink(path_.c_str());
            else if (errno == EPERM && ::access(target.c_str(), F_OK) != 0)
                rc = std::rename(path_.c_str(), target.c_str());
            else if (errno == EPERM)
                errno = EEXIST;
        }
    }
    if (rc != 0) {
        if (errno == EEXIST && exists)
            *exists = true;
        return errno == EEXIST ? kExists : std::strerror(errno);
    }
    path_.clear();
    return {};
}

}  // namespace zeva::tool
