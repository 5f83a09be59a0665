// Base64 decoding: the RFC 4648 vectors, every byte value, and where the
// decoder stops.
#include <gtest/gtest.h>

#include <string>

#include "world/Base64.h"
#include "world/DesignText.h"

namespace Tav {
namespace {

std::string Encode(const std::string& bytes) { return TavTest::Base64Encode(bytes); }

TEST(Base64, TheAlphabetIsTheStandardOne)
{
    EXPECT_EQ(g_base64Chars, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TEST(Base64, DecodesTheRfcVectorsWithAndWithoutPadding)
{
    const struct {
        const char* encoded;
        const char* decoded;
    } vectors[] = {
        {"", ""},           {"Zg==", "f"},         {"Zm8=", "fo"},        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(Base64Decode(v.encoded), v.decoded) << v.encoded;
        std::string bare(v.encoded);
        bare.erase(bare.find_last_not_of('=') + 1);
        EXPECT_EQ(Base64Decode(bare), v.decoded) << bare;
    }
}

TEST(Base64, EveryByteValueComesBackZeroIncluded)
{
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (size_t length : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(255), size_t(256)}) {
        const std::string bytes = all.substr(256 - length);
        EXPECT_EQ(Base64Decode(Encode(bytes)), bytes) << length << " bytes";
    }
}

TEST(Base64, StopsAtTheFirstCharacterOutsideTheAlphabet)
{
    const struct {
        const char* what;
        std::string text;
        std::string decoded;
    } cases[] = {
        {"a line break", "Zm9v\nYmFy", "foo"},
        {"a space", "Zm9vYm Fy", "foob"},
        {"the URL-safe minus", "Zm9vYm-y", "foob"},
        {"the URL-safe underscore", "Zm9_YmFy", "fo"},
        {"a byte of 128 or more", "Zm9v\xC3\xA9YmFy", "foo"},
        {"a zero byte", std::string("Zm9v\0YmFy", 9), "foo"},
        {"a leading =", "=Zm9v", ""},
        {"groups after =", "Zg==Zm9v", "f"},
        {"one = after three characters", "Zm8=Zm9v", "fo"},
        {"nine characters", "Zm9vYmFyZ", "foobar"},
        {"low bits of an unfinished group", "Zh", "f"},
        {"low bits of an unfinished group of three", "Zm9", "fo"},
    };
    for (const auto& c : cases) EXPECT_EQ(Base64Decode(c.text), c.decoded) << c.what;
}

}  // namespace
}  // namespace Tav
