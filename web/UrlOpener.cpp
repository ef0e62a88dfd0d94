#include "web/UrlOpener.h"

namespace velmora {

namespace {
    class CNoOpener final : public IUrlOpener {
    public:
        bool Open(const std::string&) override { return false; }
    };
    CNoOpener s_none;
    IUrlOpener* s_pOpener = nullptr;
} // namespace

void SetUrlOpener(IUrlOpener* pOpener)
{
    s_pOpener = pOpener;
}
IUrlOpener& GetUrlOpener()
{
    return s_pOpener ? *s_pOpener : s_none;
}
bool OpenUrl(const std::string& csUrl)
{
    return GetUrlOpener().Open(csUrl);
}

} // namespace velmora
