#include "TessarollMonitor/qt/QtTray.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <utility>

#include "TessarollMonitor/TrayWindow.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "platform/Channel.h"

namespace {

// The three icons are drawn rather than shipped: a disc in the state's colour.
QPixmap iconPixmap(int icon) {
    QColor colour = icon == kIconRunning   ? QColor(0x2e, 0x9d, 0x4f)
                    : icon == kIconStopped ? QColor(0x9a, 0x9a, 0x9a)
                                           : QColor(0x1f, 0x5f, 0xbf);
    QPixmap pixmap(48, 48);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(colour);
    painter.setPen(QPen(Qt::white, 3));
    painter.drawEllipse(3, 3, 42, 42);
    painter.setPen(QPen(Qt::white, 5));
    painter.drawLine(16, 24, 22, 31);
    painter.drawLine(22, 31, 33, 16);
    return pixmap;
}

QString qText(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Tray calls come from the keeper and debug-mode threads too; Qt's widgets live on the
// application's thread.
template <typename F>
void onGuiThread(F&& work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    if (QThread::currentThread() == app->thread()) {
        work();
    } else {
        QMetaObject::invokeMethod(app, std::forward<F>(work), Qt::QueuedConnection);
    }
}

// Always through the event loop, also on its own thread: the menu's choice runs inside
// the icon's activation handler, and hiding the icon there pulls the window it is
// handling away under it.
template <typename F>
void afterCurrentEvent(F&& work) {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, std::forward<F>(work), Qt::QueuedConnection);
    }
}

void fillMenu(QMenu& menu, const std::vector<TrayMenuItem>& items) {
    for (const TrayMenuItem& item : items) {
        switch (item.kind) {
            case TrayMenuItem::Kind::Separator: menu.addSeparator(); break;
            case TrayMenuItem::Kind::Submenu:
                fillMenu(*menu.addMenu(qText(item.text)), item.items);
                break;
            case TrayMenuItem::Kind::Command: {
                QAction* action = menu.addAction(qText(item.text));
                action->setData(item.id);
                if (item.checked) {
                    action->setCheckable(true);
                    action->setChecked(true);
                }
                break;
            }
        }
    }
}

}  // namespace

bool qtDisplayAvailable() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

QtTray::QtTray(std::unique_ptr<ChannelReceiver> receiver) : receiver_(std::move(receiver)) {
    if (receiver_) {
        notifier_ = std::make_unique<QSocketNotifier>(receiver_->fd(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { serveChannel(); });
    }
}

QtTray::~QtTray() = default;

void QtTray::serveChannel() {
    while (receiver_->serveOne([](const std::string& text) {
        if (text == kOpenAboutRequest) {
            // Posted, not sent: the sender does not wait for the box to close.
            QTimer::singleShot(0, [] { monitorWindowProc(kWmTrayCallback, 0, kWmLButtonDblClk); });
        } else {
            monitorWindowProc(kWmCopyData, 0, 0, text);
        }
    })) {}
}

bool QtTray::addTrayIcon(int icon, const std::string& tip) {
    if (!tray_) {
        tray_ = std::make_unique<QSystemTrayIcon>();
        QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                         [](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::DoubleClick) {
                                 monitorWindowProc(kWmTrayCallback, 0, kWmLButtonDblClk);
                             } else if (reason == QSystemTrayIcon::Context) {
                                 monitorWindowProc(kWmTrayCallback, 0, kWmRButtonDown);
                             }
                         });
    }
    tray_->setIcon(QIcon(iconPixmap(icon)));
    tray_->setToolTip(qText(tip).left(128));
    // Without a notification host yet, Qt shows the icon as soon as one appears.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        writeNormalLog("Notification area: ", "not available yet");
    tray_->show();
    return true;
}

void QtTray::setTrayIcon(int icon) {
    onGuiThread([this, icon] {
        if (tray_) tray_->setIcon(QIcon(iconPixmap(icon)));
    });
}

void QtTray::removeTrayIcon() {
    afterCurrentEvent([this] {
        if (tray_) tray_->hide();
    });
}

void QtTray::showBalloon(const std::string& text) {
    onGuiThread([this, message = qText(text)] {
        if (tray_) tray_->showMessage(QString(), message, QSystemTrayIcon::NoIcon);
    });
}

void QtTray::trackMenu(const std::vector<TrayMenuItem>& items) {
    QMenu menu;
    fillMenu(menu, items);
    QAction* chosen = menu.exec(QCursor::pos());
    if (chosen != nullptr && chosen->data().isValid()) {
        monitorWindowProc(kWmCommand, static_cast<uintptr_t>(chosen->data().toInt()), 0);
    }
}

void QtTray::messageBox(const std::string& caption, const std::string& text, int icon,
                        std::function<void()> closed) {
    // Not modal: a modal box would shut the tray icon and its menu out until it closed.
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setWindowTitle(qText(caption));
    box->setText(qText(text));
    box->setIconPixmap(iconPixmap(icon));
    box->setStandardButtons(QMessageBox::Ok);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    // Gone, whichever way it was closed: its button, the window's close, closeMessageBox.
    QObject::connect(box, &QObject::destroyed, [closed = std::move(closed)] {
        if (closed) closed();
    });
    openBox_ = box;
    box->show();
    box->raise();
    box->activateWindow();
}

void QtTray::closeMessageBox(const std::string& caption) {
    onGuiThread([this, title = qText(caption)] {
        if (openBox_ && openBox_->windowTitle() == title) openBox_->done(QMessageBox::Ok);
    });
}

void QtTray::quit() {
    afterCurrentEvent([] { QCoreApplication::quit(); });
}
