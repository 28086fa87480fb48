// The main window's form, construction, records, slider and maximise toggle.

#include "file_name.h"
#include "librarypath.h"
#include "logcapture.h"
#include "lumivarexwindow.h"
#include "shared_state.h"
#include "ui_lumivarexwindow.h"

#include <QGraphicsView>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QtTest>

namespace {

QString styleSheetWith(const char* normalColour) {
    const QStringList lines = {
        "QPushButton {",
        QString("    background-color: %1;").arg(normalColour),
        "    border-style: outset;",
        "    border-width: 2px;",
        "    border-radius: 10px;",
        "    border-color: beige;",
        "    font: bold 14px;",
        "    min-width: 10em;",
        "    padding: 6px;",
        "}",
        "QPushButton:hover {",
        "    background-color: rgb(224, 244, 11);",
        "    border-style: inset;",
        "}",
        "QPushButton:pressed {",
        "    background-color: rgb(224, 0, 0);",
        "    border-style: inset;",
        "}",
    };
    return lines.join('\n');
}

struct Cell {
    int row, column, rowSpan, columnSpan;
    bool operator==(const Cell&) const = default;
};

Cell cellOf(QGridLayout* grid, QLayoutItem* item) {
    for (int i = 0; i < grid->count(); ++i) {
        if (grid->itemAt(i) == item) {
            Cell c{};
            grid->getItemPosition(i, &c.row, &c.column, &c.rowSpan, &c.columnSpan);
            return c;
        }
    }
    return {-1, -1, -1, -1};
}

Cell cellOf(QGridLayout* grid, QWidget* widget) {
    return cellOf(grid, grid->itemAt(grid->indexOf(widget)));
}

const char* const kSetQPalette = "void LumivarexWindow::setQPalette(QWidget*)";
const char* const kMousePress = "virtual void ViedoPanelWIdget::mousePressEvent(QMouseEvent*)";

} // namespace

class WindowShellTest : public QObject {
    Q_OBJECT

private slots:
    void frameIntervalIsTwentyBeforeAnyWindow() { QCOMPARE(g_frameIntervalMs.load(), 20); }

    void formCreatesWidgetsInDescribedOrderAndCells() {
        QMainWindow host;
        Ui_LumivarexWindow ui;
        ui.setupUi(&host);

        QCOMPARE(host.size(), QSize(784, 535));
        QCOMPARE(host.objectName(), QString("LumivarexWindow"));
        QVERIFY(!host.documentMode());
        QCOMPARE(host.tabShape(), QTabWidget::Rounded);

        // Creation order of the first page's widgets, which is also its focus chain.
        QStringList created;
        for (QObject* child : ui.tab_3->children())
            if (child->isWidgetType())
                created << child->objectName();
        const QStringList expected = {"video_widget",
                                      "pause_btn",
                                      "play_btn",
                                      "filename_line",
                                      "change_display_mode_btn",
                                      "stop_btn",
                                      "create_window_btn",
                                      "destroy_window_btn",
                                      "load_picture_btn",
                                      "load_picture_2_btn",
                                      "label_4",
                                      "frame_rate_Slider_3",
                                      "rate_label_3",
                                      "lineEdit"};
        QCOMPARE(created, expected);
        QStringList chain;
        for (QWidget* w = ui.video_widget->nextInFocusChain();
             w != ui.video_widget && chain.size() < 40; w = w->nextInFocusChain())
            if (w->parentWidget() == ui.tab_3)
                chain << w->objectName();
        QCOMPARE(chain, expected.mid(1));

        QGridLayout* g = ui.gridLayout_2;
        QCOMPARE(cellOf(g, ui.video_widget), (Cell{0, 0, 1, 6}));
        QCOMPARE(cellOf(g, ui.lineEdit), (Cell{1, 0, 1, 6}));
        QCOMPARE(cellOf(g, ui.create_window_btn), (Cell{3, 0, 1, 1}));
        QCOMPARE(cellOf(g, ui.destroy_window_btn), (Cell{3, 1, 1, 1}));
        QCOMPARE(cellOf(g, ui.load_picture_btn), (Cell{3, 4, 1, 1}));
        QCOMPARE(cellOf(g, ui.load_picture_2_btn), (Cell{3, 5, 1, 1}));
        QCOMPARE(cellOf(g, ui.change_display_mode_btn), (Cell{4, 0, 1, 1}));
        QCOMPARE(cellOf(g, ui.horizontalLayout_3), (Cell{4, 1, 1, 5}));
        QCOMPARE(cellOf(g, ui.play_btn), (Cell{5, 0, 1, 1}));
        QCOMPARE(cellOf(g, ui.pause_btn), (Cell{5, 1, 1, 2}));
        QCOMPARE(cellOf(g, ui.stop_btn), (Cell{5, 3, 1, 1}));
        QCOMPARE(cellOf(g, ui.filename_line), (Cell{5, 4, 1, 2}));
        for (int column = 0; column < g->columnCount(); ++column)
            QVERIFY2(!g->itemAtPosition(2, column), "row 2 holds nothing");
        QCOMPARE(g->spacing(), 6);
        QCOMPARE(g->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(ui.horizontalLayout_3->spacing(), 6);
        QCOMPARE(ui.horizontalLayout_3->itemAt(0)->widget(), ui.label_4);
        QCOMPARE(ui.horizontalLayout_3->itemAt(1)->widget(), ui.frame_rate_Slider_3);
        QCOMPARE(ui.horizontalLayout_3->itemAt(2)->widget(), ui.rate_label_3);

        QCOMPARE(cellOf(ui.gridLayout_3, ui.graphicsView), (Cell{0, 0, 1, 2}));
        QCOMPARE(cellOf(ui.gridLayout_3, ui.gp_create_btn), (Cell{1, 0, 1, 1}));
        QCOMPARE(cellOf(ui.gridLayout_3, ui.gp_destroy_btn), (Cell{1, 1, 1, 1}));
        QCOMPARE(cellOf(ui.gridLayout, ui.showmaximum_pushButton), (Cell{0, 0, 1, 1}));
        QCOMPARE(cellOf(ui.gridLayout, ui.tabWidget), (Cell{1, 0, 1, 1}));

        QCOMPARE(host.centralWidget(), ui.centralWidget);
        QCOMPARE(host.statusBar(), ui.statusBar);
        QCOMPARE(ui.tabWidget->widget(0), ui.tab_3);
        QCOMPARE(ui.tabWidget->widget(1), ui.tab_4);
        QCOMPARE(ui.tabWidget->currentIndex(), 0);
        // No meta-object of its own: queries answer as for a plain QWidget.
        QCOMPARE(ui.video_widget->metaObject(), &QWidget::staticMetaObject);
    }

    void formSetsTextsPropertiesAndStyleSheets() {
        QMainWindow host;
        Ui_LumivarexWindow ui;
        ui.setupUi(&host);

        QCOMPARE(host.windowTitle(), QString("LumivarexWindow"));
        QCOMPARE(ui.pause_btn->text(), QString("pause"));
        QCOMPARE(ui.play_btn->text(), QString("play"));
        QCOMPARE(ui.change_display_mode_btn->text(), QString("change_display_mode"));
        QCOMPARE(ui.stop_btn->text(), QString("stop"));
        QCOMPARE(ui.create_window_btn->text(), QString("create_window"));
        QCOMPARE(ui.destroy_window_btn->text(), QString("destroy_window"));
        QCOMPARE(ui.load_picture_btn->text(), QString("load_picture"));
        QCOMPARE(ui.load_picture_2_btn->text(), QString("cancle_load_picture"));
        QCOMPARE(ui.label_4->text().toUtf8(), QByteArray("\xE5\xB8\xA7\xE9\x97\xB4\xE9\x9A\x94"));
        QCOMPARE(ui.rate_label_3->text(), QString("20 ms"));
        QCOMPARE(ui.lineEdit->text(), QString("../demovideo/123.avi"));
        QVERIFY(ui.filename_line->text().isEmpty());
        QCOMPARE(ui.tabWidget->tabText(0), QString("Tab 1"));
        QCOMPARE(ui.tabWidget->tabText(1), QString("Tab 2"));
        QCOMPARE(ui.gp_create_btn->text(), QString("create"));
        QCOMPARE(ui.gp_destroy_btn->text(), QString("destroy"));
        QCOMPARE(ui.showmaximum_pushButton->text(), QString("showmaximum"));

        QVERIFY(!ui.load_picture_btn->isEnabled());
        QVERIFY(!ui.load_picture_2_btn->isEnabled());
        QCOMPARE(ui.frame_rate_Slider_3->minimum(), 20);
        QCOMPARE(ui.frame_rate_Slider_3->maximum(), 100);
        QCOMPARE(ui.frame_rate_Slider_3->pageStep(), 5);
        QCOMPARE(ui.frame_rate_Slider_3->orientation(), Qt::Horizontal);

        // The form's own style sheets, checked against their known lengths and their text.
        QCOMPARE(ui.create_window_btn->styleSheet().size(), 382);
        QCOMPARE(ui.destroy_window_btn->styleSheet().size(), 376);
        QCOMPARE(ui.create_window_btn->styleSheet(), styleSheetWith("lightblue"));
        QCOMPARE(ui.destroy_window_btn->styleSheet(), styleSheetWith("red"));
        QVERIFY(ui.centralWidget->styleSheet().isEmpty());
        QVERIFY(ui.video_widget->styleSheet().isEmpty());
    }

    void constructionSetsUpSurfaceSceneAndSlider() {
        LogCapture log;
        LumivarexWindow window;

        QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(currentVout(), nullptr);

        auto* slider = window.findChild<QSlider*>("frame_rate_Slider_3");
        auto* label = window.findChild<QLabel*>("rate_label_3");
        QCOMPARE(slider->value(), 30);
        QCOMPARE(label->text(), QString("30 ms"));
        QCOMPARE(g_frameIntervalMs.load(), 30);

        auto* view = window.findChild<QGraphicsView*>("graphicsView");
        QVERIFY(view->scene());
        QCOMPARE(view->scene()->parent(), &window);
        QCOMPARE(view->scene()->backgroundBrush(), QBrush(Qt::lightGray, Qt::SolidPattern));
        QVERIFY(view->scene()->items().isEmpty());
        QCOMPARE(view->viewportUpdateMode(), QGraphicsView::FullViewportUpdate);

        auto* surface = window.findChild<QWidget*>("video_widget");
        QVERIFY(surface->autoFillBackground());
        QCOMPARE(surface->palette().brush(QPalette::Active, QPalette::Window).color(),
                 QColor(Qt::gray));
        QCOMPARE(surface->palette().brush(QPalette::Disabled, QPalette::Window).color(),
                 QColor(Qt::gray));

        const QList<LogRecord> records = log.from(kSetQPalette);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].text, QString("Widget \"video_widget\" xid 0"));
    }

    void sliderSetsLabelAndFrameInterval() {
        LumivarexWindow window;
        auto* slider = window.findChild<QSlider*>("frame_rate_Slider_3");
        auto* label = window.findChild<QLabel*>("rate_label_3");
        slider->setValue(100);
        QCOMPARE(label->text(), QString("100 ms"));
        QCOMPARE(g_frameIntervalMs.load(), 100);
        slider->triggerAction(QAbstractSlider::SliderPageStepSub);
        QCOMPARE(slider->value(), 95);
        QCOMPARE(g_frameIntervalMs.load(), 95);
        slider->setValue(5); // clamped by the slider's range
        QCOMPARE(g_frameIntervalMs.load(), 20);
        QCOMPARE(label->text(), QString("20 ms"));
    }

    void everyPressOnVideoPanelLogsNameAndWindowId() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* surface = window.findChild<QWidget*>("video_widget");

        LogCapture log;
        QTest::mousePress(surface, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseRelease(surface, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mousePress(surface, Qt::RightButton, {}, QPoint(20, 20));
        QTest::mouseRelease(surface, Qt::RightButton, {}, QPoint(20, 20));

        const QList<LogRecord> records = log.from(kMousePress);
        QCOMPARE(records.size(), 2);
        const QString expected =
            QString("\"video_widget\"  :  %1").arg(static_cast<qint64>(surface->winId()));
        QVERIFY(surface->winId() != 0);
        for (const LogRecord& r : records)
            QCOMPARE(r.text, expected);

        log.clear();
        surface->setObjectName(QString());
        QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(log.from(kMousePress).size(), 1);
        QCOMPARE(log.from(kMousePress)[0].text,
                 QString("\"\"  :  %1").arg(static_cast<qint64>(surface->winId())));
    }

    void twoMaximiseRequestsRestoreTheSize() {
        LumivarexWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize normal = window.size();
        auto* toggle = window.findChild<QPushButton*>("showmaximum_pushButton");

        QTest::mouseClick(toggle, Qt::LeftButton);
        // Without a window manager the size may stay; the state is what the toggle reads.
        QTRY_VERIFY(window.isMaximized());
        toggle = window.findChild<QPushButton*>("showmaximum_pushButton");
        QTest::mouseClick(toggle, Qt::LeftButton);
        QTRY_VERIFY(!window.isMaximized());
        QTRY_COMPARE(window.size(), normal);
    }

    void libraryPathIsLibBesideProgramDirectory() {
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath("tools/app/bin"));
        const QString app = root.path() + "/tools/app";
        QCOMPARE(libraryPathFor(app + "/bin"), app + "/lib");
        // No parent to move to: the directory itself with "/lib" appended.
        QCOMPARE(libraryPathFor("/"), QString("//lib"));
    }

    void relativeNamesAreFoundBesideTheProgramOrInItsDataDirectory() {
        // An installed tree: <prefix>/bin/lumivarex and <prefix>/share/lumivarex/clips.
        QTemporaryDir prefix;
        QVERIFY(QDir(prefix.path()).mkpath("bin") &&
                QDir(prefix.path()).mkpath("share/lumivarex/clips"));
        const QString installed = prefix.path() + "/share/lumivarex/clips/a.avi";
        QVERIFY(QFile(installed).open(QIODevice::WriteOnly));
        const QString bin = prefix.path() + "/bin";
        QCOMPARE(playableFileName("../clips/a.avi", bin), installed);
        // Beside the program comes first: a build tree's bin/../clips.
        QVERIFY(QDir(prefix.path()).mkpath("clips"));
        QVERIFY(QFile(prefix.path() + "/clips/a.avi").open(QIODevice::WriteOnly));
        QCOMPARE(playableFileName("../clips/a.avi", bin), prefix.path() + "/clips/a.avi");
        QCOMPARE(playableFileName("../clips/none.avi", bin), QString("../clips/none.avi"));
    }
};

QTEST_MAIN(WindowShellTest)
#include "window_shell_test.moc"
