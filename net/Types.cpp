#include "net/Types.h"

#include <cstdio>

namespace Net {

std::string Guid::ToString() const { return std::to_string(g); }

std::string SystemAddress::ToString(bool writePort, char portDelimiter) const {
    char text[32];
    int n = std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                          (address >> 8) & 0xFFu, address & 0xFFu);
    if (writePort)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%c%u", portDelimiter, unsigned{port});
    return text;
}

bool SystemAddress::FromString(const char* text, uint16_t p) {
    if (!text) return false;
    uint32_t value = 0;
    const char* c = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*c != '.') return false;
            ++c;
        }
        unsigned octet = 0;
        int digits = 0;
        while (*c >= '0' && *c <= '9') {
            octet = octet * 10 + unsigned(*c - '0');
            if (++digits > 3 || octet > 255) return false;
            ++c;
        }
        if (digits == 0) return false;
        value = (value << 8) | octet;
    }
    if (*c != '\0') return false;
    address = value;
    port = p;
    return true;
}

void String::Serialize(BitStream* out) const {
    if (!out) return;
    const size_t n = s_.size() < 0xFFFF ? s_.size() : 0xFFFF;
    out->Write(static_cast<uint16_t>(n));
    out->WriteBytes(s_.data(), n);
}

bool String::Deserialize(BitStream* in) {
    if (!in) return false;
    const BitSize start = in->GetReadOffset();
    uint16_t n = 0;
    if (!in->Read(n)) return false;
    // Allocate only for bytes that are really there.
    if (in->GetNumberOfUnreadBits() / 8 < n) {
        in->SetReadOffset(start);
        return false;
    }
    decltype(s_) text(n, '\0');
    if (n) in->ReadBytes(&text[0], n);
    s_.swap(text);
    return true;
}

}  // namespace Net
