// A program built only against the installed SDK: lists the cameras present at start.
#include <CamApi.h>

#include <cstdio>

static void onHotPlug(void*, const char* name, int code) {
    std::printf("%s %s\n", code == 0 ? "arrived" : "removed", name);
}

int main() {
    if (InitDevice(&onHotPlug, nullptr, nullptr) != 0) return 1;
    for (int i = 0; i < DeviceCount(); ++i)
        std::printf("%s %dx%d\n", DeviceName(i), GetResWidth(0, DeviceName(i)),
                    GetResHeight(0, DeviceName(i)));
    std::printf("version %s\n", VersionInf(2));
    ExitDevice();
    return 0;
}
