#pragma once
// Texts of designs for the tests: LXFML elements and a Base64 encoder of the
// tests' own.
#include <cstdint>
#include <string>

namespace TavTest {

// One Brick element with its Part and Bone; null attributes are left out.
inline std::string LxfmlBrickElement(const char* designId, const char* materials, const std::string& transformation,
                                     bool withTransformation = true)
{
    std::string s = "<Brick";
    if (designId) s += std::string(" designID=\"") + designId + "\"";
    s += "><Part";
    if (materials) s += std::string(" materials=\"") + materials + "\"";
    s += "><Bone";
    if (withTransformation) s += " transformation=\"" + transformation + "\"";
    s += "/></Part></Brick>";
    return s;
}

inline std::string LxfmlDocument(const std::string& bricks) { return "<LXFML><Bricks>" + bricks + "</Bricks></LXFML>"; }

// Standard alphabet with "=" padding.
inline std::string Base64Encode(const std::string& bytes)
{
    static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

}  // namespace TavTest
