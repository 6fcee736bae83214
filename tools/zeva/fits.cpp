#include "tools/zeva/fits.h"

#include <fitsio.h>

#include <cstdlib>

namespace zeva::tool {

namespace {

void WriteKey(fitsfile* f, const FitsKey& k, int* status) {
    char* name = const_cast<char*>(k.name.c_str());
    char* comment = k.comment.empty() ? nullptr : const_cast<char*>(k.comment.c_str());
    switch (k.kind) {
        case FitsKey::Text:
            fits_update_key(f, TSTRING, name, const_cast<char*>(k.text.c_str()), comment, status);
            break;
        case FitsKey::Integer: {
            long long v = k.integer;
            fits_update_key(f, TLONGLONG, name, &v, comment, status);
            break;
        }
        case FitsKey::Real: {
            double v = k.real;
            fits_update_key(f, TDOUBLE, name, &v, comment, status);
            break;
        }
        case FitsKey::Logical: {
            int v = k.integer != 0;
            fits_update_key(f, TLOGICAL, name, &v, comment, status);
            break;
        }
    }
}

}  // namespace

std::string FitsBytes(long width, long height, const std::vector<std::uint16_t>& pixels,
                      const std::vector<FitsKey>& keys, std::vector<char>* bytes) {
    // cfitsio grows the buffer with realloc, one 2880-byte block at a time.
    std::size_t size = 2880;
    void* buffer = std::malloc(size);
    int status = 0;
    fitsfile* f = nullptr;
    fits_create_memfile(&f, &buffer, &size, 2880, std::realloc, &status);
    long axes[2] = {width, height};
    fits_create_img(f, USHORT_IMG, 2, axes, &status);
    fits_write_date(f, &status);
    for (const FitsKey& k : keys) WriteKey(f, k, &status);
    if (!pixels.empty())
        fits_write_img(f, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()),
                       const_cast<std::uint16_t*>(pixels.data()), &status);
    fits_write_chksum(f, &status);
    // The file ends where its only unit's padded data end.
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_hduaddrll(f, &headStart, &dataStart, &dataEnd, &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    if (status == 0)
        status = closeStatus;
    if (status == 0 && dataEnd > 0 && static_cast<std::size_t>(dataEnd) <= size)
        bytes->assign(static_cast<char*>(buffer), static_cast<char*>(buffer) + dataEnd);
    std::free(buffer);
    if (status == 0)
        return bytes->empty() ? "the file's size could not be told" : std::string();
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return text;
}

}  // namespace zeva::tool
