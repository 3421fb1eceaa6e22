#include "TessarollMonitor/TrayIcon.h"

#include <string>

#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorConfig.h"
#include "TessarollMonitor/TrayUi.h"
#include "platform/NotificationArea.h"

std::atomic<uint8_t> mainRunning{0};
std::atomic<uint8_t> restartNotice{0};

namespace {

constexpr std::size_t kTextCharacters = 512;

std::string tipAnd(MonitorText text) {
    return cutToCharacters(std::string(kTrayTip) + " " + languageText(text), kTextCharacters);
}

}  // namespace

void setRunningIcon() {
    mainRunning = 1;
    if (TrayUi* ui = trayUi()) ui->setTrayIcon(kIconRunning);
    // The notice belongs to this start alone, also when silent mode hides it.
    const bool restarted = restartNotice.exchange(0) != 0;
    if (silentmode) return;
    showBalloon(tipAnd(restarted ? MonitorText::Restarted : MonitorText::Started));
}

void setStoppedIcon() {
    mainRunning = 0;
    if (TrayUi* ui = trayUi()) ui->setTrayIcon(kIconStopped);
    if (silentmode || restartNotice) return;
    showBalloon(tipAnd(MonitorText::Stopped));
}

void refreshNotificationArea() {
    clearDeadTrayIcons();
}
