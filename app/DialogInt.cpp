#include "app/DialogInt.h"

#include <algorithm>
#include <climits>

namespace velmora {

bool ParseDialogInt(const std::string& csText, int& iValue)
{
    size_t i = 0, n = csText.size();
    while (i < n && (csText[i] == ' ' || csText[i] == '\t'))
        ++i;
    while (n > i && (csText[n - 1] == ' ' || csText[n - 1] == '\t'))
        --n;
    bool bNeg = false;
    if (i < n && (csText[i] == '-' || csText[i] == '+')) {
        bNeg = csText[i] == '-';
        ++i;
    }
    if (i == n)
        return false;
    constexpr long long kBeyond = static_cast<long long>(INT_MAX) + 2;
    long long ll = 0;
    for (; i < n; ++i) {
        if (csText[i] < '0' || csText[i] > '9')
            return false;
        ll = std::min(ll * 10 + (csText[i] - '0'), kBeyond);
    }
    if (bNeg && ll == 0)
        return false;
    if (bNeg)
        ll = -ll;
    iValue = static_cast<int>(std::clamp<long long>(ll, INT_MIN, INT_MAX));
    return true;
}

} // namespace velmora
