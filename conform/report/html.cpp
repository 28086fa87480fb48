#include "report/report.h"

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

} // namespace

bool writeHtmlReport(const RunInfo& run, const std::string& path) {
    Totals totals;
    for (const CheckRecord& r : run.checks)
        totals.add(r.result);
    QString html;
    html += "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>olm_vout_conform: " +
            esc(run.libraryPath) +
            "</title>\n<style>\n"
            "body{font-family:sans-serif;margin:1.5em;color:#222}\n"
            "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:3px 8px;"
            "text-align:left;vertical-align:top}\n"
            ".sheet{display:flex;flex-wrap:wrap;gap:10px}\n"
            "figure{margin:0;border:3px solid;padding:4px;max-width:380px}\n"
            "figure img{max-width:370px;image-rendering:pixelated}\n"
            "figcaption{font-size:small}\n"
            ".result{color:#fff;font-weight:bold;padding:0 6px;border-radius:3px}\n"
            "</style></head><body>\n";
    html += QString("<h1>olm_vout_conform: %1 passed, %2 failed, %3 skipped</h1>\n")
                .arg(totals.passed)
                .arg(totals.failed)
                .arg(totals.skipped);
    html += "<p>Library <code>" + esc(run.libraryPath) + "</code> (SHA-256 <code>" +
            esc(run.librarySha256) + "</code>)<br>X server " + esc(run.server.vendor) +
            ", release " + QString::number(run.server.release) + ", depth " +
            QString::number(run.server.depth) + " on " + esc(run.server.display) +
            "<br>Contract version " + kContractVersion + "; timeout factor " +
            QString::number(run.timeoutFactor) + "</p>\n";
    if (!run.server.readBackProblem.empty())
        html += "<p><b>The screen could not be read back (" + esc(run.server.readBackProblem) +
                "): pixel checks are unresolved.</b></p>\n";

    html += "<h2>Placement contact sheet</h2>\n<p>The observed screen of every placement, with "
            "the expected rectangle drawn over it as a dashed red line.</p>\n<div "
            "class=\"sheet\">\n";
    for (const CheckRecord& r : run.checks)
        for (const ImageRef& image : r.images)
            if (image.role == "placement")
                html += figure(image, esc(r.name), captionColour(image.caption));
    html += "</div>\n<h2>Pixel checks that did not pass</h2>\n";
    bool any = false;
    for (const CheckRecord& r : run.checks) {
        if (r.result == Result::Pass)
            continue;
        QString row;
        for (const ImageRef& image : r.images)
            if (image.role != "placement")
                row += figure(image, esc(image.role), colourOf(r.result));
        if (row.isEmpty())
            continue;
        any = true;
        html += "<h3>" + esc(r.name) + ": " + esc(r.message) + "</h3>\n";
        html += "<p>Expected, observed and their difference (four times brighter), per case.</p>"
                "\n<div class=\"sheet\">" +
                row + "</div>\n";
    }
    if (!any)
        html += "<p>None.</p>\n";

    html += "<h2>Every check</h2>\n<table><tr><th>Check</th><th>Result</th><th>Message</th>"
            "<th>Seconds</th><th>Promise</th></tr>\n";
    for (const CheckRecord& r : run.checks)
        html += QString("<tr><td>%1</td><td><span class=\"result\" style=\"background:%2\">%3"
                        "</span></td><td>%4</td><td>%5</td><td>%6</td></tr>\n")
                    .arg(esc(r.name), colourOf(r.result), resultName(r.result), esc(r.message),
                         QString::number(r.seconds, 'f', 2), esc(r.promise));
    html += "</table>\n</body></html>\n";
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(html.toUtf8()) >= 0;
}
