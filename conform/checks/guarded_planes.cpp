#include "checks/guarded_planes.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

// What the fault handler may read: fixed storage, written before any picture is handed out.
namespace {

constexpr int kMaxRegions = 64;
struct Region {
    const uint8_t* begin;
    size_t bytes;
    char name[80];
};
Region g_regions[kMaxRegions];
std::atomic<int> g_regionCount{0};
int g_parentFd = -1;

void appendText(char* out, size_t size, const char* text) {
    const size_t used = std::strlen(out);
    std::strncat(out, text, size - used - 1);
}

void onFault(int signal, siginfo_t* info, void*) {
    const auto* address = static_cast<const uint8_t*>(info->si_addr);
    for (int i = 0; i < g_regionCount.load(); ++i) {
        const Region& r = g_regions[i];
        if (address >= r.begin && address < r.begin + r.bytes) {
            char line[256] = "V fail\tthe output read the planes of ";
            appendText(line, sizeof line, r.name);
            appendText(line, sizeof line, " after it had released them\n");
            [[maybe_unused]] ssize_t n = write(g_parentFd, line, std::strlen(line));
            _exit(0);
        }
    }
    // Not ours: crash as the signal would have.
    ::signal(signal, SIG_DFL);
}

} // namespace

struct GuardedPictures::Picture {
    uint8_t* memory = nullptr;
    size_t bytes = 0;
    olm_vout_picture record{};
    std::atomic<int> calls{0};
    std::string name;
};

GuardedPictures::GuardedPictures(CheckContext& ctx) {
    g_parentFd = ctx.parentFd();
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
}

GuardedPictures::~GuardedPictures() {
    // The mappings stay: an output still running in this process may fault on them, which must
    // be reported, not turned into a read of freed memory.
}

int GuardedPictures::add(const YuvPicture& source, const std::string& name) {
    if (g_regionCount.load() >= kMaxRegions)
        stopCheck(Result::Unresolved, "too many guarded pictures");
    auto p = std::make_unique<Picture>();
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < 3; ++i)
        p->bytes += source.planeBytes(i);
    p->bytes = (p->bytes + page - 1) / page * page;
    void* memory =
        mmap(nullptr, p->bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        stopCheck(Result::Unresolved, "mmap failed");
    p->memory = static_cast<uint8_t*>(memory);
    p->record = source.record();
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        std::memcpy(p->memory + at, source.plane(i), source.planeBytes(i));
        p->record.planes[i] = p->memory + at;
        at += source.planeBytes(i);
    }
    p->record.release = &GuardedPictures::release;
    p->record.opaque = p.get();
    p->name = name;
    Region& region = g_regions[g_regionCount.load()];
    region.begin = p->memory;
    region.bytes = p->bytes;
    std::snprintf(region.name, sizeof region.name, "%s", name.c_str());
    g_regionCount.fetch_add(1);
    pictures_.push_back(std::move(p));
    return int(pictures_.size()) - 1;
}

void GuardedPictures::release(void* opaque) {
    auto* p = static_cast<Picture*>(opaque);
    if (p->calls.fetch_add(1) == 0)
        mprotect(p->memory, p->bytes, PROT_NONE);
}

olm_vout_picture GuardedPictures::record(int index, int matrix, int range) const {
    olm_vout_picture r = pictures_[size_t(index)]->record;
    r.matrix = matrix;
    r.range = range;
    return r;
}

int GuardedPictures::releases(int index) const {
    return pictures_[size_t(index)]->calls.load();
}

const std::string& GuardedPictures::name(int index) const {
    return pictures_[size_t(index)]->name;
}

void GuardedPictures::expectReleasedOnce(Verdict& verdict, const std::vector<bool>& once,
                                         const std::string& when) const {
    for (int i = 0; i < size(); ++i) {
        const int want = i < int(once.size()) && once[size_t(i)] ? 1 : 0;
        const int calls = releases(i);
        if (calls != want) {
            verdict.failBecause(name(i) + " was released " + std::to_string(calls) + " times " +
                                when + " (" + (want ? "once" : "no release") + " expected)");
            return;
        }
    }
}
