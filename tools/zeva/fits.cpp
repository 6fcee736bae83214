#include "tools/zeva/fits.h"

#include <fitsio.h>

namespace zeva::tool {

std::string WriteFits(const std::string& path, long width, long height,
                      const std::vector<std::uint16_t>& pixels, const std::vector<FitsKey>& keys) {
    int status = 0;
    fitsfile* f = nullptr;
    const std::string target = "!" + path;  // replace an existing file
    fits_create_file(&f, target.c_str(), &status);
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
