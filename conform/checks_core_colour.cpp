// core.colour, core.stride: what olm_vout_put_buffer_pool_yuv's pictures look like. Its pictures
// are BT.601, limited range; U and V rows are (stride + 1) / 2 bytes. Flat patches are sampled
// at least 8 pixels from their edges; row padding holds a loud colour, so a misread stride
// shows.

#include "scene.h"

namespace {

Verdict bt601Limited(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const int noPadding[3] = {0, 0, 0};
    s.checkSheet(verdict, kMatrices[0], OLM_VOUT_RANGE_LIMITED, noPadding, false,
                 "BT.601 limited range, stride = width");
    return verdict;
}

Verdict paddedRows(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const int width = standardSheet().width();
    for (int padding : {16, 13}) {
        const int stride = width + padding;
        const int strides[3] = {stride, (stride + 1) / 2, (stride + 1) / 2};
        s.checkSheet(verdict, kMatrices[0], OLM_VOUT_RANGE_LIMITED, strides, false,
                     "Y stride " + std::to_string(stride) + " for width " + std::to_string(width));
    }
    return verdict;
}

} // namespace

void addCoreColourChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "core.colour.bt601_limited",
             .promise = "put's pictures show as BT.601 limited range: flat patches within 4 levels",
             .run = bt601Limited,
             .readsScreen = true},
            {.name = "core.stride.padded_rows",
             .promise = "put honours a Y stride above the width, even or odd, with U and V rows of "
                        "(stride + 1) / 2 bytes: the padding never shows",
             .run = paddedRows,
             .readsScreen = true},
        });
}
