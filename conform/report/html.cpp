#include "report/report.h"
#include "run/server_probe.h"

#include <QFile>
#include <QString>

namespace {

QString esc(const std::string& s) {
    return QString::fromStdString(s).toHtmlEscaped();
}

const char* colourOf(Result result) {
    switch (result) {
    case Result::Pass:
        return "#2e7d32";
    case Result::Warn:
        return "#b7791f";
    case Result::Skip:
    case Result::Unresolved:
        return "#607d8b";
    default:
        return "#c62828";
    }
}

QString badge(Result result) {
    return QString("<span class=\"result\" style=\"background:%1\">%2</span>")
        .arg(colourOf(result), resultName(result));
}

// The anchor of a check's evidence.
QString anchor(const CheckRecord& r) {
    const std::string id = r.path.empty() ? r.name : r.name + "-" + r.path;
    return "check-" + QString::fromStdString(id).replace('.', '-');
}

QString figure(const ImageRef& image, const QString& title, const char* border) {
    return QString("<figure style=\"border-color:%1\"><a href=\"%2\"><img src=\"%2\" alt=\"%3\">"
                   "</a><figcaption>%4<br>%3</figcaption></figure>\n")
        .arg(border, esc(image.file), esc(image.caption), title);
}

// The placement's own result is the caption's last word.
const char* captionColour(const std::string& caption) {
    const auto colon = caption.rfind(": ");
    const auto result = resultFromName(colon == std::string::npos ? "" : caption.substr(colon + 2));
    return colourOf(result.value_or(Result::Skip));
}

const char* kStyle = "body{font-family:sans-serif;margin:1.5em;color:#222}\n"
                     "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:3px 8px;"
                     "text-align:left;vertical-align:top}\n"
                     ".sheet{display:flex;flex-wrap:wrap;gap:10px}\n"
                     "figure{margin:0;border:3px solid;padding:4px;max-width:380px}\n"
                     "figure img{max-width:370px;image-rendering:pixelated}\n"
                     "figcaption{font-size:small}\n"
                     ".result{color:#fff;font-weight:bold;padding:0 6px;border-radius:3px}\n"
                     ".verdict{font-size:1.6em;padding:8px 14px;color:#fff;display:inline-block}\n"
                     "li{margin:4px 0}\n";

// The console summary's own last lines, so that the page and the console never disagree.
QString headline(const RunInfo& run) {
    const std::string verdict = verdictOf(run);
    const char* colour = verdict == "conformant"   ? "#2e7d32"
                         : verdict == "not tested" ? "#607d8b"
                                                   : "#c62828";
    const QString platform = run.server.wayland ? "Wayland" : "X11";
    return "<p class=\"verdict\" style=\"background:" + QString(colour) + "\">" + platform + ": " +
           esc(verdictText(run)) + "</p>\n<h1>" + esc(countsText(totalsOf(run))) + "</h1>\n";
}

// Failed, crashed and timed-out checks first, then unresolved and warned: each with its
// message, linking to its evidence further down.
QString failureList(const RunInfo& run) {
    QString html = "<h2>What did not pass</h2>\n";
    QString items;
    for (const CheckRecord* r : failuresFirst(run)) {
        if (r->result == Result::Skip)
            continue;
        items += QString("<li>%1 <a href=\"#%2\">%3</a>: %4</li>\n")
                     .arg(badge(r->result), anchor(*r), esc(shownName(*r)), esc(r->message));
    }
    return html + (items.isEmpty() ? "<p>Every check that ran passed.</p>\n"
                                   : "<ol>\n" + items + "</ol>\n");
}

// The evidence of each check that did not pass: its message, the library's own lines, and the
// expected, observed and difference images.
QString evidence(const RunInfo& run) {
    QString html = "<h2>Evidence</h2>\n";
    bool any = false;
    for (const CheckRecord* r : failuresFirst(run)) {
        if (r->result == Result::Skip)
            continue;
        any = true;
        html +=
            QString("<h3 id=\"%1\">%2 %3</h3>\n<p>%4</p>\n<p><i>Promise:</i> %5</p>\n")
                .arg(anchor(*r), badge(r->result), esc(shownName(*r)), esc(r->message), esc(r->promise));
        QString row;
        for (const ImageRef& image : r->images)
            if (image.role != "placement")
                row += figure(image, esc(image.role), colourOf(r->result));
        if (!row.isEmpty())
            html += "<p>Expected, observed and their difference (four times brighter).</p>\n"
                    "<div class=\"sheet\">" +
                    row + "</div>\n";
        if (!r->output.empty())
            html += "<p>The library printed:</p><pre>" + esc(r->output) + "</pre>\n";
    }
    return any ? html : QString();
}

// "X11 Present, MIT-SHM, plain PutImage": the paths the run checked, the default one first.
std::string pathList(const RunInfo& run) {
    std::string list;
    for (const std::string& label : run.pathLabels)
        list += (list.empty() ? "" : ", ") + label;
    return list;
}

} // namespace

bool writeHtmlReport(const RunInfo& run, const std::string& path) {
    QString html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>olm_vout_conform: " +
        esc(run.libraryPath) + "</title>\n<style>\n" + kStyle + "</style></head><body>\n";
    html += headline(run);
    html += "<p>Library <code>" + esc(run.libraryPath) + "</code> (SHA-256 <code>" +
            esc(run.librarySha256) + "</code>)<br>Platform " +
            (run.server.wayland ? "Wayland" : "X11") + ": " + esc(describeServer(run.server)) +
            "<br>Drawing paths: " + esc(pathList(run)) + "<br>Contract version " +
            kContractVersion + "; timeout factor " +
            QString::number(run.timeoutFactor) + "</p>\n";
    if (!run.server.readBackProblem.empty())
        html += "<p><b>The screen could not be read back (" + esc(run.server.readBackProblem) +
                "): pixel checks are unresolved.</b></p>\n";
    html += failureList(run) + evidence(run);

    html += "<h2>Placement contact sheet</h2>\n<p>The observed screen of every placement, with "
            "the expected rectangle drawn over it as a dashed red line.</p>\n<div "
            "class=\"sheet\">\n";
    for (const CheckRecord& r : run.checks)
        for (const ImageRef& image : r.images)
            if (image.role == "placement")
                html += figure(image, esc(shownName(r)), captionColour(image.caption));
    html += "</div>\n";

    html += "<h2>Every check</h2>\n<table><tr><th>Check</th><th>Result</th><th>Message</th>"
            "<th>Seconds</th><th>Promise</th></tr>\n";
    for (const CheckRecord& r : run.checks)
        html += QString("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>\n")
                    .arg(esc(shownName(r)), badge(r.result), esc(r.message),
                         QString::number(r.seconds, 'f', 2), esc(r.promise));
    html += "</table>\n</body></html>\n";
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(html.toUtf8()) >= 0;
}
