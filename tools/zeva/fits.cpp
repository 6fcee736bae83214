#include "tools/zeva/fits.h"

#include <fitsio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zeva::tool {

std::string OutputPathProblem(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? std::string() : std::strerror(errno);
    if (S_ISREG(st.st_mode))
        return {};
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

std::string WriteFits(const std::string& path, long width, long height,
                      const std::vector<std::uint16_t>& pixels, const std::vector<FitsKey>& keys) {
    if (std::string problem = OutputPathProblem(path); !problem.empty())
        return path + " " + problem;
    // The disk-file entry takes the name as it is, and creates only a new
    // file: what was there goes first (a symbolic link itself, not its target).
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return path + ": " + std::strerror(errno);
    int status = 0;
    fitsfile* f = nullptr;
    fits_create_diskfile(&f, path.c_str(), &status);
    long axes[2] = {width, height};
    fits_create_img(f, USHORT_IMG, 2, axes, &status);
    for (const FitsKey& k : keys) {
        char* name = const_cast<char*>(k.name.c_str());
        char* comment = const_cast<char*>(k.comment.c_str());
        if (k.kind == FitsKey::Text) {
            fits_update_key(f, TSTRING, name, const_cast<char*>(k.text.c_str()), comment, &status);
        } else if (k.kind == FitsKey::Integer) {
            long long v = k.integer;
            fits_update_key(f, TLONGLONG, name, &v, comment, &status);
        } else {
            double v = k.real;
            fits_update_key(f, TDOUBLE, name, &v, comment, &status);
        }
    }
    if (!pixels.empty())
        fits_write_img(f, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()),
                       const_cast<std::uint16_t*>(pixels.data()), &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    if (status == 0)
        status = closeStatus;
    if (status == 0)
        return {};
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return text;
}

}  // namespace zeva::tool
