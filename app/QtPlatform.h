#pragma once

#include "MessageBox.h"
#include "UrlOpener.h"

#include <string>

class QWidget;

// Message boxes with the exclamation icon, captioned with the executable's name.
class CQtMessageBox final : public IMessageBox {
public:
    int Show(const std::string& csText, int iType) override;
};

// Hands addresses to the desktop's browser (no shell involved).
class CQtUrlOpener final : public IUrlOpener {
public:
    bool Open(const std::string& csUrl) override;
};

// The file-open dialog, replaceable so tests can answer it.
class IFileDialog {
public:
    virtual ~IFileDialog() = default;
    // The chosen file's full path, or "" when cancelled.
    virtual std::string GetOpenFileName(QWidget* pOwner) = 0;
};

class CQtFileDialog final : public IFileDialog {
public:
    std::string GetOpenFileName(QWidget* pOwner) override;
};

void SetFileDialog(IFileDialog* pDialog); // not owned; nullptr restores Qt's
IFileDialog& GetFileDialog();
