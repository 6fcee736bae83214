// A FITS image read back with cfitsio: its pixels as unsigned 16 bit and its
// header keys.  Failures are test failures naming the file or key.
#pragma once

#include <fitsio.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace zeva::test {

struct FitsImage {
    long width = 0, height = 0;
    int bitpix = 0;     // as stored
    int equivType = 0;  // after BZERO / BSCALE
    std::vector<unsigned short> pixels;
    fitsfile* f = nullptr;

    explicit FitsImage(const std::filesystem::path& p) {
        int status = 0;
        fits_open_file(&f, p.c_str(), READONLY, &status);
        EXPECT_EQ(status, 0) << p;
        if (status)
            return;
        long axes[2] = {0, 0};
        int naxis = 0;
        fits_get_img_param(f, 2, &bitpix, &naxis, axes, &status);
        fits_get_img_equivtype(f, &equivType, &status);
        width = axes[0];
        height = axes[1];
        pixels.resize(static_cast<std::size_t>(width * height));
        int anynul = 0;
        fits_read_img(f, TUSHORT, 1, width * height, nullptr, pixels.data(), &anynul, &status);
        EXPECT_EQ(status, 0) << p;
    }
    ~FitsImage() {
        int status = 0;
        if (f)
            fits_close_file(f, &status);
    }
    FitsImage(const FitsImage&) = delete;
    FitsImage& operator=(const FitsImage&) = delete;

    std::string Text(const char* key) {
        char v[FLEN_VALUE] = {};
        int status = 0;
        if (f)
            fits_read_key(f, TSTRING, key, v, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return v;
    }
    double Number(const char* key) {
        double v = 0;
        int status = 0;
        if (f)
            fits_read_key(f, TDOUBLE, key, &v, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return v;
    }
    // Whether the header has `key` at all.
    bool Has(const char* key) {
        char card[FLEN_CARD] = {};
        int status = 0;
        if (f)
            fits_read_card(f, key, card, &status);
        return f && status == 0;
    }
    // The value as written in the card ("'M42'", "1000", "T"), to see its type.
    std::string Raw(const char* key) {
        char v[FLEN_VALUE] = {};
        int status = 0;
        if (f)
            fits_read_keyword(f, key, v, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return v;
    }
    // Whether CHECKSUM and DATASUM are there and both verify.
    bool ChecksumsVerify() {
        int dataOk = 0, hduOk = 0, status = 0;
        if (f)
            fits_verify_chksum(f, &dataOk, &hduOk, &status);
        return f && status == 0 && dataOk == 1 && hduOk == 1;
    }
    long long Integer(const char* key) {
        long long v = 0;
        int status = 0;
        if (f)
            fits_read_key(f, TLONGLONG, key, &v, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return v;
    }
};

}  // namespace zeva::test
