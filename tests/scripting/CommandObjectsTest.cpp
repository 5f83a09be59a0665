#include <gtest/gtest.h>

#include <string>

#include "scripting/ServerCommand.h"

namespace Tav {
namespace {

TEST(ServerCommandTest, StoresItsValuesUnchecked) {
    ServerCommand command("", "no name", -1, ServerCommand::SecurityLevel2);
    EXPECT_EQ(command.GetName(), "");
    EXPECT_EQ(command.GetDescription(), "no name");
    EXPECT_EQ(command.GetNumParams(), -1);
    EXPECT_EQ(command.GetSecurityLevel(), ServerCommand::SecurityLevel2);
}

TEST(ServerCommandConnectorTest, AppendsPrintsInOrderWithoutLineEnds) {
    ServerCommandConnector connector("say", ServerCommand::SecurityLevel1, Net::Guid(7));
    connector.Print("");
    EXPECT_EQ(connector.GetOutput(), "");
    connector.Print("a");
    connector.Printf("%s", "100% sure");
    connector.Print("b");
    connector.Printf("[%d]", 5);
    EXPECT_EQ(connector.GetOutput(), "a100% sureb[5]");
    EXPECT_EQ(connector.GetCommand(), "say");
    EXPECT_EQ(connector.GetSecurityLevel(), ServerCommand::SecurityLevel1);
    EXPECT_EQ(connector.GetGUID(), Net::Guid(7));
}

TEST(ServerCommandConnectorTest, PrintfKeepsMessagesBeyondItsBufferWhole) {
    for (size_t length : {1022u, 1023u, 1024u, 5000u}) {
        ServerCommandConnector connector("", ServerCommand::SecurityLevel0, Net::Guid());
        connector.Print("<");
        const std::string text(length, 'x');
        connector.Printf("%s|%d", text.c_str(), 9);
        EXPECT_EQ(connector.GetOutput(), "<" + text + "|9") << length;
    }
}

TEST(ServerCommandConnectorTest, CopiesAreIndependent) {
    ServerCommandConnector original("say", ServerCommand::SecurityLevel2, Net::Guid(99));
    original.Print("first");
    ServerCommandConnector copy = original;
    copy.Print(" more");
    EXPECT_EQ(original.GetOutput(), "first");
    EXPECT_EQ(copy.GetOutput(), "first more");
    EXPECT_EQ(copy.GetCommand(), "say");
    EXPECT_EQ(copy.GetSecurityLevel(), ServerCommand::SecurityLevel2);
    EXPECT_EQ(copy.GetGUID(), Net::Guid(99));
}

}  // namespace
}  // namespace Tav
