#include "TessarollMonitor/TrayIcon.h"

#include <string>

#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorConfig.h"
#include "TessarollMonitor/MonitorState.h"
#include "TessarollMonitor/TrayUi.h"
#include "platform/NotificationArea.h"

namespace {

constexpr std::size_t kTextCharacters = 512;

std::string tipAnd(MonitorText text) {
    return cutToCharacters(std::string(kTrayTip) + " " + languageText(text), kTextCharacters);
}

}  // namespace

void setRunningIcon() {
    TrayWindowState& window = monitorState().window;
    window.mainRunning = 1;
    if (TrayUi* ui = trayUi()) ui->setTrayIcon(kIconRunning);
    // The notice belongs to this start alone, also when silent mode hides it.
    const bool restarted = window.restartNotice.exchange(0) != 0;
    if (monitorState().config.silentmode) return;
    showBalloon(tipAnd(restarted ? MonitorText::Restarted : MonitorText::Started));
}

void setStoppedIcon() {
    TrayWindowState& window = monitorState().window;
    window.mainRunning = 0;
    if (TrayUi* ui = trayUi()) ui->setTrayIcon(kIconStopped);
    if (monitorState().config.silentmode || window.restartNotice) return;
    showBalloon(tipAnd(MonitorText::Stopped));
}

void refreshNotificationArea() {
    clearDeadTrayIcons();
}
