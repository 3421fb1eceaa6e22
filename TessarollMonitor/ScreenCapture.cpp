#include "TessarollMonitor/ScreenCapture.h"

#include <thread>

#include "TessarollMonitor/Languages.h"
#include "TessarollMonitor/MonitorState.h"
#include "TessarollMonitor/TrayUi.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/Text.h"

namespace {

constexpr std::size_t kFileNameCharacters = 511;  // a buffer of 512 wide characters
constexpr auto kKeySleep = std::chrono::milliseconds(10);
constexpr auto kBalloonDelay = std::chrono::milliseconds(1214);

// At most `limit` UTF-16 units of a UTF-8 text, never cutting a character in two.
std::string cutToWideUnits(std::string_view text, std::size_t limit) {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t bytes = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::size_t width = bytes == 4 ? 2 : 1;
        if (units + width > limit || i + bytes > text.size()) break;
        units += width;
        i += bytes;
    }
    return std::string(text.substr(0, i));
}

}  // namespace

std::string screenshotFileName(std::string_view desktop, std::string_view screenshotsText,
                               std::string_view timeText) {
    std::string name(desktop);
    name += "/ZEFAGPKITessaroll ";
    name += screenshotsText;
    name += ' ';
    name += timeText;
    name += ".png";
    return cutToWideUnits(name, kFileNameCharacters);
}

std::string captureSavedMessage(std::string_view savedText, std::string_view fileName) {
    return replaceAll(savedText, "==FileName==", fileName);
}

std::string captureScreen() {
    const std::string fileName =
        screenshotFileName(getDesktopPath().value_or(std::string()),
                           languageText(MonitorText::Screenshots), getTimeText());
    TrayUi* ui = trayUi();
    const bool saved = ui != nullptr && ui->grabScreen(fileName);
    if (!saved) {
        // Saying "success" for a file that is not there would send the user looking for it.
        writeErrorLog("Screen capture fail: ", fileName);
        return fileName;
    }
    const std::string message =
        captureSavedMessage(languageText(MonitorText::CaptureSaved), fileName);
    std::this_thread::sleep_for(kBalloonDelay);
    showBalloon(message);
    return fileName;
}

ScreenshotKeyPoller::ScreenshotKeyPoller(KeyStateSource& keys, std::function<void()> capture)
    : keys_(keys),
      capture_(capture ? std::move(capture) : std::function<void()>([] { captureScreen(); })) {}

bool ScreenshotKeyPoller::runOnce() {
    keys_.sleepFor(kKeySleep);
    if (!monitorState().config.isScreenShot.load()) return false;
    bool captured = false;
    while (keys_.isKeyDown(kVirtualKeyPrint) || keys_.isKeyDown(kVirtualKeySnapshot)) {
        if (!captured) {
            capture_();
            captured = true;
        } else {
            keys_.sleepFor(kKeySleep);
        }
    }
    return captured;
}

void ScreenshotKeyPoller::run() {
    for (;;) runOnce();
}

void screenshotKeyPoller() {
    // Owned by this thread, which runs until the process ends.
    std::unique_ptr<KeyStateSource> keys = desktopKeyStateSource();
    ScreenshotKeyPoller poller(*keys);
    poller.run();
}
