#include "QtPlatform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>

int CQtMessageBox::Show(const std::string& csText, int iType)
{
    QMessageBox box(QApplication::activeModalWidget() ? QApplication::activeModalWidget()
                                                      : QApplication::activeWindow());
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QCoreApplication::applicationName());
    box.setText(QString::fromLocal8Bit(csText.c_str()));
    if (iType == MB_YESNO) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? IDYES : IDNO;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return IDOK;
}

bool CQtUrlOpener::Open(const std::string& csUrl)
{
    const QString url = QString::fromLocal8Bit(csUrl.c_str());
    // The desktop's opener gets the address as built, as a single argument;
    // no shell ever sees it.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty())
        return QProcess::startDetached(opener, { url });
    return QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

std::string CQtFileDialog::GetOpenFileName(QWidget* pOwner)
{
    return QFileDialog::getOpenFileName(pOwner).toLocal8Bit().toStdString();
}

namespace {
CQtFileDialog s_qtFileDialog;
IFileDialog* s_pFileDialog = nullptr;
} // namespace

void SetFileDialog(IFileDialog* pDialog) { s_pFileDialog = pDialog; }
IFileDialog& GetFileDialog() { return s_pFileDialog ? *s_pFileDialog : s_qtFileDialog; }
