// The main window: the dialog's controls in Qt 6 Widgets, and the window surface
// through which the upgrade logic drives them. Its life and messages are in
// main_window.cpp, its controls and chrome in main_window_controls.cpp, what the logic
// pushes drawn in main_window_drawing.cpp, the dropped or chosen file in
// main_window_files.cpp.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QEvent>
#include <atomic>
#include <functional>
#include <map>
#include <string>

#include "dialog/upgrade_dlg.h"
#include "dialog/window_surface.h"
#include "host/front_end_host.h"

class QAction;
class QLabel;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;

namespace kx {

class MainWindow : public QDialog, public WindowSurface {
    Q_OBJECT
  public:
    explicit MainWindow(const char* driverLibrary = platform::kDriverLibraryName,
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    // Initialises the dialog and runs it modally; returns at once if it ended while
    // initialising (no driver).
    int RunModal();
    // Initialises and shows the dialog without a modal loop of its own (tests).
    bool Start();
    bool EndedWhileInitialising() const { return m_host.EndedWhileStarting(); }

    CUpgradeDlg& Dialog() { return *m_host.Dialog(); }
    const CUpgradeDlg& Dialog() const { return *m_host.Dialog(); }
    QPushButton* ExitButton() const { return m_exit; }
    QPlainTextEdit* LogView() const { return m_log; }
    // The log control with everything pushed so far drawn into it.
    QPlainTextEdit* LogView() {
        FlushLog();
        return m_log;
    }
    QLabel* ConnectionLabel() const { return m_connection; }
    QLabel* TransferLabel() const { return m_transfer; }
    QProgressBar* Progress() const { return m_progressBar; }
    // The about entry where the platform gives the window no system menu: the window's
    // context menu and F1. Null where it is in the system menu.
    QAction* AboutAction() const { return m_aboutAction; }
    // "Open log folder", in the window's context menus and beside the about entry.
    QAction* OpenLogFolderAction() const { return m_openLogAction; }
    // The "?" button that points to the about entry and the log folder where the window
    // has no system menu; null where it has one.
    QToolButton* HelpButton() const { return m_help; }
    const SessionLog& Session() const { return m_host.Session(); }
    // The file dropped on the window for the next announcement; empty when none.
    const QString& DroppedFile() const { return m_droppedFile; }
    // Opens a folder in the desktop's file manager; tests put their own in its place.
    void SetFolderOpener(std::function<void(const QString&)> opener) {
        m_folderOpener = std::move(opener);
    }
    void OpenLogFolder();

    // A system command from the window's system menu: true when it was the about entry
    // and the box has run; false hands the command on to the system's default processing
    // (Close becomes a close event, the move and size commands do their work).
    bool OnSysCommand(UINT id);
    // Runs the about box modally, centred over this window.
    void ShowAboutBox();

    // WindowSurface
    void PullTexts(std::string& connection, std::string& log, std::string& transfer) override;
    void PushTexts(std::string_view connection, const LogUpdate& log,
                   std::string_view transfer) override;
    void ScrollLogToEnd() override;
    void InvalidateLog() override;
    void RepaintNow() override;
    void EnableExit(bool enable) override;
    void SetProgressRange(std::uint32_t maximum) override;
    void SetProgressPos(std::uint32_t position) override;
    void ShowMessageBox(const std::string& text) override;
    void PostToWindow(WindowMessage message) override;
    void StartTimer(TimerId id, UINT periodMs) override;
    void EndModal(DialogResult result) override;
    std::optional<std::string> ChooseFile(const FileChooserRequest& request) override;
    std::string ReadProfileText(const std::string& section, const std::string& entry,
                                const std::string& defaultValue) override;
    bool WriteProfileText(const std::string& section, const std::string& entry,
                          const std::string& value) override;
    void TransferRestarted(unsigned restart, unsigned limit) override;
    void FileAccepted(const std::string& path, std::span<const std::uint8_t> image) override;

    void done(int result) override;
    // Esc, and the close box through closeEvent: asks first while a transfer runs.
    void reject() override;

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void BuildControls();
    void InstallAboutEntry();
    void ShowLogContextMenu(const QPoint& position);
    void ShowMessageBoxNow(const std::string& text);
    // The log control takes what was pushed since it last drew in one piece, once per turn
    // of the event loop: a pass that echoes 200 bytes lays the text out once, not 200 times.
    void QueueLogFlush();
    void FlushLog();
    void ScrollLogNow();
    // True when the window may end now: no transfer runs, or the user agreed to leave it.
    bool MayQuit();
    bool AskQuit();
    // The transfer line as shown: the logic's text, the reason of the last abort beside
    // "Transfer aborted", and the dropped file waiting for the next announcement.
    QString TransferLine() const;
    void RefreshTransferLine();
    void RefreshProgressText(bool force);
    void PlaceChooser(QDialog& chooser);
    void PlaceBesideOthers();

    QPushButton* m_exit = nullptr;
    QPlainTextEdit* m_log = nullptr;
    QLabel* m_connection = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_transfer = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_openLogAction = nullptr;
    QToolButton* m_help = nullptr;
    std::map<TimerId, QTimer*> m_timers;

    // The log pushed since the control last drew (the host keeps the whole text).
    std::string m_logPending;
    bool m_logReplacePending = false;
    bool m_logScrollPending = false;
    bool m_logFlushQueued = false;
    int m_progressScale = 1;
    std::uint32_t m_progressMaximum = 0;
    std::uint32_t m_progressPosition = 0;
    QElapsedTimer m_rateDrawn;
    int m_percentDrawn = -1;
    QMessageBox* m_question = nullptr;  // the quit question while it is asked
    QTimer* m_rateTimer = nullptr;

    // The duties every front end shares: the dialog and the order of its start-up, close
    // and end, the three texts as the logic last pushed them, posted polls coalesced, the
    // progress figures and their clock, the quit question, the session log.
    FrontEndHost m_host;
    QString m_shownTransferLine;
    QString m_droppedFile;
    std::function<void(const QString&)> m_folderOpener;
};

// Turns a common-dialog filter ("Name|pattern|...") into Qt's form ("Name (pattern)").
QString QtFilterFromPairs(const std::string& filter);

}  // namespace kx
