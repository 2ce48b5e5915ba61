#include "app_icon.h"

#include <QString>

// The icons live in a static library: its resources are only linked in when named.
static void InitIconResource() {
    Q_INIT_RESOURCE(kxupgradedongle);
}

namespace kx {

QIcon AppIcon() {
    static const bool resourceReady = (InitIconResource(), true);
    (void)resourceReady;
    QIcon icon;
    for (int size : kAppIconSizes) {
        icon.addFile(QStringLiteral(":/icons/kxupgradedongle-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace kx
