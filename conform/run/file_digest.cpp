#include "run/file_digest.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

#include <cstdio>
#include <memory>

std::string sha256OfFile(const std::string& path) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
    std::unique_ptr<AVSHA, decltype(&av_free)> sha(av_sha_alloc(), &av_free);
    if (!file || !sha || av_sha_init(sha.get(), 256) < 0)
        return {};
    unsigned char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        av_sha_update(sha.get(), buffer, static_cast<unsigned>(got));
    if (std::ferror(file.get()))
        return {};
    uint8_t digest[32];
    av_sha_final(sha.get(), digest);
    std::string hex;
    char pair[3];
    for (uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}
