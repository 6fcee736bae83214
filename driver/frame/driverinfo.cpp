// GetDriverInfo: the driver's own version record.
#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/bytes.h"
#include "driver/frame/frame.h"
#include "driver/frame/routines.h"

namespace zeva::driver {

NTSTATUS GetDriverInfo(DeviceState* /*state*/, const std::uint8_t* params, std::uint8_t* result) {
    namespace r = rec::DriverInfoResult;
    const std::int16_t request = le::GetI16(params, rec::DriverInfoParams::Request);
    if (request < 0 || request > 1) {
        return ErrorStatus(ErrBadParameter);
    }
    clear(result, static_cast<std::int16_t>(r::kSize));
    if (request == 0) {
        le::Put16(result, r::Version, kDriverVersion);
        scpy(result + r::Name, kDriverInfoName);
    } else {
        le::Put16(result, r::Version, 0);
        scpy(result + r::Name, kLibraryInfoName);
    }
    le::Put16(result, r::MaxRequest, 1);
    return STATUS_SUCCESS;
}

}  // namespace zeva::driver
