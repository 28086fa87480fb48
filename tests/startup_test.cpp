// The real program: its library-path record and its exit when the window is closed.

#include "xhelpers.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void logsLibraryPathsAndExitsWithEventLoopCode() {
        const QString program = QStringLiteral(LUMIVAREX_BINARY);
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("QT_MESSAGE_PATTERN", "%{file}|%{line}|%{function}|%{message}");
        process.setProcessEnvironment(env);
        process.start(program, QStringList());
        QVERIFY(process.waitForStarted());

        std::vector<uint32_t> windows;
        QTRY_VERIFY_WITH_TIMEOUT(!(windows = findTopLevelWindows("LumivarexWindow")).empty(),
                                 10000);
        for (uint32_t w : windows)
            sendDeleteWindow(w);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);

        const QStringList lines =
            QString::fromLocal8Bit(process.readAllStandardError()).split('\n');
        QStringList libPathLines;
        for (const QString& line : lines)
            if (line.contains("|libPath"))
                libPathLines << line;
        QCOMPARE(libPathLines.size(), 1);
        const QStringList parts = libPathLines[0].split('|');
        QVERIFY(parts[0].endsWith("app/main.cpp"));
        QCOMPARE(parts[2], QString("main")); // the pattern shortens the signature

        QDir parent(QFileInfo(program).absolutePath());
        parent.cdUp();
        const QString expectedFirst = QString("(\"%1/lib\"").arg(parent.path());
        QVERIFY2(parts[3].startsWith("libPath " + expectedFirst), qPrintable(parts[3]));
        QVERIFY(parts[3].endsWith("\")"));
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "startup_test.moc"
