// One row of the kill matrix: runs olm_vout_conform on a library and checks the run completed
// with the expected exit status and that the named checks ended as expected in results.json.
//
//   kill_case TESTER LIBRARY EXIT [--filter GLOB]... [--path PATH]... [--expect NAME=STATE]...
//             [--xvfb] [--ext-skipped] [--reports] [--wayland]
//
// --path: passed on. Without it a row checks only the default drawing path, except a --reports
// row, which takes every path the server offers. NAME is a check's name, its result on the first
// path it ran on; NAME@PATH (core.placement.normal@mit-shm) its result on that path.
// --xvfb: passed on, so that the tester runs on a private Xvfb of its own.
// --wayland: passed on, so that the tester runs on $WAYLAND_DISPLAY; results.json must then say
// it checked Wayland (and otherwise X11).
// --ext-skipped: every ext.* check skipped and every other one passed.
// --reports: also checks the reports agree with each other and with the console (every check
// in junit.xml, the console's last line and index.html's headline matching the totals, every
// image of index.html there).

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QXmlStreamReader>

#include <cstdio>

namespace {

int g_problems = 0;

void problem(const QString& text) {
    std::fprintf(stderr, "kill_case: %s\n", qPrintable(text));
    ++g_problems;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void checkReports(const QString& dir, const QJsonObject& results, const QString& console) {
    const QJsonArray checks = results["checks"].toArray();
    QXmlStreamReader junit(readAll(dir + "/junit.xml"));
    int testcases = 0, junitFailures = 0;
    while (!junit.atEnd())
        if (junit.readNext() == QXmlStreamReader::StartElement) {
            testcases += junit.name() == u"testcase";
            junitFailures += junit.name() == u"failure" || junit.name() == u"error";
        }
    if (junit.hasError() || testcases != checks.size())
        problem(QString("junit.xml has %1 test cases for %2 checks (%3)")
                    .arg(testcases)
                    .arg(checks.size())
                    .arg(junit.errorString()));
    const QJsonObject totals = results["totals"].toObject();
    auto total = [&](std::initializer_list<const char*> states) {
        int n = 0;
        for (const char* s : states)
            n += totals[s].toInt();
        return n;
    };
    // junit.xml and the exit status agree on what is a failure.
    if (junitFailures != total({"fail", "crash", "timeout"}))
        problem(QString("junit.xml has %1 failures and errors, the totals %2 failed checks")
                    .arg(junitFailures)
                    .arg(total({"fail", "crash", "timeout"})));
    const QString last = console.trimmed().section('\n', -1);
    const QString want = QString("%1 passed, %2 failed, %3 skipped")
                             .arg(total({"pass", "warn"}))
                             .arg(total({"fail", "crash", "timeout"}))
                             .arg(total({"skip", "unresolved"}));
    if (last != want)
        problem("the console's last line is \"" + last + "\", the totals say \"" + want + "\"");
    if (results["library"].toObject()["sha256"].toString().size() != 64)
        problem("results.json has no SHA-256 of the library");
    const QString html = QString::fromUtf8(readAll(dir + "/index.html"));
    const QRegularExpression image("src=\"([^\"]+)\"");
    int images = 0;
    for (auto m = image.globalMatch(html); m.hasNext(); ++images)
        if (const QString file = m.next().captured(1); !QFile::exists(dir + "/" + file))
            problem("index.html shows " + file + ", which is not there");
    if (images == 0)
        problem("index.html shows no image (the placement contact sheet is empty)");
    // The page's headline is the console's last line.
    if (!html.contains("<h1>" + want + "</h1>"))
        problem("index.html's headline is not \"" + want + "\"");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: kill_case TESTER LIBRARY EXIT [options]\n");
        return 2;
    }
    const QString tester = args.takeFirst(), library = args.takeFirst();
    const int wantExit = args.takeFirst().toInt();
    QStringList filters;
    QMap<QString, QString> expected;
    QStringList paths;
    bool extSkipped = false, reports = false, wayland = false;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == "--filter" && !args.isEmpty())
            filters << "--filter" << args.takeFirst();
        else if (a == "--path" && !args.isEmpty())
            paths << "--path" << args.takeFirst();
        else if (a == "--expect" && !args.isEmpty()) {
            const QStringList pair = args.takeFirst().split('=');
            expected[pair.value(0)] = pair.value(1);
        } else if (a == "--ext-skipped")
            extSkipped = true;
        else if (a == "--reports")
            reports = true;
        else if (a == "--wayland")
            wayland = true;
    }
    if (wayland)
        filters << "--wayland";
    if (paths.isEmpty() && !reports)
        paths << "--path" << "default";
    filters << paths;

    QTemporaryDir dir;
    QProcess run;
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(tester, QStringList{"--library", library, "--report", dir.path()} + filters);
    if (!run.waitForFinished(540000)) {
        run.kill();
        run.waitForFinished();
        std::fprintf(stderr, "kill_case: the tester did not finish within 540 s\n");
        return 1;
    }
    const QString console = QString::fromUtf8(run.readAll());
    std::fputs(qPrintable(console), stdout);
    if (run.exitStatus() != QProcess::NormalExit || run.exitCode() != wantExit)
        problem(
            QString("the tester exited with %1, expected %2").arg(run.exitCode()).arg(wantExit));

    const QJsonObject results =
        QJsonDocument::fromJson(readAll(dir.path() + "/results.json")).object();
    QMap<QString, QString> seen;
    for (const QJsonValue& check : results["checks"].toArray()) {
        const QString name = check["name"].toString(), path = check["path"].toString();
        if (!seen.contains(name))
            seen[name] = check["result"].toString();
        if (!path.isEmpty())
            seen[name + "@" + path] = check["result"].toString();
    }
    if (seen.isEmpty() && (!expected.isEmpty() || extSkipped || reports))
        problem("results.json lists no check");
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        if (seen.value(it.key()) != it.value())
            problem(it.key() + " ended " + seen.value(it.key(), "missing") + ", expected " +
                    it.value());
    if (extSkipped)
        for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
            const bool ext = it.key().startsWith("ext.");
            if (ext ? it.value() != "skip" : it.value() != "pass" && it.value() != "warn")
                problem(it.key() + " ended " + it.value() + ", expected " +
                        (ext ? "skip" : "pass"));
        }
    if (reports)
        checkReports(dir.path(), results, console);
    const QString platform = results["platform"].toString();
    if (!seen.isEmpty() && platform != (wayland ? "Wayland" : "X11"))
        problem("results.json says the platform was \"" + platform + "\"");
    return g_problems ? 1 : 0;
}
