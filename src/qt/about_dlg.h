// The about box: the icon, the program's name and version, and OK.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace kx {

inline constexpr int IDD_ABOUTBOX = 100;

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    // `over` is the window the box belongs to; QDialog opens a box centred over its
    // parent window.
    explicit CAboutDlg(QWidget* over = nullptr);

    // Runs the box modally. Its event loop goes on dispatching the main window's posted
    // messages and timers, so poll passes and a running transfer continue meanwhile.
    int RunModal();

    QLabel* IconLabel() const { return m_icon; }
    QLabel* VersionLabel() const { return m_version; }
    QPushButton* OkButton() const { return m_ok; }

  private:
    QLabel* m_icon = nullptr;
    QLabel* m_version = nullptr;
    QPushButton* m_ok = nullptr;
};

}  // namespace kx
