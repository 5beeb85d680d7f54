#include "indi/ReadoutModes.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "camera/CamApi.h"

namespace hx::indi {

namespace {

/// Frames of every item carry 8 more columns and rows than the item's image size.
constexpr int kBorder = 8;
/// How far an item's width may stray from the full width over the factor and still count as
/// the whole field binned (some binned items keep a few extra columns).
constexpr double kWidthTolerance = 0.05;
/// The same for the height, which some binned items trim by a few percent more.
constexpr double kHeightTolerance = 0.10;
constexpr int kMaxBinning = 4;

bool containsWord(const std::string& text, const char* word) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find(word) != std::string::npos;
}

/// Distance of an item's width and height ratios from its factor; smaller is more exact.
double inexactness(const ReadoutItem& full, const ReadoutItem& item) {
    const double rw = double(full.width) / item.width, rh = double(full.height) / item.height;
    return std::abs(rw - item.bin) + std::abs(rh - item.bin);
}

int alignDown(int value, int multiple) {
    return value - value % multiple;
}

} // namespace

ReadoutModes::ReadoutModes(std::vector<ReadoutItem> items) : items_(std::move(items)) {
    if (items_.empty()) return;
    const ReadoutItem& full = items_.front();
    for (size_t i = 0; i < items_.size(); ++i) {
        ReadoutItem& item = items_[i];
        item.bin = 0;
        if (item.width <= 0 || item.height <= 0 || full.width <= 0 || full.height <= 0) continue;
        if (i == 0) {
            item.bin = 1;
            continue;
        }
        // A window names itself, or covers less of one side than of the other.
        if (containsWord(item.text, "roi")) continue;
        const double rw = double(full.width) / item.width, rh = double(full.height) / item.height;
        const int factor = static_cast<int>(std::lround(rw));
        if (factor < 1 || factor > kMaxBinning) continue;
        if (std::abs(rw - factor) > kWidthTolerance * factor) continue;
        if (std::abs(rh - factor) > kHeightTolerance * factor) continue;
        item.bin = factor;
    }
}

ReadoutModes ReadoutModes::fromCamera(const char* name) {
    std::vector<ReadoutItem> items;
    const int count = GetResolutionCount(name);
    for (int i = 0; i < count; ++i) {
        ReadoutItem item;
        item.index = i;
        const char* text = GetResItemName(i, name);
        item.text = text ? text : "";
        const int w = GetResWidth(i, name), h = GetResHeight(i, name);
        item.width = w > 0 ? w + kBorder : 0;
        item.height = h > 0 ? h + kBorder : 0;
        items.push_back(item);
    }
    return ReadoutModes(std::move(items));
}

int ReadoutModes::fullWidth() const {
    return items_.empty() ? 0 : items_.front().width;
}

int ReadoutModes::fullHeight() const {
    return items_.empty() ? 0 : items_.front().height;
}

std::vector<int> ReadoutModes::binnings() const {
    std::vector<int> out;
    for (int bin = 1; bin <= kMaxBinning; ++bin)
        if (itemForBinning(bin) >= 0) out.push_back(bin);
    return out;
}

int ReadoutModes::itemForBinning(int bin) const {
    if (bin == 1) return items_.empty() ? -1 : 0;
    int best = -1;
    for (const ReadoutItem& item : items_) {
        if (item.bin != bin || item.index == 0) continue;
        if (best < 0) {
            best = item.index;
            continue;
        }
        const ReadoutItem& other = items_[best];
        const bool named = containsWord(item.text, "bin"),
                   otherNamed = containsWord(other.text, "bin");
        if (named != otherNamed) {
            if (named) best = item.index;
            continue;
        }
        if (inexactness(items_.front(), item) < inexactness(items_.front(), other))
            best = item.index;
    }
    return best;
}

int ReadoutModes::binningOf(int item) const {
    if (item < 0 || item >= static_cast<int>(items_.size())) return 1;
    return std::max(items_[item].bin, 1);
}

ReadoutPlan ReadoutModes::plan(int item, const PixelRect& requested) const {
    ReadoutPlan plan;
    if (items_.empty()) return plan;
    item = std::clamp(item, 0, static_cast<int>(items_.size()) - 1);
    const ReadoutItem& it = items_[item];
    const int bin = binningOf(item);
    plan.item = item;
    plan.bin = bin;

    // What the item covers in its own pixels, never more than the full field holds at its
    // factor (some binned items carry a few columns more).
    const int coverW = std::min(it.width, fullWidth() / bin);
    const int coverH = std::min(it.height, fullHeight() / bin);

    // The requested frame in the item's pixels, clipped to what it covers.
    int x = std::clamp(requested.x / bin, 0, coverW);
    int y = std::clamp(requested.y / bin, 0, coverH);
    int w = requested.width > 0 ? std::min(requested.width / bin, coverW - x) : coverW - x;
    int h = requested.height > 0 ? std::min(requested.height / bin, coverH - y) : coverH - y;

    if (x == 0 && y == 0 && w == it.width && h == it.height) {
        plan.region = {0, 0, it.width, it.height};
    } else {
        // The camera's alignment; a region too small grows, and one that then passes the edge
        // moves back inside.
        x = alignDown(x, 4);
        y = alignDown(y, 2);
        w = std::max(alignDown(w, 4), kMinRegion);
        h = std::max(alignDown(h, 2), kMinRegion);
        w = std::min(w, alignDown(coverW, 4));
        h = std::min(h, alignDown(coverH, 2));
        if (x + w > coverW) x = alignDown(coverW - w, 4);
        if (y + h > coverH) y = alignDown(coverH - h, 2);
        plan.roi = true;
        plan.region = {x, y, w, h};
    }
    plan.frame = {plan.region.x * bin, plan.region.y * bin, plan.region.width * bin,
                  plan.region.height * bin};
    return plan;
}

} // namespace hx::indi
