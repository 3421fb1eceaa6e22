// The tray UI's screen grab.
#include <QGuiApplication>
#include <QMetaObject>
#include <QPixmap>
#include <QScreen>
#include <QString>
#include <QThread>

#include "TessarollMonitor/qt/QtTray.h"

namespace {

bool grabOnGuiThread(const std::string& path) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return false;
    // Window 0: the whole screen from its top-left corner.
    QPixmap picture = screen->grabWindow(0);
    if (picture.isNull()) return false;
    return picture.save(QString::fromStdString(path));  // the format follows the extension
}

}  // namespace

bool QtTray::grabScreen(const std::string& path) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !qobject_cast<QGuiApplication*>(app)) return false;
    if (QThread::currentThread() == app->thread()) return grabOnGuiThread(path);
    // Screens belong to the GUI thread: the hotkey thread asks it and waits.
    bool saved = false;
    QMetaObject::invokeMethod(
        app, [&] { saved = grabOnGuiThread(path); }, Qt::BlockingQueuedConnection);
    return saved;
}
