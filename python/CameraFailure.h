// The one C++ exception of the Python module. It is thrown wherever a call fails, also where the
// interpreter lock is not held, and becomes the matching Python exception when it reaches the
// interpreter (the translator takes the lock).
#pragma once

#include <stdexcept>
#include <string>

namespace hx::python {

/// Which Python exception a failure becomes.
enum class FailureKind {
    Camera,       ///< CameraError
    NotFound,     ///< CameraNotFoundError (a LookupError)
    Timeout,      ///< FrameTimeoutError (a TimeoutError)
    NotSupported, ///< NotSupportedError
    Value,        ///< ValueError
    File,         ///< OSError with an errno
};

class CameraFailure : public std::runtime_error {
public:
    CameraFailure(FailureKind kind, std::string message, int status = 0, std::string camera = {})
        : std::runtime_error(std::move(message)), kind_(kind), status_(status),
          camera_(std::move(camera)) {}

    FailureKind kind() const { return kind_; }
    /// The library's status code, or the errno of a File failure.
    int status() const { return status_; }
    /// The device name concerned, "" for none.
    const std::string& camera() const { return camera_; }

private:
    FailureKind kind_;
    int status_;
    std::string camera_;
};

/// Throws the failure that a negative status of a camera call stands for; `what` names the
/// call for the message ("set the exposure").
[[noreturn]] void raiseStatus(int status, const std::string& camera, const std::string& what);

/// Returns status when it is not negative, else throws as raiseStatus does.
inline int checkStatus(int status, const std::string& camera, const std::string& what) {
    if (status < 0) raiseStatus(status, camera, what);
    return status;
}

/// Throws a ValueError.
[[noreturn]] void raiseValue(const std::string& message);

} // namespace hx::python
