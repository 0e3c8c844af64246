// The masks that cut a key prefix to its first bytes, for a search whose key's whole
// encoding fits in fewer bytes than a prefix holds.

#include "KeyPrefix.h"

KeyPrefix leadingBytesMask(std::size_t length)
{
    KeyPrefix mask;
    for (std::size_t w = 0, left = length; w < 3; ++w, left = left > 8 ? left - 8 : 0)
        mask.word[w] = left >= 8 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (8 * left));
    return mask;
}
