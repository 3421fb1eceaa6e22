// A TrayUi that records what the monitor shows instead of showing it, for the monitor's
// headless tests.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "TessarollMonitor/TrayUi.h"

namespace testing_support {

class RecordingTrayUi final : public TrayUi {
public:
    bool addResult = true;
    // The screen grab; by default it saves nothing.
    std::function<bool(const std::string& path)> grab = [](const std::string&) { return false; };

    bool addTrayIcon(int icon, const std::string&) override {
        std::lock_guard lock(m_);
        ++adds_;
        if (addResult) icons_.push_back(icon);
        return addResult;
    }
    void setTrayIcon(int icon) override {
        std::lock_guard lock(m_);
        icons_.push_back(icon);
    }
    void removeTrayIcon() override {
        std::lock_guard lock(m_);
        ++removals_;
    }
    void showBalloon(const std::string& text) override {
        std::lock_guard lock(m_);
        balloons_.push_back(text);
    }
    void trackMenu(const std::vector<TrayMenuItem>& menu) override {
        std::lock_guard lock(m_);
        menus_.push_back(menu);
    }
    // The box stays "open" until the test closes it as the user would (closeBox).
    void messageBox(const std::string& caption, const std::string& text, int icon,
                    std::function<void()> closed) override {
        std::lock_guard lock(m_);
        boxes_.push_back({caption, text, icon});
        openBoxes_.push_back(std::move(closed));
    }
    // The user closes the box opened first of those still open; false when none is.
    bool closeBox() {
        std::function<void()> closed;
        {
            std::lock_guard lock(m_);
            if (openBoxes_.empty()) return false;
            closed = std::move(openBoxes_.front());
            openBoxes_.erase(openBoxes_.begin());
        }
        if (closed) closed();
        return true;
    }
    void closeMessageBox(const std::string& caption) override {
        std::lock_guard lock(m_);
        closedBoxes_.push_back(caption);
    }
    bool grabScreen(const std::string& path) override {
        {
            std::lock_guard lock(m_);
            grabs_.push_back(path);
        }
        return grab(path);
    }
    void quit() override {
        std::lock_guard lock(m_);
        ++quits_;
    }

    struct Box {
        std::string caption, text;
        int icon;
    };
    std::vector<std::string> balloons() const {
        std::lock_guard lock(m_);
        return balloons_;
    }
    std::vector<int> icons() const {
        std::lock_guard lock(m_);
        return icons_;
    }
    std::vector<std::vector<TrayMenuItem>> menus() const {
        std::lock_guard lock(m_);
        return menus_;
    }
    std::vector<Box> boxes() const {
        std::lock_guard lock(m_);
        return boxes_;
    }
    int quits() const {
        std::lock_guard lock(m_);
        return quits_;
    }
    int adds() const {
        std::lock_guard lock(m_);
        return adds_;
    }
    int removals() const {
        std::lock_guard lock(m_);
        return removals_;
    }
    std::vector<std::string> closedBoxes() const {
        std::lock_guard lock(m_);
        return closedBoxes_;
    }
    std::vector<std::string> grabs() const {
        std::lock_guard lock(m_);
        return grabs_;
    }
    void clear() {
        std::lock_guard lock(m_);
        balloons_.clear();
        icons_.clear();
        menus_.clear();
        boxes_.clear();
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> balloons_;
    std::vector<int> icons_;
    std::vector<std::vector<TrayMenuItem>> menus_;
    std::vector<Box> boxes_;
    std::vector<std::function<void()>> openBoxes_;  // what each open box runs when closed
    std::vector<std::string> closedBoxes_;
    std::vector<std::string> grabs_;
    int quits_ = 0;
    int adds_ = 0;
    int removals_ = 0;
};

}  // namespace testing_support
