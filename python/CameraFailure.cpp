// Messages for the library's status codes.
#include "python/CameraFailure.h"

namespace hx::python {

void raiseStatus(int status, const std::string& camera, const std::string& what) {
    const std::string subject = "camera '" + camera + "'";
    switch (status) {
    case -1:
        throw CameraFailure(FailureKind::NotFound,
                            subject + " is not connected (it may have been unplugged)", status,
                            camera);
    case -2:
        throw CameraFailure(FailureKind::Camera,
                            "cannot " + what + " on " + subject +
                                ": the library refused the argument",
                            status, camera);
    case -3:
        throw CameraFailure(FailureKind::Camera,
                            "cannot " + what + " on " + subject + ": the USB transfer failed",
                            status, camera);
    case -4:
        throw CameraFailure(FailureKind::NotSupported,
                            subject + " cannot " + what + ": this camera does not offer it", status,
                            camera);
    default:
        throw CameraFailure(FailureKind::Camera,
                            "cannot " + what + " on " + subject + " (status " +
                                std::to_string(status) + ")",
                            status, camera);
    }
}

void raiseValue(const std::string& message) {
    throw CameraFailure(FailureKind::Value, message);
}

} // namespace hx::python
