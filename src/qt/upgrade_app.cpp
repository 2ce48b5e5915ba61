#include "upgrade_app.h"

#include <QCoreApplication>
#include <QSettings>

#include "main_window.h"
#include "string_table.h"

namespace kx {

bool CUpgradeApp::InitInstance() {
    // The profile store: Software\Tessaro\<application> in the user's registry on
    // Windows, the platform's per-user settings elsewhere. The application's name is
    // the executable's file name.
    QCoreApplication::setOrganizationName(QString::fromUtf8(text::kOrganisation));
    QSettings::setDefaultFormat(QSettings::NativeFormat);
    MainWindow dialog;
    dialog.RunModal();
    return false;
}

}  // namespace kx
