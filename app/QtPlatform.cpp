#include "app/QtPlatform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <dirent.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace velmora {

int CQtMessageBox::Show(const std::string& csText, int iType)
{
    QWidget* pParent = QApplication::activeModalWidget();
    if (!pParent)
        pParent = m_pOwner;
    if (!pParent)
        pParent = QApplication::activeWindow();
    QMessageBox box(pParent);
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

std::string FileNameBytes(const QString& qsPath)
{
    const std::string csEncoded = QFile::encodeName(qsPath).toStdString();
    if (!qsPath.contains(QChar::ReplacementCharacter))
        return csEncoded;
    std::string csBytes = qsPath.startsWith(u'/') ? "/" : "";
    const QStringList parts = qsPath.split(u'/', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        std::string csPart = QFile::encodeName(part).toStdString();
        if (part.contains(QChar::ReplacementCharacter)) {
            DIR* pDir = opendir(csBytes.empty() ? "." : csBytes.c_str());
            if (!pDir)
                return csEncoded;
            int nMatches = 0;
            while (const dirent* pEntry = readdir(pDir)) {
                if (QFile::decodeName(pEntry->d_name) == part) {
                    csPart = pEntry->d_name;
                    ++nMatches;
                }
            }
            closedir(pDir);
            if (nMatches != 1)
                return csEncoded;
        }
        csBytes += csPart;
        if (i + 1 < parts.size())
            csBytes += '/';
    }
    return csBytes;
}

std::string CQtFileDialog::GetOpenFileName(QWidget* pOwner)
{
    return FileNameBytes(QFileDialog::getOpenFileName(pOwner));
}

std::string CQtFileDialog::GetSaveFileName(QWidget* pOwner, const std::string& csSuggested)
{
    // The kind of file offered follows the name suggested: a report is HTML.
    const bool bHtml
        = csSuggested.size() >= 5 && (csSuggested.compare(csSuggested.size() - 5, 5, ".html") == 0);
    return FileNameBytes(QFileDialog::getSaveFileName(pOwner, QString(),
        QFile::decodeName(QByteArray::fromStdString(csSuggested)),
        bHtml ? QStringLiteral("Reports (*.html);;All files (*)")
              : QStringLiteral("Captures (*.pcap);;All files (*)")));
}

namespace {
    CQtFileDialog s_qtFileDialog;
    IFileDialog* s_pFileDialog = nullptr;
} // namespace

void SetFileDialog(IFileDialog* pDialog)
{
    s_pFileDialog = pDialog;
}
IFileDialog& GetFileDialog()
{
    return s_pFileDialog ? *s_pFileDialog : s_qtFileDialog;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
    __attribute__((target("avx"))) void ZeroUpperAvx()
    {
        _mm256_zeroupper();
    }
#endif

} // namespace

void ClearUpperVectorState()
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool bAvx = __builtin_cpu_supports("avx");
    if (bAvx)
        ZeroUpperAvx();
#endif
}

} // namespace velmora
