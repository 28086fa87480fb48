#include "run/check.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

std::string flatLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\t', ' ');
    return text;
}

CheckContext::CheckContext(const VoutApi& api_, const RunSettings& settings_, std::string imagePrefix,
                           bool readsScreen_, int parentFd)
    : api(api_), settings(settings_), readsScreen(readsScreen_), imagePrefix_(std::move(imagePrefix)),
      parentFd_(parentFd) {}

int CheckContext::scaled(int milliseconds) const {
    return static_cast<int>(milliseconds * settings.timeoutFactor);
}

int CheckContext::destroy(olm_vout_t** vout) {
    send("D " + std::to_string(scaled(kDestroyLimitMs)));
    const auto start = std::chrono::steady_clock::now();
    olm_vout_t* const handle = vout ? *vout : nullptr;
    const int code = api.destroy(vout);
    if (handle)
        destroyed_.insert(handle); // never used again by the tester, whatever destroy said
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    send("d");
    slowestDestroy_ = std::max(slowestDestroy_, took.count());
    return code;
}

void CheckContext::saveImage(const std::string& role, const std::string& caption,
                             const QImage& image) {
    if (!savingImages() || image.isNull())
        return;
    const std::string file =
        "images/" + imagePrefix_ + "-" + std::to_string(++imagesSaved_) + "-" + role + ".png";
    if (image.save(QString::fromStdString(settings.reportDir + "/" + file), "PNG"))
        send("I " + flatLine(role) + "\t" + file + "\t" + flatLine(caption));
}

void CheckContext::sendVerdict(Result result, const std::string& message) {
    send(std::string("V ") + resultName(result) + "\t" + flatLine(message));
}

void CheckContext::send(const std::string& line) {
    // Lines are far below PIPE_BUF, so each write arrives whole even from several threads.
    const std::string text = line.substr(0, 3000) + "\n";
    if (write(parentFd_, text.data(), text.size()) < 0) {
        // The parent is gone; nothing is left to tell.
    }
}
