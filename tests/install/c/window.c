/* An application built against the installed package through zeva.pc:
 * opens the driver and the first camera through ParDeviceCommandNH, links,
 * exposes the imaging CCD, skips lines and reads a window, then checks the
 * window against the simulator's pattern scene (ZEVA_PORTS=sim:gannet?scene=pattern):
 * active row r, column c holds (31 r + 17 c) mod 1000 above the pedestal of 100.
 * Exit status 0 when every step succeeded and every pixel matched. */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <zeva/zeva.h>

enum { kSkipped = 7, kStart = 20, kLength = 40, kLines = 3, kCameraType = 4, kPedestal = 100 };

static void Put16(uint8_t* p, unsigned at, unsigned v) {
    p[at] = (uint8_t)(v & 0xFF);
    p[at + 1] = (uint8_t)(v >> 8);
}

static void Put32(uint8_t* p, unsigned at, uint32_t v) {
    Put16(p, at, v & 0xFFFF);
    Put16(p, at + 2, v >> 16);
}

static unsigned Get16(const uint8_t* p, unsigned at) {
    return (unsigned)p[at] | (unsigned)p[at + 1] << 8;
}

static int Check(const char* what, uint32_t status) {
    if (status != 0) {
        fprintf(stderr, "window: %s failed with %u\n", what, (unsigned)status);
        return 0;
    }
    return 1;
}

static int ReadWindow(void) {
    uint8_t link[ZEVA_ESTABLISH_LINK_RESULTS_SIZE] = {0};
    if (!Check("EstablishLink", ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, NULL, link)))
        return 0;
    if (Get16(link, 0) != kCameraType) {
        fprintf(stderr, "window: camera type %u, expected %d\n", Get16(link, 0), kCameraType);
        return 0;
    }

    /* 10 ms exposure with the shutter open. */
    uint8_t expose[ZEVA_START_EXPOSURE_PARAMS_SIZE] = {0};
    Put16(expose, ZEVA_START_EXPOSURE_CCD, 0);
    Put32(expose, ZEVA_START_EXPOSURE_TIME, 1);
    Put16(expose, ZEVA_START_EXPOSURE_SHUTTER_MODE, 1);
    if (!Check("StartExposure", ParDeviceCommandNH(ZEVA_START_EXPOSURE, expose, NULL)))
        return 0;
    for (int polls = 0;; ++polls) {
        uint8_t query[2], status[2] = {0};
        Put16(query, 0, ZEVA_START_EXPOSURE);
        if (!Check("QueryCommandStatus",
                   ParDeviceCommandNH(ZEVA_QUERY_COMMAND_STATUS, query, status)))
            return 0;
        if ((Get16(status, 0) & 3) == 3)
            break;
        if (polls == 500) {
            fprintf(stderr, "window: the exposure never completed (status %u)\n", Get16(status, 0));
            return 0;
        }
        const struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, NULL);
    }
    uint8_t ccd[2];
    Put16(ccd, 0, 0);
    if (!Check("EndExposure", ParDeviceCommandNH(ZEVA_END_EXPOSURE, ccd, NULL)))
        return 0;

    uint8_t dump[6];
    Put16(dump, 0, 0); /* CCD, mode 0, vertical factor 1, line count */
    dump[2] = 0;
    dump[3] = 1;
    Put16(dump, 4, kSkipped);
    if (!Check("DumpLines", ParDeviceCommandNH(ZEVA_DUMP_LINES, dump, NULL)))
        return 0;

    int ok = 1;
    for (int line = 0; line < kLines && ok; ++line) {
        uint8_t request[ZEVA_READOUT_LINE_PARAMS_SIZE] = {0};
        uint8_t pixels[2 * kLength + 2];
        memset(pixels, 0xEE, sizeof pixels);
        Put16(request, ZEVA_READOUT_LINE_CCD, 0);
        request[ZEVA_READOUT_LINE_MODE] = 0;
        request[ZEVA_READOUT_LINE_VERTICAL_FACTOR] = 1;
        Put16(request, ZEVA_READOUT_LINE_PIXEL_START, kStart);
        Put16(request, ZEVA_READOUT_LINE_PIXEL_LENGTH, kLength);
        if (!Check("ReadoutLine", ParDeviceCommandNH(ZEVA_READOUT_LINE, request, pixels)))
            return 0;
        const int row = kSkipped + line;
        for (int i = 0; i < kLength; ++i) {
            const unsigned expected = kPedestal + (unsigned)(31 * row + 17 * (kStart + i)) % 1000;
            const unsigned got = Get16(pixels, 2 * (unsigned)i);
            if (got != expected) {
                fprintf(stderr, "window: row %d column %d reads %u, expected %u\n", row, kStart + i,
                        got, expected);
                ok = 0;
                break;
            }
        }
        if (Get16(pixels, 2 * kLength) != 0xEEEE) {
            fprintf(stderr, "window: line %d written past its %d pixels\n", line, kLength);
            ok = 0;
        }
    }
    if (!Check("EndReadout", ParDeviceCommandNH(ZEVA_END_READOUT, ccd, NULL)))
        return 0;
    if (ok)
        printf("window: %d lines of %d pixels at row %d, column %d match the pattern\n", kLines,
               kLength, kSkipped, kStart);
    return ok;
}

int main(void) {
    if (!Check("OpenDriver", ParDeviceCommandNH(ZEVA_OPEN_DRIVER, NULL, NULL)))
        return 1;
    uint8_t port[ZEVA_OPEN_DEVICE_PARAMS_SIZE];
    Put16(port, 0, 1);
    int ok = Check("OpenDevice", ParDeviceCommandNH(ZEVA_OPEN_DEVICE, port, NULL));
    if (ok) {
        ok = ReadWindow();
        ok = Check("CloseDevice", ParDeviceCommandNH(ZEVA_CLOSE_DEVICE, NULL, NULL)) && ok;
    }
    /* With its device closed the no-handle entry answers CloseDriver itself,
     * with 1000 + ErrDriverNotOpen: nothing is left open. */
    const uint32_t closed = ParDeviceCommandNH(ZEVA_CLOSE_DRIVER, NULL, NULL);
    if (closed != 0 && closed != 1000 + ZEVA_ERR_DRIVER_NOT_OPEN) {
        Check("CloseDriver", closed);
        ok = 0;
    }
    return ok ? 0 : 1;
}
