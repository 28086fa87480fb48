#pragma once

// Borrowed pictures whose planes become unreadable the moment the output releases them. Each
// picture's planes live in a mapping of their own; its release function counts the call and
// makes the mapping inaccessible (PROT_NONE). An output that reads the planes after releasing
// them then faults, and the fault handler ends the check with a failure that names the picture
// whose planes were read, instead of a bare crash.

#include "judge/reference.h"
#include "run/check.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class GuardedPictures {
public:
    // Installs the fault handler, which reports through ctx's line to the parent.
    explicit GuardedPictures(CheckContext& ctx);
    ~GuardedPictures();
    GuardedPictures(const GuardedPictures&) = delete;
    GuardedPictures& operator=(const GuardedPictures&) = delete;

    // Copies source's planes into a mapping of their own; returns the picture's index.
    int add(const YuvPicture& source, const std::string& name);
    // A first-version record of picture index with the counting release set.
    olm_vout_picture record(int index, int matrix = OLM_VOUT_MATRIX_BT601,
                            int range = OLM_VOUT_RANGE_LIMITED) const;
    int releases(int index) const;
    const std::string& name(int index) const;
    int size() const { return int(pictures_.size()); }

    // Fails the verdict unless each picture marked in `once` was released exactly once and every
    // other one not at all (when: "by the time destroy returned" and the like).
    void expectReleasedOnce(Verdict& verdict, const std::vector<bool>& once,
                            const std::string& when) const;

private:
    struct Picture;
    static void release(void* opaque);
    std::vector<std::unique_ptr<Picture>> pictures_;
};
