#include "about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "app_icon.h"
#include "dialog_layouts.h"
#include "dialog_units.h"
#include "string_table.h"

namespace kx {

CAboutDlg::CAboutDlg(QWidget* over) : QDialog(over) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QString::fromUtf8(text::kAboutCaption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(true);
    const DialogUnits units(font());
    const QRect frame = units.ToPixels(layout::about::kFrame);
    setFixedSize(frame.size());

    m_icon = new QLabel(this);
    m_icon->setObjectName(QStringLiteral("IDR_MAINFRAME"));
    const QRect iconRect = units.ToPixels(layout::about::kIcon);
    m_icon->setGeometry(iconRect);
    const int side = qMin(iconRect.width(), iconRect.height());
    m_icon->setPixmap(AppIcon().pixmap(QSize(side, side)));
    m_icon->setAlignment(Qt::AlignCenter);

    // Plain text: an '&' would be shown as it is, never as an access key.
    m_version = new QLabel(QString::fromUtf8(text::kAboutVersion), this);
    m_version->setObjectName(QStringLiteral("IDC_STATIC"));
    m_version->setTextFormat(Qt::PlainText);
    m_version->setGeometry(units.ToPixels(layout::about::kVersionText));

    m_ok = new QPushButton(QString::fromUtf8(text::kAboutOk), this);
    m_ok->setObjectName(QStringLiteral("IDOK"));
    m_ok->setGeometry(units.ToPixels(layout::about::kOk));
    m_ok->setDefault(true);
    m_ok->setFocus(Qt::OtherFocusReason);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
}

int CAboutDlg::RunModal() {
    return exec();
}

}  // namespace kx
