// The console lines of the connection events, as the server's network loop
// and the test client's endpoint print them: every identifier, both sides.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "core/server/Client.h"

namespace {

// identifier -> (line on the server, line on a client)
const std::map<int, std::pair<std::string, std::string>> kEventLines = {
    {16, {"Our connection request has been accepted.\n", "Our connection request has been accepted.\n"}},
    {19, {"A connection is incoming.\n", "A connection is incoming.\n"}},
    {20, {"The server is full.\n", "The server is full.\n"}},
    {21, {"A client has disconnected.\n", "We have been disconnected.\n"}},
    {22, {"A client lost the connection.\n", "Connection lost.\n"}},
    {31, {"Another client has disconnected.\n", "Another client has disconnected.\n"}},
    {32, {"Another client has lost the connection.\n", "Another client has lost the connection.\n"}},
    {33, {"Another client has connected.\n", "Another client has connected.\n"}},
};

std::string LineOf(int id, bool isServer) {
    const char* line = Tav::Client::ConnectionEventLine(static_cast<unsigned char>(id), isServer);
    return line ? line : "(none)";
}

TEST(ConnectionEventLine, EachEventHasItsLineOnEachSideAndNoOtherIdentifierHasOne) {
    for (int id = 0; id < 256; ++id) {
        SCOPED_TRACE("identifier " + std::to_string(id));
        const auto event = kEventLines.find(id);
        EXPECT_EQ(LineOf(id, true), event == kEventLines.end() ? "(none)" : event->second.first);
        EXPECT_EQ(LineOf(id, false), event == kEventLines.end() ? "(none)" : event->second.second);
    }
}

}  // namespace
