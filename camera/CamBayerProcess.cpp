// The base camera's processing chain, snapshots, calibrations and analysis. Not offered yet:
// each operation reports -4 (not supported) and changes nothing.
#include "camera/CamBayer.h"

int CamBayer::_raw2image(unsigned char*, unsigned char*, bool) {
    return -4;
}
int CamBayer::_gray_image_process(_ezImage*) {
    return -4;
}
int CamBayer::_mono_image_process(_ezImage*) {
    return -4;
}
int CamBayer::_colr_image_process(_ezImage*) {
    return -4;
}
int CamBayer::_image_stretch(_ezImage*) {
    return -4;
}
int CamBayer::_image_fladfield(_ezImage*) {
    return -4;
}
int CamBayer::_init_save_image(_ezImage*) {
    return -4;
}
int CamBayer::_calc_flat_field(unsigned char*, bool) {
    return -4;
}
int CamBayer::_calc_white_balance(unsigned char*, __IMG_RECT*) {
    return -4;
}
int CamBayer::_calc_auto_gain(_ezImage*, int) {
    return -4;
}
int CamBayer::_fluorescence(_ezImage*, int) {
    return 0;
}
int CamBayer::_fluorescence_guide(int, int) {
    return -4;
}
int CamBayer::_pt_gray(int, int, unsigned char*) {
    return -4;
}
int CamBayer::_saveimage(const std::string&, int) {
    return -4;
}
int CamBayer::_savefile(unsigned char*, const std::string&, int) {
    return -4;
}
int CamBayer::_callback_save_iamge(const std::string&, int, void* (*)(unsigned char*)) {
    return -4;
}
