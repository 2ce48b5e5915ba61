#include <QApplication>

#include "upgrade_app.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    kx::CUpgradeApp upgradeApp;
    upgradeApp.InitInstance();
    return 0;
}
