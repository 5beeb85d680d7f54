// Streaming frames from a camera as a Python iterator.
#include "python/FrameStream.h"

#include <utility>

#include "python/Camera.h"
#include "python/CameraFailure.h"

namespace hx::python {

FrameStream::FrameStream(pybind11::object camera, std::optional<int64_t> count, bool raw,
                         std::optional<double> timeout)
    : owner_(std::move(camera)), camera_(owner_.cast<Camera*>()), remaining_(count), raw_(raw),
      timeout_(timeout) {
    if (count && *count < 0) raiseValue("frames(n) needs n >= 0 or None");
}

pybind11::object FrameStream::next() {
    if (remaining_ && *remaining_ == 0) throw pybind11::stop_iteration();
    pybind11::object frame = raw_ ? camera_->grabRaw(timeout_) : camera_->grab(timeout_);
    if (remaining_) --*remaining_;
    return frame;
}

} // namespace hx::python
