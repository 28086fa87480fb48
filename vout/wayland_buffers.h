#pragma once

// The Wayland backend's pixel buffers: wl_shm buffers, each on a memfd of its own that the
// output writes into directly, reused only once the compositor has released it; and a black one
// for the output's area: 1x1 where the compositor scales it, else of the area's size.

#include <wayland-client.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace olm::wayland {

struct Buffer {
    wl_buffer* buffer = nullptr;
    uint8_t* data = nullptr;
    size_t size = 0;
    int width = 0, height = 0, stride = 0;
    bool busy = false; // the compositor holds it
};

class Buffers {
public:
    static constexpr int kCount = 3; // on screen, waiting for its frame, being drawn

    explicit Buffers(wl_shm* shm) : shm_(shm) {}
    ~Buffers();
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;

    // A free buffer of width x height in XRGB8888 (with `rows` rows of memory, rows >= height),
    // made anew when the free one has another size; null when every buffer is held or memory runs
    // out.
    Buffer* acquire(int width, int height, int rows);
    bool anyFree() const;
    // A black buffer of width x height, made when the size changes; null when it cannot be.
    wl_buffer* black(int width, int height);

    void released(wl_buffer* buffer);

private:
    bool make(Buffer& b, int width, int height, int rows);
    static void destroy(Buffer& b);

    wl_shm* shm_;
    std::array<Buffer, kCount> buffers_{};
    Buffer black_;
    Buffer oldBlack_; // the one before, which the compositor may still show
};

} // namespace olm::wayland
