// The camera interface: every camera object implements these operations, in this slot order.
// Results are int status codes unless noted: 0 success, -2 bad argument or buffer, -3 transfer or
// open failure (or a frame that failed its checks), -4 not offered by this camera.
#pragma once

#include <memory>
#include <string>

#include "camera/CamTypes.h"
#include "ezImage/ezImage.h"
#include "usb/UsbDevice.h"

class CamBase {
public:
    // ---- life and transport ------------------------------------------------------------------
    virtual ~CamBase() = default;
    virtual int __open_driver(std::shared_ptr<hx::usb::UsbDevice> device) = 0;
    virtual int _claim_device() = 0;
    virtual int _sumbit_ctl_urb(unsigned int timeout, unsigned int attempts, EZURB* request) = 0;
    virtual int _read_bulk_data(unsigned char* buffer, int length, int* received) = 0;
    virtual int _delay(int milliseconds) = 0;
    virtual int _sensor_suspend() = 0;
    virtual int _sensor_resume() = 0;

    // ---- identity ----------------------------------------------------------------------------
    virtual const char* _name() = 0;
    virtual int _body() = 0;
    virtual int _head() = 0;
    virtual int _state() = 0;
    virtual int _set_state(int state) = 0;
    virtual int _idproduct() = 0;
    virtual int _idvendor() = 0;
    virtual int _bcddevice() = 0;
    virtual int _bcdusb() = 0;
    virtual int _versions(int* version) = 0;
    virtual int _channles() = 0;
    virtual int _bayer() = 0;

    // ---- defaults ----------------------------------------------------------------------------
    virtual int _default() = 0;

    // ---- resolution --------------------------------------------------------------------------
    virtual int _set_resolution(int index, bool apply) = 0;
    virtual int _resolution() = 0;
    virtual int _resolution_count() = 0;
    virtual const char* _resolution_string_at_index(int index) = 0;
    virtual int _resolution_width_at_index(int index) = 0;
    virtual int _resolution_height_at_index(int index) = 0;

    // ---- pixel clock -------------------------------------------------------------------------
    virtual int _set_pixsclock(int index) = 0;
    virtual int _pixsclock() = 0;
    virtual int _pixsclock_count() = 0;
    virtual const char* _pixsclock_string_at_index(int index) = 0;

    // ---- gain and exposure -------------------------------------------------------------------
    virtual int _set_analog_gain(int gain) = 0;
    virtual int _analog_gain_range(int* min, int* max, int* step) = 0;
    virtual int _analog_gain() = 0;
    virtual int _retime() = 0;
    virtual int _set_exposure(float milliseconds) = 0;
    virtual int _exposure_range(float* min, float* max, float* step) = 0;
    virtual float _exposure() = 0;
    virtual int _restart_exposure() = 0;
    virtual int _restart_state() = 0;

    // ---- raw frames --------------------------------------------------------------------------
    virtual int _raw_size(int* width, int* height) = 0;
    virtual int _raw_depth_state(int clockIndex) = 0;
    virtual int _raw_depth() = 0;
    virtual int _set_raw_depth(int bits) = 0;
    virtual int _raw_data(unsigned char* buffer, int size) = 0;
    virtual int _raw_data_asyn(void* (*callback)(unsigned char*), unsigned char* buffer,
                               int size) = 0;
    virtual int _raw2image(unsigned char* raw, unsigned char* image, bool crop) = 0;

    // ---- black level and window --------------------------------------------------------------
    virtual int _set_blacklevel(int level) = 0;
    virtual int _blacklevel() = 0;
    virtual int _blacklevel_range(int* min, int* max, int* step) = 0;
    virtual int _set_roi(int x, int y, int width, int height) = 0;
    virtual int _roi(int* x, int* y, int* width, int* height) = 0;
    virtual int _set_roi_state(bool on) = 0;
    virtual int _roi_state(bool* on) = 0;

    // ---- user memory -------------------------------------------------------------------------
    virtual int _wmem_inf(const char* data, int length) = 0;
    virtual int _rmem_inf(char* buffer, int length) = 0;

    // ---- model extras ------------------------------------------------------------------------
    virtual int _set_edge_inhibition(bool on) = 0;
    virtual int _edge_inhibition(bool* on) = 0;
    virtual int _set_gpio(int line, bool level) = 0;
    virtual int _gpio(int line, bool* level) = 0;
    virtual int _set_cooled(bool on) = 0;
    virtual int _cooled(bool* on) = 0;
    virtual int _temperature(float* celsius) = 0;
    virtual int _set_sharpness(int value) = 0;
    virtual int _sharpness() = 0;
    virtual int _sharpness_range(int* min, int* max, int* step) = 0;
    virtual int _set_denoise(int value) = 0;
    virtual int _denoise() = 0;
    virtual int _denoise_range(int* min, int* max, int* step) = 0;

    // ---- tone --------------------------------------------------------------------------------
    virtual int _set_gamma(int value) = 0;
    virtual int _gamma() = 0;
    virtual int _gamma_range(int* min, int* max, int* step) = 0;
    virtual int _set_gamma(int value, int channel) = 0;
    virtual int _gamma(int channel) = 0;
    virtual int _gamma_range(int* min, int* max, int* step, int channel) = 0;
    virtual int _set_contrast(int value) = 0;
    virtual int _contrast() = 0;
    virtual int _contrast_range(int* min, int* max, int* step) = 0;
    virtual int _set_saturation(int value) = 0;
    virtual int _saturation() = 0;
    virtual int _saturation_range(int* min, int* max, int* step) = 0;
    virtual int _set_digital_gain(int red, int green, int blue) = 0;
    virtual int _digital_gain(int* red, int* green, int* blue) = 0;
    virtual int _digital_gain_range(int* min, int* max, int* step) = 0;

    // ---- geometry and switches ---------------------------------------------------------------
    virtual int _set_flip(int code) = 0;
    virtual int _flip() = 0;
    virtual int _set_rotate(int code) = 0;
    virtual int _rotate() = 0;
    virtual int _set_monochrome(bool on) = 0;
    virtual int _monochrome(bool* on) = 0;
    virtual int _set_color_enhancement(bool on) = 0;
    virtual int _color_enhancement(bool* on) = 0;
    virtual int _set_autoexposure(bool on) = 0;
    virtual int _autoexposure(bool* on) = 0;
    virtual int _set_aetarget(int value) = 0;
    virtual int _aetarget() = 0;
    virtual int _aetarget_range(int* min, int* max, int* step) = 0;
    virtual int _set_histogram(bool on) = 0;
    virtual int _histogram(bool* on) = 0;

    // ---- stretch -----------------------------------------------------------------------------
    virtual int _set_stretch(int low, int high, bool automatic) = 0;
    virtual int _stretch(int* low, int* high, bool* automatic) = 0;
    virtual int _stretch_range(int* min, int* max, int* step) = 0;
    virtual int _set_stretch(int low, int high, bool automatic, int channel) = 0;
    virtual int _stretch(int* low, int* high, bool* automatic, int channel) = 0;
    virtual int _stretch_range(int* min, int* max, int* step, int channel) = 0;

    // ---- parameter sets ----------------------------------------------------------------------
    virtual int _current_params(const std::string& directory) = 0;
    virtual int _save_params(int slot, const std::string& directory) = 0;
    virtual int _load_params(int slot, const std::string& directory) = 0;

    // ---- calibration -------------------------------------------------------------------------
    virtual int _ff_state(bool* on) = 0;
    virtual int _set_ff_state(bool on) = 0;
    virtual int _calc_defect_correction() = 0;
    virtual int _set_dc_state(bool on) = 0;
    virtual int _dc_state(bool* on) = 0;
    virtual int _blackfield() = 0;
    virtual int _set_blackfield_state(bool on) = 0;
    virtual int _blackfield_state(bool* on) = 0;
    virtual int _calc_flat_field(unsigned char* rawFrame, bool flag) = 0;
    virtual int _calc_white_balance(unsigned char* rawFrame, __IMG_RECT* area) = 0;
    virtual int _calc_auto_exposure(_ezImage* image, int every) = 0;
    virtual int _calc_auto_gain(_ezImage* image, int every) = 0;

    // ---- snapshots ---------------------------------------------------------------------------
    virtual int _set_snap_format(int code) = 0;
    virtual int _snap_format(int* code) = 0;
    virtual int _saveimage(const std::string& path, int resolution) = 0;
    virtual int _savefile(unsigned char* image, const std::string& path, int formats) = 0;
    virtual int _callback_save_iamge(const std::string& path, int resolution,
                                     void* (*callback)(unsigned char*)) = 0;

    // ---- analysis ----------------------------------------------------------------------------
    virtual int _pt_gray(int x, int y, unsigned char* image) = 0;
    virtual int _fluorescence_guide(int step, int value) = 0;

    // ---- shift operator ----------------------------------------------------------------------
    virtual int _set_shift_operator(int value) = 0;
    virtual int _shift_operator() = 0;
    virtual int _shift_operator_range(int* min, int* max, int* step) = 0;

    // ---- misc --------------------------------------------------------------------------------
    virtual int _set_filter(bool on) = 0;
    virtual int _get_filter(bool* on) = 0;
    virtual int _update_firmware(const std::string& path) = 0;
    virtual int _extern_snap() = 0;

    // ---- processing steps --------------------------------------------------------------------
    virtual int _fluorescence(_ezImage* image, int every) = 0;
    virtual int _gray_image_process(_ezImage* image) = 0;
    virtual int _mono_image_process(_ezImage* image) = 0;
    virtual int _colr_image_process(_ezImage* image) = 0;
    virtual int _image_stretch(_ezImage* image) = 0;
    virtual int _image_fladfield(_ezImage* image) = 0;
    virtual int _swap_software(SoftWareValue* record, int length) = 0;
    virtual int _init_save_image(_ezImage* raw) = 0;

    // ---- removal -----------------------------------------------------------------------------
    /// Marks the camera removed (state 3) and aborts its device, so that a frame read in
    /// progress returns at once and no later transfer waits. Called by the registry when the
    /// device is unplugged; the object stays valid until its last user lets go.
    virtual void _mark_removed() = 0;

    // ---- frame information (additions of this library; defaults for cameras without it) ----
    /// The frame read of the front ends: `_raw_data`, and on a delivered frame the frame
    /// information block written into the head after the image record.
    virtual int _read_frame(unsigned char* buffer, int size) { return _raw_data(buffer, size); }
    /// Frame type stamped into the frame information of the following frames (HalvexFrameType).
    virtual int _set_frame_type(int /*type*/) { return -4; }
    virtual int _frame_type() { return -4; }

    // ---- ending frame reads ------------------------------------------------------------------
    /// Ends frame reads from another thread, promptly: a read so ended returns -3 and leaves
    /// the camera ready for the next one (see ReadEnd). Returns 0.
    virtual int _end_read(ReadEnd how) = 0;
};
