#pragma once

#include <string>

namespace velmora {

// Style values in, results out: the numbers are logged and compared by callers.
enum : int { MB_OK = 0, MB_YESNO = 4 };
enum : int { IDOK = 1, IDYES = 6, IDNO = 7 };

// A modal question with an exclamation icon. The program installs a Qt box;
// tests install a fake that answers and records.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual int Show(const std::string& csText, int iType) = 0;
};

// Not owned. Passing nullptr restores the fallback, which prints to stderr and
// answers OK or No.
void SetMessageBox(IMessageBox* pBox);
IMessageBox& GetMessageBox();

// A box shown straight, without any log record.
int ShowMessageBox(const std::string& csText, int iType);

} // namespace velmora
