#include "world/Base64.h"

#include <array>
#include <cstdint>

namespace Tav {

const std::string g_base64Chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

constexpr uint8_t kStop = 0xFF;

// Byte to 6-bit value, kStop for every byte outside the alphabet; built from
// the alphabet itself so the two can never disagree.
std::array<uint8_t, 256> MakeValues()
{
    std::array<uint8_t, 256> values;
    values.fill(kStop);
    for (size_t i = 0; i < g_base64Chars.size(); ++i)
        values[static_cast<unsigned char>(g_base64Chars[i])] = static_cast<uint8_t>(i);
    return values;
}

}  // namespace

std::string Base64Decode(const std::string& text)
{
    static const std::array<uint8_t, 256> values = MakeValues();

    // The accepted prefix: up to the first byte outside the alphabet ("=" is one).
    size_t n = 0;
    while (n < text.size() && values[static_cast<unsigned char>(text[n])] != kStop) ++n;

    std::string out;
    out.reserve(n / 4 * 3 + 2);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t group = (uint32_t(values[p[i]]) << 18) | (uint32_t(values[p[i + 1]]) << 12) |
                               (uint32_t(values[p[i + 2]]) << 6) | uint32_t(values[p[i + 3]]);
        out.push_back(static_cast<char>(group >> 16));
        out.push_back(static_cast<char>((group >> 8) & 0xFF));
        out.push_back(static_cast<char>(group & 0xFF));
    }
    // An unfinished group: the whole bytes its characters make up.
    const size_t rest = n - i;
    if (rest >= 2) {
        const uint32_t a = values[p[i]], b = values[p[i + 1]];
        out.push_back(static_cast<char>((a << 2) | (b >> 4)));
        if (rest == 3) {
            const uint32_t c = values[p[i + 2]];
            out.push_back(static_cast<char>(((b & 0x0F) << 4) | (c >> 2)));
        }
    }
    return out;
}

}  // namespace Tav
