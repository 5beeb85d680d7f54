// The iterator of Camera.frames(): one frame per step, a given number of them or without end.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>

namespace hx::python {

class Camera;

class FrameStream {
public:
    /// count: frames to deliver, none for no end; raw: sensor samples instead of processed
    /// images. Keeps the camera's Python object alive.
    FrameStream(pybind11::object camera, std::optional<int64_t> count, bool raw,
                std::optional<double> timeout);

    /// The next frame; pybind11::stop_iteration after the last.
    pybind11::object next();
    /// Frames still to come, none for no end.
    std::optional<int64_t> remaining() const { return remaining_; }

private:
    pybind11::object owner_;
    Camera* camera_;
    std::optional<int64_t> remaining_;
    bool raw_;
    std::optional<double> timeout_;
};

} // namespace hx::python
