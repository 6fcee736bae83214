/* ZEVA camera libraries: the application interface.
 *
 * Applications call one entry function with a command number, a pointer to
 * the command's parameter record and a pointer to its result record.  All
 * record fields are little-endian and packed (no gaps); the offsets below
 * are byte offsets into those records.
 *
 *   libzevant.so    ParDeviceCommand, ParDeviceCommandNH  (Windows NT path)
 *   libzeva32m.so   ParDrvCommand                         (Windows 95/98 path)
 *   libzevavb32.so  ParDrvCommandVB                       (either, chosen at OpenDriver)
 */
#ifndef ZEVA_ZEVA_H
#define ZEVA_ZEVA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Command numbers (low 16 bits of the command argument). */
enum {
    ZEVA_START_EXPOSURE = 1,
    ZEVA_END_EXPOSURE = 2,
    ZEVA_READOUT_LINE = 3,
    ZEVA_DUMP_LINES = 4,
    ZEVA_SET_TEMPERATURE_REGULATION = 5,
    ZEVA_QUERY_TEMPERATURE_STATUS = 6,
    ZEVA_ACTIVATE_RELAY = 7,
    ZEVA_PULSE_OUT = 8,
    ZEVA_ESTABLISH_LINK = 9,
    ZEVA_GET_DRIVER_INFO = 10,
    ZEVA_GET_CCD_INFO = 11,
    ZEVA_QUERY_COMMAND_STATUS = 12,
    ZEVA_MISCELLANEOUS_CONTROL = 13,
    ZEVA_READ_SUBTRACT_LINE = 14,
    ZEVA_NO_OPERATION = 15,
    ZEVA_READ_OFFSET = 16,
    ZEVA_OPEN_DRIVER = 17,
    ZEVA_CLOSE_DRIVER = 18,
    ZEVA_TX_SERIAL_BYTES = 19,
    ZEVA_GET_SERIAL_STATUS = 20,
    ZEVA_AO_TIP_TILT = 21,
    ZEVA_AO_SET_FOCUS = 22,
    ZEVA_AO_DELAY = 23,
    ZEVA_GET_TURBO_STATUS = 24,
    ZEVA_END_READOUT = 25,
    ZEVA_GET_US_TIMER = 26,
    ZEVA_OPEN_DEVICE = 27,
    ZEVA_CLOSE_DEVICE = 28,
    ZEVA_SET_IRQL = 29,
    ZEVA_GET_IRQL = 30,
    ZEVA_GET_DRIVER_HANDLE = 33,
    ZEVA_SET_DRIVER_HANDLE = 34,
    ZEVA_PORT_READ_DATA = 102,
    ZEVA_PORT_WRITE_DATA = 103,
    ZEVA_PORT_READ_STATUS = 104,
    ZEVA_PORT_WRITE_STATUS = 105,
    ZEVA_PORT_READ_CONTROL = 106,
    ZEVA_PORT_WRITE_CONTROL = 107,
    ZEVA_PORT_READ_ECR = 120,
    ZEVA_PORT_WRITE_ECR = 121,
    ZEVA_PORT_READ_ADDRESS = 122,
    ZEVA_PORT_WRITE_ADDRESS = 123,
    ZEVA_PORT_WRITE_THEN_READ = 124,
    ZEVA_PORT_SET_BITS = 125,
    ZEVA_PORT_CLEAR_BITS = 126,
    ZEVA_PORT_NO_OPERATION = 127
};

/* Error codes.  ParDeviceCommand reports 0xE0000000 + code, ParDeviceCommandNH
 * 1000 + code, ParDrvCommand the plain code. */
enum {
    ZEVA_ERR_NONE = 0,
    ZEVA_ERR_EXPOSURE_IN_PROGRESS = 2,
    ZEVA_ERR_UNKNOWN_COMMAND = 4,
    ZEVA_ERR_BAD_PARAMETER = 6,
    ZEVA_ERR_TX_TIMEOUT = 7,
    ZEVA_ERR_RX_TIMEOUT = 8,
    ZEVA_ERR_NAK_RECEIVED = 9,
    ZEVA_ERR_CAN_RECEIVED = 10,
    ZEVA_ERR_UNKNOWN_RESPONSE = 11,
    ZEVA_ERR_BAD_LENGTH = 12,
    ZEVA_ERR_DIGITIZER_TIMEOUT = 13,
    ZEVA_ERR_EEPROM_CHECKSUM = 15,
    ZEVA_ERR_EEPROM_VERSION = 16,
    ZEVA_ERR_SHUTTER = 17,
    ZEVA_ERR_CAMERA_NOT_FOUND = 18,
    ZEVA_ERR_DRIVER_NOT_FOUND = 19,
    ZEVA_ERR_DRIVER_NOT_OPEN = 20,
    ZEVA_ERR_DRIVER_ALREADY_OPEN = 21,
    ZEVA_ERR_TIP_TILT_INCOMPLETE = 24,
    ZEVA_ERR_CLOSE_DEVICE_FAILED = 107,
    ZEVA_ERR_OPEN_DEVICE_FAILED = 108,
    ZEVA_ERR_BAD_CCD_INFO_REQUEST = 126,
    ZEVA_ERR_PORT_COMMAND_FAILED = 133
};
#define ZEVA_STATUS_BASE 0xE0000000u
#define ZEVA_INVALID_HANDLE 0xFFFFFFFFu

/* Packed record layouts: sizes and field offsets. */
#define ZEVA_START_EXPOSURE_PARAMS_SIZE 10 /* ParDeviceCommandNH, ParDrvCommand(VB) */
#define ZEVA_START_EXPOSURE_CCD 0          /* u16 */
#define ZEVA_START_EXPOSURE_TIME 2         /* u32, camera timer units */
#define ZEVA_START_EXPOSURE_OPTION_CODE 6  /* u16 */
#define ZEVA_START_EXPOSURE_SHUTTER_MODE 8 /* u16 */
/* ParDeviceCommand takes the aligned 12-byte form: Ccd 0, time 4, option 8, shutter 10. */
#define ZEVA_ALIGNED_START_EXPOSURE_PARAMS_SIZE 12

#define ZEVA_READOUT_LINE_PARAMS_SIZE 8
#define ZEVA_READOUT_LINE_CCD 0             /* u16 */
#define ZEVA_READOUT_LINE_MODE 2            /* u8 */
#define ZEVA_READOUT_LINE_VERTICAL_FACTOR 3 /* u8 */
#define ZEVA_READOUT_LINE_PIXEL_START 4     /* u16 */
#define ZEVA_READOUT_LINE_PIXEL_LENGTH 6    /* u16; the result holds 2 x PixelLength bytes */
#define ZEVA_READ_SUBTRACT_MAX_PIXELS 1530

#define ZEVA_DRIVER_INFO_PARAMS_SIZE 2 /* u16 Request */
#define ZEVA_DRIVER_INFO_RESULT_SIZE 68
#define ZEVA_DRIVER_INFO_VERSION 0      /* u16 */
#define ZEVA_DRIVER_INFO_NAME 2         /* 64 bytes, zero-terminated */
#define ZEVA_DRIVER_INFO_MAX_REQUEST 66 /* u16 */

#define ZEVA_CCD_INFO_PARAMS_SIZE 2 /* u16 Request: 0, 1, 2 or 3 */
#define ZEVA_CCD_INFO_RESULT_SIZE \
    390 /* requests 0, 1 (packed); give 392 bytes to ParDeviceCommandNH */
#define ZEVA_CCD_INFO_ALIGNED_RESULT_SIZE 392 /* requests 0, 1 through ParDeviceCommand */
#define ZEVA_CCD_INFO_MODES 70                /* packed: 20 entries of 16 bytes from here */
#define ZEVA_CCD_INFO_MODE_SIZE 16
#define ZEVA_CCD_INFO_EXT_RESULT_SIZE 22   /* request 2 */
#define ZEVA_CCD_INFO_STATUS_RESULT_SIZE 4 /* request 3 */

#define ZEVA_ESTABLISH_LINK_RESULTS_SIZE 2 /* u16 camera type */
#define ZEVA_OPEN_DEVICE_PARAMS_SIZE 2     /* u16 PortNumber, 1 = first parallel port */
#define ZEVA_DEVICE_HANDLE_RECORD_SIZE 4   /* u32 handle */
#define ZEVA_TX_SERIAL_BYTES_PARAMS_SIZE(count) (2 + (count)) /* u16 count, then the bytes */
#define ZEVA_TX_SERIAL_BYTES_RESULTS_SIZE 2
#define ZEVA_SERIAL_STATUS_RESULTS_SIZE 2

#if defined(__GNUC__)
#define ZEVA_API __attribute__((visibility("default")))
#else
#define ZEVA_API
#endif

/* libzevant.so */
ZEVA_API uint32_t ParDeviceCommand(uint32_t device, uint32_t command, void* in, void* out);
ZEVA_API uint32_t ParDeviceCommandNH(uint32_t command, void* in, void* out);
/* libzeva32m.so */
ZEVA_API uint16_t ParDrvCommand(uint32_t command, void* in, void* out);
/* libzevavb32.so */
ZEVA_API uint32_t ParDrvCommandVB(uint32_t command, void* in, void* out);

#ifdef __cplusplus
}
#endif

#endif /* ZEVA_ZEVA_H */
