#pragma once

#include "log/MessageBox.h"
#include "web/UrlOpener.h"

#include <QPointer>
#include <QWidget>
#include <string>

class QString;

namespace velmora {

// On processors with VAES, Qt's string hashing (called while the window
// paints) returns with the upper halves of the AVX registers in use. Until
// they are cleared every SSE instruction pays a transition penalty, and the
// replay loop's capture reader then runs three times slower. So the window
// clears them before it hands control back to the loop.
void ClearUpperVectorState();

// Message boxes with the exclamation icon, captioned with the executable's name.
// A box belongs to the modal window in front (About), else to the owner (the
// main window), so that the desktop keeps it above that window.
class CQtMessageBox final : public IMessageBox {
public:
    void SetOwner(QWidget* pOwner) { m_pOwner = pOwner; }
    int Show(const std::string& csText, int iType) override;

private:
    QPointer<QWidget> m_pOwner;
};

// Hands addresses to the desktop's browser (no shell involved).
class CQtUrlOpener final : public IUrlOpener {
public:
    bool Open(const std::string& csUrl) override;
};

// The file dialogs, replaceable so tests can answer it.
class IFileDialog {
public:
    virtual ~IFileDialog() = default;
    // The chosen file's full path, or "" when cancelled.
    virtual std::string GetOpenFileName(QWidget* pOwner) = 0;
    // The path to save to (csSuggested offered first), or "" when cancelled.
    // Dialogs that only open files cancel.
    virtual std::string GetSaveFileName(QWidget* /*pOwner*/, const std::string& /*csSuggested*/)
    {
        return std::string();
    }
};

class CQtFileDialog final : public IFileDialog {
public:
    std::string GetOpenFileName(QWidget* pOwner) override;
    std::string GetSaveFileName(QWidget* pOwner, const std::string& csSuggested) override;
};

// The bytes of a file name that Qt handed over as text. Qt shows a byte that
// is not UTF-8 as U+FFFD; such a name is looked up on disk, one folder at a
// time, and taken only where exactly one entry reads as that text. Otherwise
// the text's own encoding is given, which names no such file.
std::string FileNameBytes(const QString& qsPath);

void SetFileDialog(IFileDialog* pDialog); // not owned; nullptr restores Qt's
IFileDialog& GetFileDialog();

} // namespace velmora
