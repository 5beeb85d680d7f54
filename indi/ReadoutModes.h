// The resolution items of one camera as INDI sees them: which items are the whole field at a
// binning factor, which are windows, and how an INDI frame (in unbinned sensor pixels) maps onto
// the region of interest of an item.
#pragma once

#include <string>
#include <vector>

namespace hx::indi {

/// One resolution item of a camera.
struct ReadoutItem {
    int index = 0;    ///< resolution index
    std::string text; ///< the item's name, as the camera gives it
    int width = 0;    ///< samples per row of a frame of this item
    int height = 0;   ///< rows of a frame of this item
    int bin = 0;      ///< 1 the full field, 2 to 4 the whole field binned, 0 a window
};

/// A rectangle in pixels: origin and size.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
};

/// What the camera is asked to deliver for one INDI frame.
struct ReadoutPlan {
    int item = 0;     ///< resolution index
    int bin = 1;      ///< binning factor of that item (1 for windows)
    bool roi = false; ///< whether a region of interest is switched on
    PixelRect region; ///< the region in the item's own pixels (the whole item when roi is false)
    PixelRect frame;  ///< the same region in unbinned sensor pixels, as CCD_FRAME shows it
};

class ReadoutModes {
public:
    /// Smallest region the camera crops to, in the item's pixels.
    static constexpr int kMinRegion = 16;

    ReadoutModes() = default;
    /// Classifies the items; the first one is the full field.
    explicit ReadoutModes(std::vector<ReadoutItem> items);
    /// The resolution items of a registered camera; empty for an unknown name.
    static ReadoutModes fromCamera(const char* name);

    const std::vector<ReadoutItem>& items() const { return items_; }
    bool empty() const { return items_.empty(); }
    /// Size of the full field in unbinned sensor pixels (item 0's frame).
    int fullWidth() const;
    int fullHeight() const;
    /// The binning factors offered, ascending; always starts with 1 when there are items.
    std::vector<int> binnings() const;
    /// The item that gives a binning factor, -1 when none does. Where several items give the
    /// same factor, an item named as binned comes first, then the one nearest to the exact
    /// factor, then the lower index.
    int itemForBinning(int bin) const;
    /// The factor an item counts as in CCD_BINNING: its binning, 1 for windows and unknown items.
    int binningOf(int item) const;

    /// Plans a frame on an item: the requested unbinned frame is clipped to what the item covers
    /// and aligned as the camera crops (origin column a multiple of 4 and row even, width a
    /// multiple of 4 and height even, at least kMinRegion on each side, in the item's pixels).
    ReadoutPlan plan(int item, const PixelRect& requested) const;

private:
    std::vector<ReadoutItem> items_;
};

} // namespace hx::indi
