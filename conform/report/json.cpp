#include "report/report.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

bool writeJsonReport(const RunInfo& run, const std::string& path) {
    QJsonArray checks;
    QJsonObject totals;
    for (const char* state : {"pass", "warn", "skip", "unresolved", "fail", "crash", "timeout"})
        totals[state] = 0;
    for (const CheckRecord& r : run.checks) {
        QJsonArray images;
        for (const ImageRef& image : r.images)
            images.append(QJsonObject{
                {"role", q(image.role)}, {"file", q(image.file)}, {"caption", q(image.caption)}});
        QJsonObject check{{"name", q(r.name)},
                          {"promise", q(r.promise)},
                          {"result", resultName(r.result)},
                          {"message", q(r.message)},
                          {"seconds", r.seconds},
                          {"images", images},
                          {"output", q(r.output)}};
        // A check of a drawing path says which; one run once has no path.
        if (!r.path.empty()) {
            check["path"] = q(r.path);
            check["path_label"] = q(r.pathLabel);
        }
        checks.append(check);
        totals[resultName(r.result)] = totals[resultName(r.result)].toInt() + 1;
    }
    QStringList labels;
    for (const std::string& label : run.pathLabels)
        labels << q(label);
    const QJsonObject root{
        {"tester", "olm_vout_conform"},
        {"contract_version", kContractVersion},
        {"library", QJsonObject{{"path", q(run.libraryPath)}, {"sha256", q(run.librarySha256)}}},
        {"platform", run.server.wayland ? "Wayland" : "X11"},
        {run.server.wayland ? "wayland_compositor" : "x_server",
         QJsonObject{{"display", q(run.server.display)},
                     {"vendor", q(run.server.vendor)},
                     {"version", QString::number(run.server.release)},
                     {"protocol", q(run.server.protocol)},
                     {"depth", run.server.depth},
                     {"read_back", run.server.readBackProblem.empty()
                                       ? QString("ok")
                                       : q(run.server.readBackProblem)}}},
        {"timeout_factor", run.timeoutFactor},
        {"paths", QJsonArray::fromStringList(labels)},
        {"checks", checks},
        {"totals", totals}};
    QFile file(q(path));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) >= 0;
}
