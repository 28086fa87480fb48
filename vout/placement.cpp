#include "placement.h"

#include "olm_vout.h"

#include <algorithm>
#include <cstdint>

namespace olm {

Rect placePicture(int mode, int pictureWidth, int pictureHeight, int windowWidth, int windowHeight,
                  int sarNum, int sarDen) {
    if (windowWidth <= 0 || windowHeight <= 0)
        return {};
    int64_t num = 0, den = 0; // aspect as num:den
    switch (mode) {
    case VOUT_NORMAL:
        num = pictureWidth;
        den = pictureHeight;
        if (sarNum > 0 && sarDen > 0) {
            num *= sarNum;
            den *= sarDen;
        }
        break;
    case VOUT_4_3:
        num = 4;
        den = 3;
        break;
    case VOUT_16_9:
        num = 16;
        den = 9;
        break;
    default:
        return {0, 0, windowWidth, windowHeight};
    }
    if (num <= 0 || den <= 0)
        return {0, 0, windowWidth, windowHeight};

    int width = windowWidth, height = windowHeight;
    if (int64_t(windowWidth) * den <= int64_t(windowHeight) * num)
        height = static_cast<int>((int64_t(windowWidth) * den + num / 2) / num);
    else
        width = static_cast<int>((int64_t(windowHeight) * num + den / 2) / den);
    width = std::clamp(width, 1, windowWidth);
    height = std::clamp(height, 1, windowHeight);
    return {(windowWidth - width) / 2, (windowHeight - height) / 2, width, height};
}

Borders bordersAround(const Rect& rect, int windowWidth, int windowHeight) {
    Borders b;
    auto add = [&b](int x, int y, int w, int h) {
        if (w > 0 && h > 0)
            b.rects[b.count++] = {x, y, w, h};
    };
    if (rect.empty()) {
        add(0, 0, windowWidth, windowHeight);
        return b;
    }
    add(0, 0, windowWidth, rect.y);                                                   // top
    add(0, rect.y + rect.height, windowWidth, windowHeight - rect.y - rect.height);   // bottom
    add(0, rect.y, rect.x, rect.height);                                              // left
    add(rect.x + rect.width, rect.y, windowWidth - rect.x - rect.width, rect.height); // right
    return b;
}

int toPhysical(int logical, int scale120) {
    return int((int64_t(logical) * scale120 + 60) / 120);
}

Rect toLogical(const Rect& physical, int scale120) {
    if (physical.empty())
        return {};
    auto edge = [scale120](int at) { return int((int64_t(at) * 120 + scale120 / 2) / scale120); };
    const int left = edge(physical.x), top = edge(physical.y);
    return {left, top, std::max(1, edge(physical.x + physical.width) - left),
            std::max(1, edge(physical.y + physical.height) - top)};
}

} // namespace olm
