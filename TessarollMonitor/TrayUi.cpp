#include "TessarollMonitor/TrayUi.h"

#include <atomic>

#include "TessarollMonitor/Languages.h"

namespace {

constexpr std::size_t kBalloonCharacters = 256;  // the balloon's text holds 255

std::atomic<TrayUi*> currentUi{nullptr};

}  // namespace

void setTrayUi(TrayUi* ui) {
    currentUi = ui;
}

TrayUi* trayUi() {
    return currentUi;
}

void showBalloon(std::string_view text) {
    if (TrayUi* ui = currentUi) ui->showBalloon(cutToCharacters(text, kBalloonCharacters));
}
