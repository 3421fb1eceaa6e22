// The tray window's Qt side: the notification-area icon, its menu, balloons and the About
// box, and the window channel on which the worker's instructions arrive. Everything the
// user does is handed to monitorWindowProc as the message it stands for.
#pragma once

#include <QMessageBox>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>

#include "TessarollMonitor/TrayUi.h"

class QSystemTrayIcon;
class QSocketNotifier;
class ChannelReceiver;

class QtTray final : public TrayUi {
public:
    // `receiver` is the claimed window channel; its texts run the window procedure.
    explicit QtTray(std::unique_ptr<ChannelReceiver> receiver);
    ~QtTray() override;

    bool addTrayIcon(int icon, const std::string& tip) override;
    void setTrayIcon(int icon) override;
    void removeTrayIcon() override;
    void showBalloon(const std::string& text) override;
    void trackMenu(const std::vector<TrayMenuItem>& menu) override;
    void messageBox(const std::string& caption, const std::string& text, int icon,
                    std::function<void()> closed) override;
    void closeMessageBox(const std::string& caption) override;
    bool grabScreen(const std::string& path) override;  // qt/QtScreenGrab.cpp
    void quit() override;

private:
    void serveChannel();

    std::unique_ptr<ChannelReceiver> receiver_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QPointer<QMessageBox> openBox_;  // the About box while it is open
};

// Whether a display for the Qt layer can be had; without one Qt would abort.
bool qtDisplayAvailable();
