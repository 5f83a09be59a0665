#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripting/ServerCommander.h"

namespace Tav {
namespace {

struct TokenCase {
    std::string line;
    std::vector<std::string> tokens;
};

TEST(TokenizeTest, SplitsOnWhiteSpaceAndQuotes) {
    const std::vector<TokenCase> cases = {
        {"say hello", {"say", "hello"}},
        {"  say \t hello  ", {"say", "hello"}},
        {"say \"hello world\"", {"say", "hello world"}},
        {"say 'hello world'", {"say", "'hello world'"}},
        {"say \"\"", {"say", ""}},
        {"\"\"\"\"", {"", ""}},
        {"\" \"", {" "}},
        {"ab\"cd\"", {"ab", "cd"}},
        {"\"a\"b", {"a", "b"}},
        {"ab'cd'ef", {"ab", "'cd'", "ef"}},
        {"say \"unclosed", {"say", "unclosed"}},
        {"'it's'", {"'it'", "s"}},
        {"\"it's\"", {"it's"}},
        {"'say \"x\"'", {"'say \"x\"'"}},
        {"", {}},
        {" \t ", {}},
        {"\"", {}},
        {"' \"", {}},
    };
    for (const TokenCase& c : cases)
        EXPECT_EQ(ServerCommander::Tokenize(c.line), c.tokens) << "line: [" << c.line << "]";
}

}  // namespace
}  // namespace Tav
