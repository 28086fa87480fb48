#include "report/report.h"

#include <QFile>
#include <QXmlStreamWriter>

bool writeJunitReport(const RunInfo& run, const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    int failures = 0, errors = 0, skipped = 0;
    double seconds = 0;
    for (const CheckRecord& r : run.checks) {
        failures += r.result == Result::Fail;
        errors += r.result == Result::Crash || r.result == Result::Timeout;
        skipped += r.result == Result::Skip || r.result == Result::Unresolved;
        seconds += r.seconds;
    }
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement("testsuites");
    xml.writeStartElement("testsuite");
    xml.writeAttribute("name", "olm_vout_conform");
    xml.writeAttribute("tests", QString::number(run.checks.size()));
    xml.writeAttribute("failures", QString::number(failures));
    xml.writeAttribute("errors", QString::number(errors));
    xml.writeAttribute("skipped", QString::number(skipped));
    xml.writeAttribute("time", QString::number(seconds, 'f', 3));
    for (const CheckRecord& r : run.checks) {
        const QString name = QString::fromStdString(r.name);
        xml.writeStartElement("testcase");
        xml.writeAttribute("classname", name.section('.', 0, -2));
        xml.writeAttribute("name", QString::fromStdString(shownName(r)));
        xml.writeAttribute("time", QString::number(r.seconds, 'f', 3));
        // As the exit status: skip and unresolved as skipped, fail as a failure, crash and
        // timeout as errors; warn passes, its message kept as the case's output.
        const char* element = nullptr;
        switch (r.result) {
        case Result::Skip:
        case Result::Unresolved:
            element = "skipped";
            break;
        case Result::Fail:
            element = "failure";
            break;
        case Result::Crash:
        case Result::Timeout:
            element = "error";
            break;
        case Result::Pass:
        case Result::Warn:
            break;
        }
        if (element) {
            xml.writeStartElement(element);
            xml.writeAttribute("type", resultName(r.result));
            xml.writeAttribute("message", QString::fromStdString(r.message));
            xml.writeEndElement();
        }
        const std::string out =
            (r.result == Result::Warn ? "WARN: " + r.message + "\n" : std::string()) + r.output;
        if (!out.empty())
            xml.writeTextElement("system-out", QString::fromStdString(out));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError();
}
