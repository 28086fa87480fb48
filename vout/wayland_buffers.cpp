#include "wayland_buffers.h"

#include <sys/mman.h>
#include <unistd.h>

namespace olm::wayland {

namespace {

void bufferReleased(void* data, wl_buffer* buffer) {
    static_cast<Buffers*>(data)->released(buffer);
}
const wl_buffer_listener kBufferListener = {bufferReleased};

} // namespace

Buffers::~Buffers() {
    for (Buffer& b : buffers_)
        destroy(b);
    destroy(black_);
    destroy(oldBlack_);
}

void Buffers::destroy(Buffer& b) {
    // The compositor keeps its own mapping of a buffer it still shows.
    if (b.buffer)
        wl_buffer_destroy(b.buffer);
    if (b.data)
        munmap(b.data, b.size);
    b = Buffer{};
}

bool Buffers::make(Buffer& b, int width, int height, int rows) {
    destroy(b);
    const int stride = (width * 4 + 63) / 64 * 64; // rows the converter writes fastest
    const size_t size = size_t(stride) * size_t(rows);
    const int fd = memfd_create("olm_vout", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    void* data = MAP_FAILED;
    if (ftruncate(fd, off_t(size)) == 0)
        data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        close(fd);
        return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, int32_t(size));
    b.buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool); // the buffer keeps the memory
    close(fd);
    wl_buffer_add_listener(b.buffer, &kBufferListener, this);
    b.data = static_cast<uint8_t*>(data);
    b.size = size;
    b.width = width;
    b.height = height;
    b.stride = stride;
    return true;
}

Buffer* Buffers::acquire(int width, int height, int rows) {
    Buffer* free = nullptr;
    for (Buffer& b : buffers_) {
        if (b.busy)
            continue;
        if (b.buffer && b.width == width && b.height == height && b.size >= size_t(b.stride) * rows)
            return &b;
        free = &b;
    }
    if (!free || !make(*free, width, height, rows))
        return nullptr;
    return free;
}

bool Buffers::anyFree() const {
    for (const Buffer& b : buffers_)
        if (!b.busy)
            return true;
    return false;
}

wl_buffer* Buffers::black(int width, int height) {
    if (black_.buffer && black_.width == width && black_.height == height)
        return black_.buffer;
    // The memory of a new buffer is zero: black in XRGB8888. The previous one stays until the
    // next change, as the compositor may still show it.
    destroy(oldBlack_);
    oldBlack_ = black_;
    black_ = Buffer{};
    make(black_, width, height, height);
    return black_.buffer;
}

void Buffers::released(wl_buffer* buffer) {
    for (Buffer& b : buffers_)
        if (b.buffer == buffer)
            b.busy = false;
}

} // namespace olm::wayland
