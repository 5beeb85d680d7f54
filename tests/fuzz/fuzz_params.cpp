// Parameter index and slot files from anywhere, through a camera's restore: every setting ends
// inside its range, a region ends aligned inside the image, and a camera that saves what it
// restored and restores that again saves the same bytes.
#include <cmath>
#include <filesystem>
#include <map>

#include "FuzzCameras.h"
#include "FuzzSupport.h"

namespace {

/// The parameter-file variants: one per model family (the slot layout is shared).
constexpr int kParamVariants[] = {0, 2, 6, 9, 10, 14};

CamBase* cameraFor(int which) {
    static std::map<int, hxfuzz::OpenCamera> cameras;
    auto it = cameras.find(which);
    if (it == cameras.end())
        it = cameras.emplace(which, hxfuzz::openCamera(hxfuzz::kVariants[which], nullptr)).first;
    return it->second.camera.get();
}

void checkInRange(CamBase& cam) {
    const int res = cam._resolution();
    hxfuzz::check(res >= 0 && res < cam._resolution_count(), "resolution index");
    const int clock = cam._pixsclock();
    hxfuzz::check(clock >= 0 && clock < cam._pixsclock_count(), "clock index");
    int lo = 0, hi = 0, step = 0;
    cam._analog_gain_range(&lo, &hi, &step);
    hxfuzz::check(cam._analog_gain() >= lo && cam._analog_gain() <= hi, "analog gain");
    float fmin = 0, fmax = 0, fstep = 0;
    cam._exposure_range(&fmin, &fmax, &fstep);
    const float exposure = cam._exposure();
    hxfuzz::check(std::isfinite(exposure) && exposure >= 0 && exposure <= fmax * 1.001f + 1,
                  "exposure");
    hxfuzz::check(cam._raw_depth() == 8 || cam._raw_depth() == 16, "raw depth");
    hxfuzz::check(cam._flip() >= 0 && cam._flip() <= 3, "flip");
    for (int channel = 0; channel < 3; ++channel) {
        if (cam._gamma_range(&lo, &hi, &step, channel) != 0) continue;
        hxfuzz::check(cam._gamma(channel) >= lo && cam._gamma(channel) <= hi, "gamma");
    }
    if (cam._contrast_range(&lo, &hi, &step) == 0)
        hxfuzz::check(cam._contrast() >= lo && cam._contrast() <= hi, "contrast");
    if (cam._aetarget_range(&lo, &hi, &step) == 0)
        hxfuzz::check(cam._aetarget() >= lo && cam._aetarget() <= hi, "exposure target");

    // A region is kept aligned whether or not it is switched on (switching it on later must
    // not crop on the other Bayer row); it lies inside the image when it is on.
    int x = 0, y = 0, w = 0, h = 0;
    cam._roi(&x, &y, &w, &h);
    hxfuzz::check(x % 4 == 0 && y % 2 == 0 && (w + 8) % 4 == 0 && (h + 8) % 2 == 0,
                  "region not aligned");
    bool on = false;
    cam._roi_state(&on);
    if (on) {
        hxfuzz::check(x >= 0 && y >= 0 && w >= 8 && h >= 8, "region size");
        hxfuzz::check(x + w <= cam._resolution_width_at_index(res) &&
                          y + h <= cam._resolution_height_at_index(res),
                      "region outside the image");
    }
}

} // namespace

/// Input: a variant byte, a length byte n (0..8) and n bytes of index file, then the slot file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    CamBase* cam = cameraFor(kParamVariants[data[0] % (sizeof kParamVariants / sizeof(int))]);
    if (!cam) return 0;
    const size_t indexBytes = std::min<size_t>(data[1] % 9, size - 2);
    const uint8_t* index = data + 2;
    const uint8_t* slot = index + indexBytes;
    const size_t slotBytes = size - 2 - indexBytes;

    const std::string dir = hxfuzz::scratchDir() + "params/";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    const std::string display = cam->_name();
    const std::string model = display.substr(0, display.size() - 1); // without the instance
    hxfuzz::writeBytes(dir + model, index, indexBytes);
    int fileSlot = 0;
    if (indexBytes >= 4)
        fileSlot = index[0] | (index[1] << 8) | (index[2] << 16) | (index[3] << 24);
    if (fileSlot < 0 || fileSlot > 29) fileSlot = 0;
    hxfuzz::writeBytes(dir + model + static_cast<char>('a' + fileSlot) + ".txt", slot, slotBytes);

    const int current = cam->_current_params(dir);
    cam->_load_params(current, dir);
    checkInRange(*cam);

    // What the camera saves, it restores unchanged.
    hxfuzz::check(cam->_save_params(0, dir) == 0, "saving a restored set failed");
    const auto first = hxfuzz::readBytes(dir + model + "a.txt");
    hxfuzz::check(first.size() == 38, "slot file size");
    hxfuzz::check(cam->_load_params(0, dir) == 0, "loading a saved set failed");
    checkInRange(*cam);
    hxfuzz::check(cam->_save_params(0, dir) == 0, "saving again failed");
    hxfuzz::check(hxfuzz::readBytes(dir + model + "a.txt") == first,
                  "a saved set does not restore as it was saved");
    return 0;
}

extern "C" int HalvexFuzzSeeds(const char* dir) {
    bool ok = true;
    for (int v = 0; v < 6; ++v) {
        // A set saved by the camera itself, after a few settings, and a short and a long one.
        CamBase* cam = cameraFor(kParamVariants[v]);
        if (!cam) return 1;
        const std::string work = hxfuzz::scratchDir() + "seed/";
        std::error_code ec;
        std::filesystem::create_directories(work, ec);
        cam->_set_resolution(cam->_resolution_count() > 1 ? 1 : 0, true);
        cam->_set_roi(8, 6, 64, 48);
        cam->_set_contrast(140);
        if (cam->_save_params(1, work) != 0) return 1;
        const std::string display = cam->_name();
        const std::string model = display.substr(0, display.size() - 1);
        const auto slot = hxfuzz::readBytes(work + model + "b.txt");
        std::vector<uint8_t> input{static_cast<uint8_t>(v), 4, 1, 0, 0, 0};
        input.insert(input.end(), slot.begin(), slot.end());
        ok &= hxfuzz::seed(dir, "saved-" + std::to_string(v), input);
        std::vector<uint8_t> shortSet(input.begin(), input.begin() + 20);
        ok &= hxfuzz::seed(dir, "short-" + std::to_string(v), shortSet);
        cam->_default();
        cam->_set_roi_state(false);
        cam->_set_resolution(0, true);
    }
    ok &= hxfuzz::seed(dir, "no-index", {0, 0});
    ok &= hxfuzz::seed(dir, "far-slot", {1, 4, 0xFF, 0xFF, 0xFF, 0x7F, 1, 1, 1, 1});
    return ok ? 0 : 1;
}
