#include "run/drawing_paths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

bool environmentFlag(const char* name) {
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

void DrawingPath::apply() {
    if (!saved.empty())
        return;
    for (const auto& [name, value] : environment) {
        const char* before = std::getenv(name.c_str());
        saved.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }
}

void DrawingPath::restore() {
    for (const auto& [name, before] : saved) {
        if (before)
            setenv(name.c_str(), before->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    saved.clear();
}

std::vector<std::string> pathIds(bool wayland) {
    if (wayland)
        return {"presentation", "frame-callbacks"};
    return {"present", "mit-shm", "put-image"};
}

namespace {

// The path `id` as this server and environment offer it; why it is not offered in *refusal.
DrawingPath describe(const std::string& id, const ServerInfo& server, std::string* refusal) {
    const auto off = [](const char* name) { return std::string(name) + "=1 is set"; };
    if (id == "present") {
        if (!server.offersPresent)
            *refusal = "the server offers no X Present";
        else if (environmentFlag("OLM_VOUT_NO_PRESENT"))
            *refusal = off("OLM_VOUT_NO_PRESENT");
        return {id, "X11 Present", {}, "the server offers X Present"};
    }
    if (id == "mit-shm") {
        if (!server.offersShm)
            *refusal = "the server offers no MIT-SHM";
        else if (environmentFlag("OLM_VOUT_NO_SHM"))
            *refusal = off("OLM_VOUT_NO_SHM");
        return {id, "MIT-SHM", {{"OLM_VOUT_NO_PRESENT", "1"}}, "OLM_VOUT_NO_PRESENT=1"};
    }
    if (id == "put-image")
        return {id,
                "plain PutImage",
                {{"OLM_VOUT_NO_PRESENT", "1"}, {"OLM_VOUT_NO_SHM", "1"}},
                "OLM_VOUT_NO_PRESENT=1 OLM_VOUT_NO_SHM=1"};
    if (id == "presentation") {
        if (!server.offersPresentation)
            *refusal = "the compositor offers no presentation feedback";
        else if (environmentFlag("OLM_VOUT_NO_PRESENTATION"))
            *refusal = off("OLM_VOUT_NO_PRESENTATION");
        return {id, "presentation feedback", {}, "the compositor offers wp_presentation"};
    }
    if (id == "frame-callbacks")
        return {id, "frame callbacks", {{"OLM_VOUT_NO_PRESENTATION", "1"}},
                "OLM_VOUT_NO_PRESENTATION=1"};
    return {};
}

} // namespace

std::vector<DrawingPath> choosePaths(const std::vector<std::string>& wanted,
                                     const ServerInfo& server, std::string* error) {
    const std::vector<std::string> ids = pathIds(server.wayland);
    std::vector<DrawingPath> offered;
    std::string refusals; // of the paths before the first one offered
    for (const std::string& id : ids) {
        std::string refusal;
        DrawingPath path = describe(id, server, &refusal);
        if (refusal.empty())
            offered.push_back(std::move(path));
        else if (offered.empty())
            refusals += (refusals.empty() ? "" : "; ") + refusal;
    }
    // The first path offered is the one an output takes with nothing set: it needs no switches.
    if (!offered.empty() && !offered.front().environment.empty()) {
        offered.front().environment.clear();
        offered.front().why = refusals;
    }
    const bool all = wanted.empty() ||
                     std::find(wanted.begin(), wanted.end(), "all") != wanted.end();
    if (all)
        return offered;
    std::vector<DrawingPath> chosen;
    for (const std::string& want : wanted) {
        const std::string id = want == "default" && !offered.empty() ? offered.front().id : want;
        if (std::any_of(chosen.begin(), chosen.end(), [&](auto& p) { return p.id == id; }))
            continue;
        const auto found = std::find_if(offered.begin(), offered.end(),
                                        [&](const DrawingPath& p) { return p.id == id; });
        if (found != offered.end()) {
            chosen.push_back(*found);
            continue;
        }
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
            std::string known;
            for (const std::string& each : ids)
                known += (known.empty() ? "" : ", ") + each;
            *error = "unknown path \"" + id + "\" on " + (server.wayland ? "Wayland" : "X11") +
                     " (its paths: " + known + ", or all, default)";
            return {};
        }
        std::string refusal;
        describe(id, server, &refusal);
        *error = "cannot check the path " + id + ": " + refusal;
        return {};
    }
    // The default path first, as in a whole run, so that the checks run once go with it.
    std::stable_sort(chosen.begin(), chosen.end(), [&](const DrawingPath& a, const DrawingPath& b) {
        return std::find(ids.begin(), ids.end(), a.id) < std::find(ids.begin(), ids.end(), b.id);
    });
    return chosen;
}
