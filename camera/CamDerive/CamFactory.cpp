#include "camera/CamDerive/CamFactory.h"

#include <new>

#include "camera/CamDerive/VA.h"
#include "camera/CamDerive/VD.h"
#include "camera/CamDerive/VS.h"

namespace {

template <typename Model> CamBase* make() {
    return new (std::nothrow) Model();
}

/// One row of the model table: the product id and the constructor of its class. The six ids
/// that are built as another class (0xE00A to 0xE00C as VDh285M1, the VAg models as their VAo
/// base) get classes whose constructors run exactly that construction and nothing more.
struct ModelRow {
    unsigned short productId;
    CamBase* (*create)();
};

constexpr ModelRow kModels[] = {
    {0xA003, make<VAh1KC1>},  {0xA004, make<VAh500C1>}, {0xA00D, make<VAh500C1>},
    {0xA005, make<VSh035C1>}, {0xA006, make<VAh500M1>}, {0xA007, make<VAh300C1>},
    {0xA008, make<VAh131C1>}, {0xA009, make<VSh036C1>}, {0xA00A, make<VSh035M1>},
    {0xA00B, make<VAh131M1>}, {0xA811, make<VAh200C1>}, {0xAC11, make<V3h5MC1>},
    {0xC003, make<VAo1KC1>},  {0xC004, make<VAo500C1>}, {0xC005, make<VSo035C1>},
    {0xC006, make<VAo500M1>}, {0xC007, make<VAo300C1>}, {0xC008, make<VAo131C1>},
    {0xC009, make<VSo036C1>}, {0xC00A, make<VSo035M1>}, {0xC00B, make<VAo131M1>},
    {0xC00C, make<VS200C1>},  {0xC811, make<VAo200C1>}, {0xD001, make<VDo282C1>},
    {0xD004, make<VDo205M1>}, {0xD006, make<VDo285M1>}, {0xE001, make<VDh282C1>},
    {0xE004, make<VDh205M1>}, {0xE006, make<VDh285M1>}, {0xE008, make<VDh205C1>},
    {0xE009, make<VDh285C1>}, {0xE00A, make<VDh674M1>}, {0xE00B, make<VDh687M1>},
    {0xE00C, make<VDh694M1>}, {0xE80A, make<VDh674C1>}, {0xE80C, make<VDh694C1>},
    {0xF007, make<VAg300C1>}, {0xF008, make<VAg131C1>}, {0xF00B, make<VAg131M1>},
};

} // namespace

/// Looks the product id up in the model table and constructs its camera object. A failed
/// allocation inside a constructor leaves nothing behind and yields null.
std::unique_ptr<CamBase> _create_device(unsigned short productId, unsigned short vendorId) {
    if (vendorId != kHalvexVendorId) return nullptr;
    for (const ModelRow& row : kModels) {
        if (row.productId != productId) continue;
        try {
            return std::unique_ptr<CamBase>(row.create());
        } catch (...) {
            return nullptr;
        }
    }
    return nullptr;
}

bool _has_model(unsigned short productId) {
    for (const ModelRow& row : kModels)
        if (row.productId == productId) return true;
    return false;
}
