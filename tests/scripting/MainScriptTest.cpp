// The shipped main script loads and every command it declares runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "scripting/ServerCommander.h"

namespace Tav {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::filesystem::path SourceFolder() {
    if (const char* dir = std::getenv("TAV_SOURCE_DIR")) return dir;
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

class MainScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        commander.SetMainScriptPath((SourceFolder() / "assets/lua/Main.lua").string());
        ::testing::internal::CaptureStdout();
        commander.InitLua(nullptr);
        printed = ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override { commander.Close(); }

    std::string Run(const std::string& line) {
        return commander.Execute(Net::Guid(777), line).GetOutput();
    }
    std::string Listing() {
        ServerCommandConnector listing("", ServerCommand::SecurityLevel0, Net::Guid());
        commander.ListServerCommands(listing);
        return listing.GetOutput();
    }

    ServerCommander commander;
    std::string printed;
};

TEST_F(MainScriptTest, LoadsAndDeclaresAHelpCommand) {
    ASSERT_EQ(printed, "Loaded scripts\n");
    const std::string listing = Listing();
    EXPECT_THAT(listing, HasSubstr("help[0] Level0 : "));
    EXPECT_EQ(Run("help"), listing);
    EXPECT_EQ(Run("commands"), listing);
    EXPECT_EQ(Run("echo \"hello there\""), "hello there");
    EXPECT_EQ(Run("say hi"), "hi");
    EXPECT_EQ(Run("add 2 3"), "5");
    EXPECT_EQ(Run("add two 3"), "Both arguments must be numbers");
    EXPECT_EQ(Run("whoami"), "Your GUID is 777");
}

TEST_F(MainScriptTest, AnnounceWritesOneConsoleLineWhateverTheText) {
    // A quoted argument may hold line ends and other control characters;
    // the console shows the message on one line of its own all the same.
    ::testing::internal::CaptureStdout();
    const std::string answer = Run("announce \"two\nlines\tand\rmore\"");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Announcement: two?lines?and?more\n");
    EXPECT_EQ(answer, "Announced");
}

TEST_F(MainScriptTest, ReloadKeepsOneDeclarationOfEachCommand) {
    const std::string before = Listing();
    EXPECT_EQ(Run("reload"), "Loaded scripts");
    EXPECT_EQ(Run("rl"), "Loaded scripts");
    EXPECT_EQ(Listing(), before);
    EXPECT_EQ(Run("commands"), before);
}

TEST_F(MainScriptTest, EveryDeclaredCommandRuns) {
    // Each command's line of the listing: name[count] Level0 : description.
    std::istringstream lines(Listing());
    int seen = 0;
    for (std::string text; std::getline(lines, text);) {
        const size_t open = text.find('[');
        const size_t close = text.find("] Level");
        if (open == std::string::npos || close == std::string::npos) continue;
        ++seen;
        std::string commandLine = text.substr(0, open);
        const int count = std::stoi(text.substr(open + 1, close - open - 1));
        for (int i = 0; i < count; ++i) commandLine += " 1";
        const std::string output = Run(commandLine);
        EXPECT_FALSE(output.empty()) << commandLine;
        for (const char* failure : {"not found", "Wrong number", "attempt to", "error", "No matching"})
            EXPECT_THAT(output, ::testing::Not(HasSubstr(failure))) << commandLine;
    }
    EXPECT_GE(seen, 3);
}

}  // namespace
}  // namespace Tav
