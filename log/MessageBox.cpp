#include "log/MessageBox.h"

#include <cstdio>

namespace velmora {

namespace {

    class CFallbackBox final : public IMessageBox {
    public:
        int Show(const std::string& csText, int iType) override
        {
            std::fprintf(stderr, "velmora: %s\n", csText.c_str());
            return iType == MB_YESNO ? IDNO : IDOK;
        }
    };

    CFallbackBox s_fallback;
    IMessageBox* s_pBox = nullptr;

} // namespace

void SetMessageBox(IMessageBox* pBox)
{
    s_pBox = pBox;
}

IMessageBox& GetMessageBox()
{
    return s_pBox ? *s_pBox : s_fallback;
}

int ShowMessageBox(const std::string& csText, int iType)
{
    return GetMessageBox().Show(csText, iType);
}

} // namespace velmora
