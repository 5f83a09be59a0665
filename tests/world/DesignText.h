#pragma once
// Texts of designs for the tests: LXFML elements and a Base64 encoder of the
// tests' own.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "math/Vector3i.h"

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

// A design as the design tool writes one: the document's other parts, and
// every brick with its ids, item number and materials, one per line (about
// 175 bytes a brick). Each is a 1 x 1 brick (3005) with the identity at the
// design cell given.
inline std::string ToolStyleLxfmlDocument(const std::vector<Tav::Vector3i>& cells)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
                    "<LXFML versionMajor=\"5\" versionMinor=\"0\" name=\"Generated\">\n"
                    "  <Meta><Application name=\"LEGO Digital Designer\" versionMajor=\"4\" versionMinor=\"3\"/>"
                    "</Meta>\n  <Cameras><Camera refID=\"0\" fieldOfView=\"80\" distance=\"40\" "
                    "transformation=\"1,0,0,0,1,0,0,0,1,0,0,40\"/></Cameras>\n  <Bricks cameraRef=\"0\">\n";
    char line[320];
    int id = 0;
    for (const Tav::Vector3i& c : cells) {
        std::snprintf(line, sizeof line,
                      "    <Brick refID=\"%d\" designID=\"3005\" itemNos=\"300521\"><Part refID=\"%d\" "
                      "designID=\"3005\" materials=\"21,0\" decoration=\"0\"><Bone refID=\"%d\" "
                      "transformation=\"1,0,0,0,1,0,0,0,1,%.4f,%.4f,%.4f\"/></Part></Brick>\n",
                      id, id, id, c.x * 0.8 + 0.4, c.y * 0.96, c.z * 0.8 + 0.4);
        s += line;
        ++id;
    }
    s += "  </Bricks>\n  <RigidSystems/>\n  <GroupSystems><BrickGroupSystem/></GroupSystems>\n</LXFML>\n";
    return s;
}

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
