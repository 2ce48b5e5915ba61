// A headless window for tests that also keeps every message box it was asked to show.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "host/headless_window.h"

namespace kx::test {

class RecordingWindow : public HeadlessWindow {
  public:
    RecordingWindow() {
        messageBox = [this](const std::string& text) {
            std::lock_guard lock(m_boxMutex);
            m_boxes.push_back(text);
        };
    }
    std::vector<std::string> Boxes() const {
        std::lock_guard lock(m_boxMutex);
        return m_boxes;
    }

  private:
    mutable std::mutex m_boxMutex;
    std::vector<std::string> m_boxes;
};

}  // namespace kx::test
