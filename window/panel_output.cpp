#include "panel_output.h"

#include "output_controls.h"
#include "shared_state.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QWidget>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>

namespace {

const char* const followerName = "olm_vout_panel_follower";

// Asks Qt to draw, and so commit, the top-level surface: subsurfaces appear, and take a new
// position, only with their parent's next commit. Qt commits only what it repaints, and a
// window's area under an opaque child is not repainted: the panel itself is, or while it is
// hidden, the window.
void commitHost(QWidget* panel) {
    if (panel->isVisible())
        panel->update();
    else
        panel->window()->update();
}

// Passes the panel's layout on to the Wayland output, and destroys the output before the
// window's surface goes. Lives as long as the panel, as its child.
class PanelFollower : public QObject {
public:
    explicit PanelFollower(QWidget* panel) : QObject(panel), panel_(panel) {
        setObjectName(followerName);
        // The panel's place in the surface changes when it or any widget around it moves or
        // changes size; showing and hiding reach the panel itself.
        for (QWidget* w = panel; w; w = w->isWindow() ? nullptr : w->parentWidget())
            w->installEventFilter(this);
        QWindow* window = panel->window()->windowHandle();
        window->installEventFilter(this);
        // Qt's Wayland platform destroys the surface when the window is hidden (closing it
        // included); it says the window turns invisible just before.
        connect(window, &QWindow::visibleChanged, this, [](bool visible) {
            if (!visible && outputIsOnWayland())
                destroyOutput();
        });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            if (watched->isWidgetType() && moveOutputTo(panelRectInSurface(panel_)))
                commitHost(panel_);
            break;
        case QEvent::PlatformSurface:
            if (static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
                    QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed &&
                outputIsOnWayland())
                destroyOutput();
            break;
        default:
            break;
        }
        return false;
    }

private:
    QWidget* panel_;
};

} // namespace

bool runsOnWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

bool createOutputOnPanel(QWidget* panel) {
    if (currentVout())
        return true;
    if (!runsOnWayland())
        return createOutputOn(static_cast<uint32_t>(panel->winId()));

    // winId() means nothing here (and would give the panel a subsurface that never shows): the
    // output goes into the top-level window's own surface.
    QWindow* window = panel->window()->windowHandle();
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (!window || !native)
        return false;
    auto* display = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
    auto* surface = static_cast<wl_surface*>(native->nativeResourceForWindow("surface", window));
    if (!createOutputOnSurface(display, surface, panelRectInSurface(panel)))
        return false;
    if (!panel->findChild<QObject*>(followerName, Qt::FindDirectChildrenOnly))
        new PanelFollower(panel);
    commitHost(panel);
    return true;
}

QRect panelRectInSurface(const QWidget* panel) {
    if (!panel->isVisible())
        return {};
    QPoint origin = panel->mapTo(panel->window(), QPoint(0, 0));
    // Where Qt draws the frame itself (client-side decorations), the surface holds it too and
    // the window's contents start inside it; a frame drawn by the compositor adds nothing.
    if (const QWindow* window = panel->window()->windowHandle())
        origin += QPoint(window->frameMargins().left(), window->frameMargins().top());
    return QRect(origin, panel->size());
}
