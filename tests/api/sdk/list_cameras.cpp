// A program built only against the installed SDK: lists the cameras present at start and reads
// one frame with its frame information.
#include <CamApi.h>

#include <cstdio>
#include <vector>

static void onHotPlug(void*, const char* name, int code) {
    std::printf("%s %s\n", code == 0 ? "arrived" : "removed", name);
}

int main() {
    if (InitDevice(&onHotPlug, nullptr, nullptr) != 0) return 1;
    for (int i = 0; i < DeviceCount(); ++i)
        std::printf("%s %dx%d\n", DeviceName(i), GetResWidth(0, DeviceName(i)),
                    GetResHeight(0, DeviceName(i)));
    // One frame of the first camera, with the information the read stamps into it.
    if (DeviceCount() > 0 && ResumeDevice(DeviceName(0)) == 0) {
        std::vector<unsigned char> frame(static_cast<size_t>(RecvMemSize(DeviceName(0))));
        HalvexFrameInfo info{};
        for (int attempt = 0; attempt < 10; ++attempt) {
            const int r = GetRawData(frame.data(), static_cast<int>(frame.size()), DeviceName(0));
            if ((r == 0 || r == 1) && GetFrameInfo(frame.data(), &info) == 0) {
                std::printf("frame %llu of %s\n", static_cast<unsigned long long>(info.sequence),
                            info.model);
                break;
            }
        }
        SuspendDevice(DeviceName(0));
    }
    std::printf("version %s\n", VersionInf(2));
    ExitDevice();
    return 0;
}
