// The firmware file for the next announcement: dropped on the window, or chosen in the
// file chooser, which opens below the status lines and inside the screen.
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QScreen>
#include <QTreeView>
#include <QUrl>
#include <algorithm>

#include "dialog_units.h"
#include "main_window.h"
#include "window_placement.h"

namespace kx {

namespace {

// A file the window takes when it is dropped on it: an existing firmware file.
QString DroppedFirmware(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) {
        return {};
    }
    const QUrl url = data->urls().constFirst();
    if (!url.isLocalFile()) {
        return {};
    }
    const QFileInfo file(url.toLocalFile());
    if (!file.isFile() || file.suffix().compare(QStringLiteral("dat"), Qt::CaseInsensitive) != 0) {
        return {};
    }
    return file.absoluteFilePath();
}

}  // namespace

QString QtFilterFromPairs(const std::string& filter) {
    QStringList filters;
    const QStringList parts = QString::fromUtf8(filter).split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString name = parts[i];
        const QString pattern = parts[i + 1].trimmed();
        if (name.isEmpty()) {
            continue;
        }
        filters << (name.contains(QLatin1Char('(')) ? name : name + " (" + pattern + ")");
    }
    return filters.join(QStringLiteral(";;"));
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedFirmware(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QString file = DroppedFirmware(event->mimeData());
    if (file.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    m_droppedFile = file;
    m_host.Session().Note("file dropped for the next announcement: " + file.toStdString());
    RefreshTransferLine();
}

std::optional<std::string> MainWindow::ChooseFile(const FileChooserRequest& request) {
    // A file dropped on the window beforehand is the user's choice for this announcement.
    if (!m_droppedFile.isEmpty()) {
        const std::string dropped = m_droppedFile.toUtf8().toStdString();
        m_droppedFile.clear();
        m_host.Session().Note("dropped file taken: " + dropped);
        RefreshTransferLine();
        return dropped;
    }
    // A stored folder that is no folder here (the default is a Windows path) would end up
    // in the file name box: open in the user's home instead, and keep the stored value.
    QString folder = QString::fromUtf8(request.initialFolder);
    if (!QDir(folder).exists()) {
        folder = QDir::homePath();
    }
    QFileDialog chooser(this, QString(), folder, QtFilterFromPairs(request.filter));
    chooser.setObjectName(QStringLiteral("FileChooser"));
    chooser.setAcceptMode(request.openMode ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    chooser.setFileMode(HasFlag(request.flags, ChooserFlags::FileMustExist)
                            ? QFileDialog::ExistingFile
                            : QFileDialog::AnyFile);
    chooser.setDefaultSuffix(QString::fromUtf8(request.defaultExtension));
    if (!request.initialName.empty()) {
        chooser.selectFile(QString::fromUtf8(request.initialName));
    }
    PlaceChooser(chooser);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return chooser.selectedFiles().constFirst().toUtf8().toStdString();
}

// The chooser opens below the two status lines, so that they stay readable while it is
// open (the reason of an abort that came just before it, say), large enough for its
// columns, and never larger than the screen: at 150 % on a small screen its buttons stay
// on it.
void MainWindow::PlaceChooser(QDialog& chooser) {
    const DialogUnits units(font());
    const QSize wanted(std::max(chooser.sizeHint().width(), width() + units.X(120)),
                       std::max(chooser.sizeHint().height(), height()));
    const QScreen* shown = isVisible() ? screen() : QGuiApplication::primaryScreen();
    const QRect available = shown != nullptr ? shown->availableGeometry() : QRect();
    // The window manager frames the chooser as it frames this window; a chooser asked for
    // before this window was framed allows two characters' width and two lines for it.
    const QSize margins =
        isVisible() ? FrameMargins(frameGeometry().size(), size(), QSize(units.X(8), units.Y(16)))
                    : QSize(0, 0);
    const QRect frame =
        ChooserFrame(wanted, margins, frameGeometry().center().x(),
                     mapToGlobal(m_transfer->geometry().bottomLeft()).y() + units.Y(4), available);
    chooser.resize(frame.size() - margins);
    if (isVisible()) {
        chooser.move(frame.topLeft());
    }

    // Once the folder is read, the columns take what they need and the name the rest.
    auto* model = chooser.findChild<QFileSystemModel*>();
    auto* view = chooser.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (model != nullptr && view != nullptr) {
        connect(model, &QFileSystemModel::directoryLoaded, view, [view] {
            QHeaderView* header = view->header();
            int others = 0;
            for (int column = 1; column < header->count(); ++column) {
                view->resizeColumnToContents(column);
                others += header->sectionSize(column);
            }
            header->resizeSection(
                0, std::max(header->sectionSize(0), view->viewport()->width() - others));
        });
    }
}

}  // namespace kx
