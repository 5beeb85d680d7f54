// The Python module halvexcam: cameras as numpy arrays for scripts, notebooks and lab
// automation, over the flat camera API. Every call that can wait (frame reads, settings that
// travel to the camera, saves) runs without the interpreter lock.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "python/Camera.h"
#include "python/CameraFailure.h"
#include "python/FrameStream.h"
#include "python/Library.h"
#include "python/ReadWatch.h"

namespace py = pybind11;
using namespace hx::python;

namespace {

/// The module's plain-Python part (exceptions, Frame), run into the module at import.
const char* const kPrelude =
#include "prelude.inc"
    ;

/// The exception classes of the prelude, kept for the translator. They live as long as the
/// interpreter; the references are never given back, as the translator may run until its end.
PyObject* gCameraError = nullptr;
PyObject* gNotFoundError = nullptr;
PyObject* gTimeoutError = nullptr;
PyObject* gNotSupportedError = nullptr;

/// Frame types by their HalvexFrameType code.
const char* const kFrameTypes[] = {"light", "dark", "flat", "bias"};

/// The hot-plug callback (a new reference, or null); touched only with the interpreter lock.
PyObject* gChangeCallback = nullptr;

void setPythonError(const CameraFailure& failure) {
    if (failure.kind() == FailureKind::Value) {
        PyErr_SetString(PyExc_ValueError, failure.what());
        return;
    }
    if (failure.kind() == FailureKind::File) {
        py::tuple args = py::make_tuple(failure.status(), failure.what());
        PyErr_SetObject(PyExc_OSError, args.ptr());
        return;
    }
    PyObject* type = gCameraError;
    switch (failure.kind()) {
    case FailureKind::NotFound:
        type = gNotFoundError;
        break;
    case FailureKind::Timeout:
        type = gTimeoutError;
        break;
    case FailureKind::NotSupported:
        type = gNotSupportedError;
        break;
    default:
        break;
    }
    py::dict options;
    options["status"] = failure.status() == 0 ? py::none() : py::object(py::int_(failure.status()));
    options["camera"] =
        failure.camera().empty() ? py::none() : py::object(py::str(failure.camera()));
    py::object error = py::reinterpret_borrow<py::object>(type)(failure.what(), **options);
    PyErr_SetObject(type, error.ptr());
}

/// A member function run without the interpreter lock.
template <typename F> py::cpp_function unlocked(F f) {
    return py::cpp_function(f, py::call_guard<py::gil_scoped_release>());
}

int pump(int timeoutMs) {
    std::vector<DeviceChange> changes;
    {
        py::gil_scoped_release release;
        std::optional<SteadyClock::time_point> deadline;
        if (timeoutMs >= 0) deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        changes = Library::instance().takeChanges(deadline);
    }
    size_t delivered = 0;
    try {
        for (; delivered < changes.size(); ++delivered) {
            if (!gChangeCallback) continue;
            // The callback may replace itself: call the one that was set for this message.
            py::object callback = py::reinterpret_borrow<py::object>(gChangeCallback);
            callback(changes[delivered].name, changes[delivered].arrived ? "arrived" : "removed");
        }
    } catch (...) {
        // The message whose callback raised counts as delivered; the rest wait for next time.
        changes.erase(changes.begin(), changes.begin() + static_cast<long>(delivered) + 1);
        Library::instance().restoreChanges(std::move(changes));
        throw;
    }
    return static_cast<int>(changes.size());
}

py::object onChange(py::object callback) {
    if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
        throw py::type_error("on_change() takes a callable (name, event) or None");
    py::object previous = gChangeCallback ? py::reinterpret_steal<py::object>(gChangeCallback)
                                          : py::object(py::none());
    gChangeCallback = callback.is_none() ? nullptr : callback.release().ptr();
    return previous;
}

/// At interpreter exit: the hot-plug callback goes, the library ends (cameras released, reads
/// in progress give up) while the interpreter can still wait for its threads.
void shutdownAtExit() {
    Py_CLEAR(gChangeCallback);
    py::gil_scoped_release release;
    Library::instance().shutdown();
    ReadWatch::instance().shutdown();
}

std::string describe(Camera& camera) {
    std::string text = "<halvexcam.Camera '" + camera.name() + "'";
    try {
        text += camera.running() ? " running>" : " stopped>";
    } catch (const std::exception&) {
        text += " gone>";
    }
    return text;
}

} // namespace

PYBIND11_MODULE(halvexcam, m) {
    m.doc() = "Halvex cameras for Python: settings as properties, frames as numpy arrays.\n\n"
              "    import halvexcam\n"
              "    with halvexcam.Camera() as cam:\n"
              "        cam.exposure_ms = 20\n"
              "        frame = cam.grab()\n\n"
              "Without a camera at hand, halvexcam.simulate('VAh200C1') plugs a simulated one.";
    m.attr("__version__") = HALVEX_VERSION;
    py::exec(kPrelude, m.attr("__dict__"));
    gCameraError = py::object(m.attr("CameraError")).release().ptr();
    gNotFoundError = py::object(m.attr("CameraNotFoundError")).release().ptr();
    gTimeoutError = py::object(m.attr("FrameTimeoutError")).release().ptr();
    gNotSupportedError = py::object(m.attr("NotSupportedError")).release().ptr();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const CameraFailure& failure) {
            setPythonError(failure);
        }
    });

    // ---- the library ---------------------------------------------------------------------
    m.def(
        "cameras", [] { return Library::instance().cameras(); },
        py::call_guard<py::gil_scoped_release>(),
        "cameras() -> list[str]\n\nDevice names of the connected cameras, real and simulated.");
    m.def(
        "simulate",
        [](const std::string& model, bool realTime) {
            return Library::instance().simulate(model, realTime);
        },
        py::arg("model"), py::kw_only(), py::arg("real_time") = false,
        py::call_guard<py::gil_scoped_release>(),
        "simulate(model, *, real_time=False) -> str\n\n"
        "Plugs a simulated camera and returns its device name. model is a model name such as\n"
        "'VAh200C1' or a product id such as '0xE00C', optionally with a device release\n"
        "('0xE00C:0xA001'). The simulated camera speaks the real USB protocol. Its frames come\n"
        "as fast as they can be made, or with real_time=True at the pace the exposure and\n"
        "read-out of the real camera give. Raises ValueError for a text that names no camera.");
    m.def(
        "unplug", [](const std::string& name) { Library::instance().unplug(name); },
        py::arg("name"), py::call_guard<py::gil_scoped_release>(),
        "unplug(name) -> None\n\nUnplugs a simulated camera. Open Camera objects of it raise\n"
        "CameraNotFoundError from then on.");
    m.def("on_change", &onChange, py::arg("callback"),
          "on_change(callback) -> previous callback or None\n\n"
          "Sets the function called as callback(name, 'arrived') or callback(name, 'removed')\n"
          "when a camera is plugged in or unplugged; None removes it. It is called from the\n"
          "thread that calls pump(), which delivers the messages waiting at that time (also\n"
          "those of the cameras present at the start).");
    m.def("pump", &pump, py::arg("timeout_ms") = 0,
          "pump(timeout_ms=0) -> int\n\n"
          "Waits up to timeout_ms milliseconds (negative: until one comes) for hot-plug\n"
          "messages, calls the on_change callback for each on this thread and returns how many\n"
          "there were. Ctrl-C ends the wait.");
    ReadWatch::instance().setMainThread(static_cast<pthread_t>(py::module_::import("threading")
                                                                   .attr("main_thread")()
                                                                   .attr("ident")
                                                                   .cast<unsigned long>()));
    m.add_object("_atexit_shutdown", py::cpp_function(&shutdownAtExit));
    py::module_::import("atexit").attr("register")(m.attr("_atexit_shutdown"));

    // ---- cameras -------------------------------------------------------------------------
    py::class_<Camera> camera(m, "Camera", R"(A camera, opened by device name.

    Camera(name=None) opens the named camera or, without a name, the first one. Use it as a
    context manager: ``with halvexcam.Camera() as cam:`` starts the sensor and stops it at the
    end of the block, also when the block raises. Settings are properties that read from and
    write to the camera; a value outside the camera's range raises ValueError naming the range,
    a setting the camera lacks raises NotSupportedError. A camera that has been unplugged raises
    CameraNotFoundError on its next call.)");
    camera
        .def(py::init<const std::optional<std::string>&>(), py::arg("name") = py::none(),
             py::call_guard<py::gil_scoped_release>())
        .def("__enter__",
             [](py::object self) {
                 Camera& c = self.cast<Camera&>();
                 py::gil_scoped_release release;
                 c.start();
                 return self;
             })
        .def(
            "__exit__",
            [](Camera& c, py::args) {
                c.close();
                return false;
            },
            py::call_guard<py::gil_scoped_release>())
        .def("__repr__", &describe)
        .def("start", &Camera::start, py::call_guard<py::gil_scoped_release>(),
             "Starts the sensor: frames flow from now on.")
        .def("stop", &Camera::stop, py::call_guard<py::gil_scoped_release>(), "Stops the sensor.")
        .def("close", &Camera::close, py::call_guard<py::gil_scoped_release>(),
             "Stops the sensor and releases the camera's reading thread; the object can be\n"
             "started again.")
        .def_property_readonly("running", unlocked(&Camera::running),
                               "True while the sensor delivers frames.")
        .def_property_readonly("name", &Camera::name, "Device name, for example 'VAh200C1.1'.")
        .def_property_readonly("model", &Camera::model, "Model name, for example 'VAh200C1'.")
        .def_property_readonly("product_id", unlocked(&Camera::productId), "USB product id.")
        .def_property_readonly("is_colour", unlocked(&Camera::isColour),
                               "True for a colour (Bayer) sensor.")
        .def_property_readonly(
            "bayer_pattern",
            [](Camera& c) -> std::optional<std::string> {
                int code = 0;
                {
                    py::gil_scoped_release release;
                    code = c.bayerCode();
                }
                static const char* const kNames[] = {nullptr, "BGGR", "GBRG", "RGGB", "GRBG"};
                if (code < 1 || code > 4) return std::nullopt;
                return std::string(kNames[code]);
            },
            "Bayer pattern of the raw samples ('RGGB', ...), None for a monochrome sensor.")
        // Sensor settings.
        .def_property("exposure_ms", unlocked(&Camera::exposureMs),
                      unlocked(&Camera::setExposureMs), "Exposure time in milliseconds.")
        .def_property_readonly("exposure_range", unlocked(&Camera::exposureRange),
                               "(min, max) exposure in milliseconds.")
        .def_property("gain", unlocked(&Camera::gain), unlocked(&Camera::setGain), "Analog gain.")
        .def_property_readonly("gain_range", unlocked(&Camera::gainRange), "(min, max) gain.")
        .def_property("black_level", unlocked(&Camera::blackLevel),
                      unlocked(&Camera::setBlackLevel), "Black level (offset) of the sensor.")
        .def_property_readonly("black_level_range", unlocked(&Camera::blackLevelRange),
                               "(min, max) black level.")
        .def_property("bit_depth", unlocked(&Camera::bitDepth), unlocked(&Camera::setBitDepth),
                      "Bits per raw sample: 8 or 16. Starting the sensor goes back to 8 where\n"
                      "the pixel clock cannot carry 16.")
        .def_property_readonly("bit_depths", unlocked(&Camera::bitDepths),
                               "The bit depths the camera offers.")
        .def_property("resolution", unlocked(&Camera::resolution), unlocked(&Camera::setResolution),
                      "Index into resolutions; takes effect with the next frame and switches\n"
                      "the region of interest off.")
        .def_property_readonly("resolutions", unlocked(&Camera::resolutions),
                               "[(width, height, name), ...] of the processed images.")
        .def_property(
            "pixel_clock", unlocked(&Camera::pixelClock),
            py::cpp_function([](Camera& c, int index) {
                std::optional<std::string> note;
                {
                    py::gil_scoped_release release;
                    note = c.setPixelClock(index);
                }
                if (note && PyErr_WarnEx(PyExc_RuntimeWarning, note->c_str(), 1) != 0)
                    throw py::error_already_set();
            }),
            "Index into pixel_clocks. Where the resolution or bit depth does not allow the\n"
            "clock asked for, the camera takes another and a RuntimeWarning says which.")
        .def_property_readonly("pixel_clocks", unlocked(&Camera::pixelClocks),
                               "Names of the pixel clocks, fastest first.")
        .def_property("roi", unlocked(&Camera::roi), unlocked(&Camera::setRoi),
                      "Region of interest (x, y, width, height) in image pixels of the current\n"
                      "resolution, or None for the whole image. The camera rounds x down to a\n"
                      "multiple of 4 and y to an even row; read it back for what it took.")
        .def_property("auto_exposure", unlocked(&Camera::autoExposure),
                      unlocked(&Camera::setAutoExposure),
                      "Automatic exposure: each frame adjusts exposure_ms.")
        .def_property("cooler", unlocked(&Camera::cooler), unlocked(&Camera::setCooler),
                      "The sensor cooler on cooled models (NotSupportedError elsewhere).")
        .def_property_readonly("temperature", unlocked(&Camera::temperature),
                               "Sensor temperature in degrees Celsius on cooled models.")
        .def_property(
            "frame_type",
            [](Camera& c) {
                int type = 0;
                {
                    py::gil_scoped_release release;
                    type = c.frameType();
                }
                return std::string(kFrameTypes[type >= 0 && type < 4 ? type : 0]);
            },
            [](Camera& c, const std::string& name) {
                int type = -1;
                for (int i = 0; i < 4; ++i)
                    if (name == kFrameTypes[i]) type = i;
                if (type < 0)
                    throw py::value_error("frame_type is 'light', 'dark', 'flat' or 'bias' (got '" +
                                          name + "')");
                py::gil_scoped_release release;
                c.setFrameType(type);
            },
            "What the frames to come are: 'light', 'dark' (covered, same exposure), 'flat'\n"
            "(evenly lit) or 'bias' (covered, shortest exposure). Each frame records it.")
        // Host-side processing.
        .def_property("flip", unlocked(&Camera::flip), unlocked(&Camera::setFlip),
                      "0 none, 1 left-right, 2 upside down, 3 both (processed images).")
        .def_property("gamma", unlocked(&Camera::gamma), unlocked(&Camera::setGamma),
                      "Gamma of the processed images (100 neutral), all channels.")
        .def_property_readonly("gamma_range", unlocked(&Camera::gammaRange), "(min, max) gamma.")
        .def_property("contrast", unlocked(&Camera::contrast), unlocked(&Camera::setContrast),
                      "Contrast of the processed images (128 neutral).")
        .def_property_readonly("contrast_range", unlocked(&Camera::contrastRange),
                               "(min, max) contrast.")
        .def_property("saturation", unlocked(&Camera::saturation), unlocked(&Camera::setSaturation),
                      "Colour saturation of the processed images (colour cameras).")
        .def_property_readonly("saturation_range", unlocked(&Camera::saturationRange),
                               "(min, max) saturation.")
        .def_property("channel_gains", unlocked(&Camera::channelGains),
                      unlocked(&Camera::setChannelGains),
                      "(red, green, blue) digital gains of the processed images (64 neutral;\n"
                      "colour cameras); white_balance() sets them.")
        .def_property_readonly("channel_gain_range", unlocked(&Camera::channelGainRange),
                               "(min, max) of each channel gain.")
        .def("white_balance", &Camera::whiteBalance, py::arg("area") = py::none(),
             py::arg("timeout") = py::none(), py::call_guard<py::gil_scoped_release>(),
             "white_balance(area=None, timeout=None) -> (red, green, blue)\n\n"
             "One-shot white balance on a fresh frame: sets channel_gains so that the area\n"
             "(x, y, width, height in frame pixels; None: the whole frame) comes out grey, and\n"
             "returns them. Colour cameras only.")
        // Frames.
        .def("grab_raw", &Camera::grabRaw, py::arg("timeout") = py::none(),
             "grab_raw(timeout=None) -> Frame\n\n"
             "The next frame's sensor samples: uint8 or uint16 (bit_depth), shape (h, w), a\n"
             "Bayer mosaic on colour cameras. timeout in seconds; None waits as long as the\n"
             "exposure needs. Raises FrameTimeoutError when no frame comes in time; Ctrl-C\n"
             "ends the wait.")
        .def("grab", &Camera::grab, py::arg("timeout") = py::none(),
             "grab(timeout=None) -> Frame\n\n"
             "The next frame as the camera's processing makes it: (h, w, 3) red, green, blue\n"
             "on colour cameras, (h, w) on monochrome ones, at the raw bit depth.")
        .def("process", &Camera::process, py::arg("frame"),
             "process(frame) -> Frame\n\nThe processed image of a frame from grab_raw().")
        .def(
            "frames",
            [](py::object self, std::optional<int64_t> n, bool raw, std::optional<double> timeout) {
                return FrameStream(std::move(self), n, raw, timeout);
            },
            py::arg("n") = py::none(), py::kw_only(), py::arg("raw") = false,
            py::arg("timeout") = py::none(),
            "frames(n=None, *, raw=False, timeout=None) -> iterator of Frame\n\n"
            "Streams n frames (None: without end) as grab() gives them, or as grab_raw()\n"
            "with raw=True.")
        .def("save", &Camera::save, py::arg("path"), py::arg("image") = py::none(),
             py::arg("formats") = py::none(),
             "save(path, image=None, formats='png') -> list[pathlib.Path]\n\n"
             "Writes an image through the camera library's writers, one file per format:\n"
             "path plus '.raw', '.tif', '.png', '.jpg', '.bmp' or '.fits'. formats is 'png',\n"
             "'png,fits' or a list; without formats, an extension on the path names the\n"
             "format ('.fit' and '.fts' name FITS, written to '.fits'), else PNG. image is a\n"
             "Frame or any uint8/uint16 array of shape (h, w) or (h, w, 3); None grabs a new\n"
             "processed frame. A raw frame is processed for the image formats and written as\n"
             "it is, its sensor samples, to '.raw' and '.fits'. The FITS header carries the\n"
             "frame's exposure, gain and more. Returns the files written.");

    py::class_<FrameStream>(m, "FrameStream", "Iterator over a camera's frames.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &FrameStream::next)
        .def("__length_hint__",
             [](const FrameStream& s) -> int64_t { return s.remaining() ? *s.remaining() : 0; });
}
