// The log's text, which remembers how much of it the log control already shows, so that
// a push sends only what was added since (or the whole text after it was cleared).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "window_surface.h"

namespace kx {

class LogText {
  public:
    const std::string& str() const { return m_text; }
    std::size_t size() const { return m_text.size(); }

    void Append(std::string_view text) { m_text.append(text); }
    void Append(char c) { m_text.push_back(c); }
    void Clear() {
        m_text.clear();
        m_controlStale = true;
    }
    // The text as the control holds it, fetched from the control into `text`, which is
    // given back holding the text before (its buffer for the next fetch).
    void AssignFromControl(std::string& text) {
        m_text.swap(text);
        m_shown = m_text.size();
        m_controlStale = false;
    }
    // What the control lacks; afterwards the control is taken to hold the whole text.
    LogUpdate TakeUpdate() {
        LogUpdate update;
        update.replace = m_controlStale;
        update.text =
            m_controlStale ? std::string_view(m_text) : std::string_view(m_text).substr(m_shown);
        m_shown = m_text.size();
        m_controlStale = false;
        return update;
    }

  private:
    std::string m_text;
    std::size_t m_shown = 0;
    bool m_controlStale = true;
};

}  // namespace kx
