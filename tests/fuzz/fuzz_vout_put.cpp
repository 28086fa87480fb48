// libFuzzer target: olm_vout put with arbitrary sizes, strides, display modes and plane
// contents, on one output over a window of a real X server (DISPLAY). Planes are allocated at
// exactly the size their geometry claims, so any read past them shows up under AddressSanitizer.

#include "olm_vout.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

olm_vout_t* g_output = nullptr;
xcb_connection_t* g_connection = nullptr; // holds the host window for the whole run

std::vector<uint8_t> plane(size_t size, const uint8_t* data, size_t dataSize) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size && dataSize; ++i)
        bytes[i] = data[i % dataSize];
    return bytes;
}

// Planes handed over by reference: they live until the output releases them, exactly once
// (AddressSanitizer reports a second release, or a read after it, as a use after free).
struct Borrowed {
    std::vector<uint8_t> y, u, v;
    static void release(void* self) { delete static_cast<Borrowed*>(self); }
};

// The same through olm_vout_put_picture: each plane padded on its own, any matrix, range and
// sample aspect and turn (some of them invalid), planes copied or borrowed.
int putPicture(int32_t width, int32_t height, int32_t stride, uint16_t padding, uint8_t tags,
               bool borrowed, const uint8_t* data, size_t size) {
    olm_vout_picture picture{};
    picture.struct_size = sizeof picture;
    picture.width = width;
    picture.height = height;
    const int32_t chromaWidth = (width + 1) / 2, chromaRows = (height + 1) / 2;
    picture.strides[0] = stride;
    picture.strides[1] = chromaWidth + padding % 61;
    picture.strides[2] = chromaWidth + padding % 37;
    picture.matrix = tags % 5;      // 4 is unknown
    picture.range = (tags / 5) % 3; // 2 is unknown
    picture.sar_num = (tags & 32) ? -1 : padding % 100;
    picture.sar_den = padding % 7;
    picture.rotation = padding / 7 % 5 * 90; // 360 is unknown
    auto* planes = new Borrowed{
        plane(size_t(stride) * height, data, size),
        plane(size_t(picture.strides[1]) * chromaRows, data, size),
        plane(size_t(picture.strides[2]) * chromaRows, data + size / 2, size - size / 2)};
    picture.planes[0] = planes->y.data();
    picture.planes[1] = planes->u.data();
    picture.planes[2] = planes->v.data();
    if (borrowed) {
        picture.release = Borrowed::release;
        picture.opaque = planes;
    }
    const bool valid =
        picture.matrix < 4 && picture.range < 2 && picture.sar_num >= 0 && picture.rotation < 360;
    const int rc = olm_vout_put_picture(g_output, &picture);
    if (valid ? rc != OLM_VOUT_OK && rc != OLM_VOUT_E_BUSY : rc != OLM_VOUT_E_INVALID)
        std::abort();
    if (!borrowed || rc != OLM_VOUT_OK)
        delete planes; // copied, or refused: still ours
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    xcb_connection_t* conn = g_connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(conn)) {
        std::fprintf(stderr, "fuzz_vout_put needs an X server (DISPLAY)\n");
        std::exit(1);
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    const xcb_window_t window = xcb_generate_id(conn);
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 320, 240, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_map_window(conn, window);
    std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    olm_vout_params params{};
    params.window = window;
    g_output = olm_vout_create(&params);
    if (!g_output)
        std::exit(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8)
        return 0;
    int16_t rawWidth, rawHeight;
    uint16_t padding;
    std::memcpy(&rawWidth, data, 2);
    std::memcpy(&rawHeight, data + 2, 2);
    std::memcpy(&padding, data + 4, 2);
    const int mode = data[6] % 6 - 1; // -1 and 4 are invalid
    const uint8_t flags = data[7];
    const bool shortStride = flags & 1;
    data += 8;
    size -= 8;

    olm_vout_set_display_mode(g_output, mode);

    int32_t width = rawWidth, height = rawHeight;
    int32_t stride = shortStride ? width - 1 - padding % 4 : width + padding % 512;
    const bool valid = width > 0 && height > 0 && stride >= width;
    if (!valid) {
        // Geometry the library must refuse without reading a byte: one-byte planes.
        uint8_t y = 0, u = 0, v = 0;
        if (olm_vout_put_buffer_pool_yuv(g_output, &y, &u, &v, stride, width, height) !=
            OLM_VOUT_E_INVALID)
            std::abort();
        return 0;
    }
    // Keep pictures small enough for many runs a second.
    width = 1 + (width - 1) % 720;
    height = 1 + (height - 1) % 576;
    stride = width + padding % 512;
    if (flags & 2)
        return putPicture(width, height, stride, padding, flags >> 3, flags & 4, data, size);
    const size_t chroma = size_t((stride + 1) / 2) * ((height + 1) / 2);
    const auto y = plane(size_t(stride) * height, data, size);
    const auto u = plane(chroma, data, size);
    const auto v = plane(chroma, data + size / 2, size - size / 2);
    const int rc =
        olm_vout_put_buffer_pool_yuv(g_output, y.data(), u.data(), v.data(), stride, width, height);
    if (rc != OLM_VOUT_OK && rc != OLM_VOUT_E_BUSY)
        std::abort();
    return 0;
}
