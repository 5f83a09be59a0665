#pragma once
// Identities, addresses, strings, packets and the library's constants.
#include <cstdint>
#include <string>

#include "net/BitStream.h"
#include "net/NetAllocator.h"

namespace Net {

// A peer's identity: a random 64-bit value made when the peer starts.
struct Guid {
    uint64_t g;
    constexpr Guid() : g(0xFFFFFFFFFFFFFFFFull) {}
    constexpr explicit Guid(uint64_t v) : g(v) {}
    // The value in decimal.
    std::string ToString() const;
    // The high 32 bits XOR the low 32 bits.
    uint32_t ToUint32() const { return static_cast<uint32_t>(g >> 32) ^ static_cast<uint32_t>(g); }
    bool IsUnassigned() const { return g == 0xFFFFFFFFFFFFFFFFull; }
    bool operator==(const Guid& o) const { return g == o.g; }
    bool operator!=(const Guid& o) const { return g != o.g; }
    bool operator<(const Guid& o) const { return g < o.g; }
    bool operator>(const Guid& o) const { return g > o.g; }
};
inline constexpr Guid UNASSIGNED_GUID{};

// An IPv4 address and port. The address is held in host byte order
// (127.0.0.1 is 0x7F000001).
struct SystemAddress {
    uint32_t address = 0xFFFFFFFFu;
    uint16_t port = 0xFFFF;
    SystemAddress() = default;
    SystemAddress(uint32_t hostOrderAddress, uint16_t p) : address(hostOrderAddress), port(p) {}
    // "a.b.c.d" without the port, "a.b.c.d|port" with it.
    std::string ToString(bool writePort = true, char portDelimiter = '|') const;
    // Parses "a.b.c.d"; false (and unchanged) when it is no dotted quad.
    bool FromString(const char* text, uint16_t p);
    bool IsUnassigned() const { return address == 0xFFFFFFFFu && port == 0xFFFF; }
    bool operator==(const SystemAddress& o) const { return address == o.address && port == o.port; }
    bool operator!=(const SystemAddress& o) const { return !(*this == o); }
    bool operator<(const SystemAddress& o) const {
        return address < o.address || (address == o.address && port < o.port);
    }
};
inline const SystemAddress UNASSIGNED_SYSTEM_ADDRESS{};

// A send target: a peer named by its GUID or, when the GUID is unassigned,
// by its address. Both unassigned names nobody.
struct AddressOrGuid {
    Guid guid;
    SystemAddress systemAddress;
    AddressOrGuid() = default;
    AddressOrGuid(const Guid& g) : guid(g) {}                    // NOLINT: implicit by design
    AddressOrGuid(const SystemAddress& a) : systemAddress(a) {}  // NOLINT
    AddressOrGuid(const Guid& g, const SystemAddress& a) : guid(g), systemAddress(a) {}
    bool IsUndefined() const { return guid.IsUnassigned() && systemAddress.IsUnassigned(); }
};

// A text with the library's serialised form: a u16 byte count (big-endian),
// then the bytes. Texts longer than 65535 bytes are cut to 65535 when written.
// Its characters live in memory from the library's allocation hooks.
class String {
public:
    String() = default;
    String(const char* s) : s_(s ? s : "") {}                 // NOLINT: implicit by design
    String(const std::string& s) : s_(s.data(), s.size()) {}  // NOLINT
    void Serialize(BitStream* out) const;
    // Reads a serialised string; false (and this string unchanged) when the
    // stream does not hold the whole form.
    bool Deserialize(BitStream* in);
    const char* C_String() const { return s_.c_str(); }
    // A copy for the application, in its own memory.
    std::string Str() const { return std::string(s_.data(), s_.size()); }
    size_t GetLength() const { return s_.size(); }
    bool operator==(const String& o) const { return s_ == o.s_; }
    bool operator==(const char* o) const { return o && s_ == o; }

private:
    std::basic_string<char, std::char_traits<char>, NetAllocator<char>> s_;
};

// One received message or connection event.
struct Packet {
    SystemAddress systemAddress;  // the sender
    Guid guid;                    // the sender's GUID
    uint32_t length = 0;          // bytes of data
    BitSize bitSize = 0;          // length * 8
    unsigned char* data = nullptr;
};

enum PacketPriority : int {
    IMMEDIATE_PRIORITY = 0,
    HIGH_PRIORITY = 1,
    MEDIUM_PRIORITY = 2,
    LOW_PRIORITY = 3,
};

enum PacketReliability : int {
    UNRELIABLE = 0,
    UNRELIABLE_SEQUENCED = 1,
    RELIABLE = 2,
    RELIABLE_ORDERED = 3,
    RELIABLE_SEQUENCED = 4,
};

// Message identifiers: the first byte of every packet. Ids below
// ID_USER_PACKET_ENUM that are not connection events are the library's own
// and never reach the application.
enum MessageId : uint8_t {
    ID_NET_HELLO = 1,
    ID_CONNECTION_REQUEST_ACCEPTED = 16,
    ID_CONNECTION_ATTEMPT_FAILED = 17,
    ID_ALREADY_CONNECTED = 18,
    ID_NEW_INCOMING_CONNECTION = 19,
    ID_NO_FREE_INCOMING_CONNECTIONS = 20,
    ID_DISCONNECTION_NOTIFICATION = 21,
    ID_CONNECTION_LOST = 22,
    ID_CONNECTION_BANNED = 23,
    ID_REMOTE_DISCONNECTION_NOTIFICATION = 31,
    ID_REMOTE_CONNECTION_LOST = 32,
    ID_REMOTE_NEW_INCOMING_CONNECTION = 33,
    // Replication messages (the replica manager's own), 50 to 59.
    ID_REPLICA_FIRST = 50,
    ID_REPLICA_LAST = 59,
    ID_USER_PACKET_ENUM = 130,
};

// Number of ordering channels (ENet channels) of every connection.
inline constexpr int NUMBER_OF_ORDERED_STREAMS = 32;

}  // namespace Net
