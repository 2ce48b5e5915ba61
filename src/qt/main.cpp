#include <QApplication>

#include "upgrade_app.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // Ties the window to its desktop entry: Wayland takes the task bar icon from there.
    QGuiApplication::setDesktopFileName(QStringLiteral("KXUpgradeDongle"));
    kx::CUpgradeApp upgradeApp;
    upgradeApp.InitInstance();
    return 0;
}
