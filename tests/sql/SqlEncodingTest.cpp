#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "world/sql/SqlDatabase.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tav::SqlBinary;
using Tav::SqlDecodeBinary;
using Tav::SqlEncodeBinary;
using Tav::SqlEncodedBufferSize;

// The size rule, computed independently in 64 bits.
std::size_t RuleSize(std::size_t n)
{
    return static_cast<std::size_t>((257 * static_cast<std::uint64_t>(n)) / 254 + 3);
}

// Encodes into a heap buffer of exactly the rule's size (so that an overrun
// is caught by the address sanitizer), checks the text's properties and
// that it decodes back, and returns the text.
Bytes EncodeChecked(const Bytes& in)
{
    const std::size_t size = RuleSize(in.size());
    EXPECT_EQ(SqlEncodedBufferSize(in.size()), size);
    Bytes out(size, 0xAA);
    const int length = SqlEncodeBinary(in.data(), static_cast<int>(in.size()), out.data());
    EXPECT_GE(length, 1);
    EXPECT_LE(static_cast<std::size_t>(length) + 1, size) << "n = " << in.size();
    EXPECT_EQ(out[length], 0);
    Bytes text(out.begin(), out.begin() + length);
    for (unsigned char c : text) {
        EXPECT_NE(c, 0);
        EXPECT_NE(c, 39);
    }
    // Decode from a copy of exactly the text's length, without terminator.
    Bytes exact(text);
    Bytes decoded(exact.size());
    const int n = SqlDecodeBinary(exact.data(), exact.size(), decoded.data());
    EXPECT_EQ(n, static_cast<int>(in.size()));
    if (n >= 0) {
        decoded.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(decoded, in);
    }
    return text;
}

// Builds n bytes whose counts keep the smallest of the encoder's candidate
// sums as large as possible: each byte goes to a value that raises as many
// of the currently smallest sums as it can. This drives the encoding length
// toward its bound.
Bytes WorstCase(std::size_t n)
{
    std::vector<long> count(256, 0);
    auto sum = [&](int i) { return count[i] + count[(i + 1) & 0xFF] + count[(i + 39) & 0xFF]; };
    Bytes out;
    for (std::size_t k = 0; k < n; ++k) {
        long low = -1;
        for (int i = 1; i < 256; ++i)
            if (i != 39 && (low < 0 || sum(i) < low))
                low = sum(i);
        int bestValue = 0, bestHits = -1;
        for (int v = 0; v < 256; ++v) {
            int hits = 0;
            for (int i : {v, (v + 255) & 0xFF, (v + 256 - 39) & 0xFF})
                if (i != 0 && i != 39 && sum(i) == low)
                    ++hits;
            if (hits > bestHits) {
                bestHits = hits;
                bestValue = v;
            }
        }
        ++count[bestValue];
        out.push_back(static_cast<unsigned char>(bestValue));
    }
    std::shuffle(out.begin(), out.end(), std::mt19937(7));
    return out;
}

TEST(SqlEncodingTest, ExamplesAndEmpty)
{
    EXPECT_EQ(EncodeChecked({0, 1, 39}), (Bytes{2, 254, 255, 37}));
    EXPECT_EQ(EncodeChecked({}), (Bytes{'x'}));

    // Negative lengths count as empty.
    unsigned char out[3] = {9, 9, 9};
    EXPECT_EQ(SqlEncodeBinary(nullptr, -5, out), 1);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "x");

    unsigned char none[4] = {};
    EXPECT_EQ(SqlDecodeBinary(reinterpret_cast<const unsigned char*>("x"), none), 0);
    EXPECT_EQ(SqlDecodeBinary(reinterpret_cast<const unsigned char*>(""), none), 0);
    EXPECT_EQ(SqlDecodeBinary(reinterpret_cast<const unsigned char*>("x"), 0, none), 0);
}

TEST(SqlEncodingTest, BadEscapesAreRefused)
{
    const std::vector<Bytes> bad = {
        {5, 1, 4},        // escape followed by 4
        {5, 7, 1, 0},     // escape followed by the terminator
        {5, 7, 1},        // escape as the last byte of a text without terminator
        {5, 1, 255, 8},
    };
    for (const Bytes& text : bad) {
        // Exactly the text's bytes on the heap: a read past them is caught.
        Bytes in(text);
        Bytes out(in.size());
        EXPECT_EQ(SqlDecodeBinary(in.data(), in.size(), out.data()), -1);

        SqlBinary binary;
        binary.SetEncoded(in.data(), in.size());
        try {
            binary.GetBinary();
            ADD_FAILURE() << "decoded a bad escape";
        } catch (const Tav::SqlException& e) {
            EXPECT_EQ(e.ErrorCode(), 1000);
            EXPECT_STREQ(e.ErrorMessage(), "SQLWRAPPER_ERROR[1000]: Cannot decode binary");
        }
    }
    // Terminated form: the NUL after an escape is a bad escape too.
    const unsigned char terminated[] = {5, 1, 0};
    unsigned char out[3];
    EXPECT_EQ(SqlDecodeBinary(terminated, out), -1);
    // A NUL inside the given length ends the text.
    const Bytes withNul = {3, 10, 0, 1, 4};
    Bytes decoded(withNul.size());
    EXPECT_EQ(SqlDecodeBinary(withNul.data(), withNul.size(), decoded.data()), 1);
    EXPECT_EQ(decoded[0], 13);
}

TEST(SqlEncodingTest, RoundTripsAndStaysWithinTheSizeRule)
{
    std::mt19937 random(20261210);
    std::vector<Bytes> inputs;
    for (std::size_t n : {1u, 2u, 3u, 253u, 254u, 255u, 508u, 1000u, 12296u}) {
        Bytes b(n);
        for (auto& c : b)
            c = static_cast<unsigned char>(random());
        inputs.push_back(b);
    }
    for (int v = 0; v < 256; ++v)  // one value repeated: the offset must dodge it
        inputs.push_back(Bytes(300, static_cast<unsigned char>(v)));
    {
        Bytes all;  // all 256 values with skewed frequencies
        for (int v = 0; v < 256; ++v)
            all.insert(all.end(), static_cast<std::size_t>(1 + (v * v) % 97), static_cast<unsigned char>(v));
        std::shuffle(all.begin(), all.end(), random);
        inputs.push_back(all);
        Bytes specials;  // only the bytes that need escapes under offset 0
        for (int k = 0; k < 999; ++k)
            specials.push_back(static_cast<unsigned char>(k % 3 == 0 ? 0 : k % 3 == 1 ? 1 : 39));
        inputs.push_back(specials);
    }
    for (const Bytes& in : inputs)
        EncodeChecked(in);
}

TEST(SqlEncodingTest, WorstCaseInputsReachButNeverPassTheBound)
{
    // Every length up to a few multiples of 254, and some large ones: the
    // adversary's text plus terminator must fit the rule's buffer, while its
    // escapes use up nearly all of the rule's allowance of (3 * n) / 254, so
    // the inputs really press against the bound.
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 800; ++n)
        lengths.push_back(n);
    for (std::size_t n : {2540u, 12296u, 25400u})
        lengths.push_back(n);
    for (std::size_t n : lengths) {
        const Bytes in = WorstCase(n);
        const Bytes text = EncodeChecked(in);
        ASSERT_LE(text.size() + 1, RuleSize(n)) << n;
        const std::size_t escapes = text.size() - 1 - n;
        EXPECT_GE(escapes + 2, (3 * n / 254) * 99 / 100) << n;
    }
}

TEST(SqlEncodingTest, BinaryHolderConvertsBothWays)
{
    Bytes raw(5000);
    std::mt19937 random(3);
    for (auto& c : raw)
        c = static_cast<unsigned char>(random() % 5);  // many 0s and 1s

    SqlBinary writer;
    unsigned char* fill = writer.AllocBuffer(static_cast<int>(raw.size()));
    EXPECT_EQ(writer.BufferLength(), static_cast<int>(RuleSize(raw.size())));
    std::memcpy(fill, raw.data(), raw.size());
    const unsigned char* text = writer.GetEncoded();
    EXPECT_EQ(static_cast<std::size_t>(writer.EncodedLength()), std::strlen(reinterpret_cast<const char*>(text)));
    EXPECT_EQ(writer.GetEncoded(), text);  // already encoded

    SqlBinary reader;
    reader.SetEncoded(text);
    EXPECT_EQ(reader.BufferLength(), writer.EncodedLength() + 1);
    const unsigned char* back = reader.GetBinary();
    ASSERT_EQ(reader.BinaryLength(), static_cast<int>(raw.size()));
    EXPECT_EQ(Bytes(back, back + raw.size()), raw);

    // A hand-made text with the offset 39, which the encoder never picks, is
    // shorter than any re-encoding of its bytes: every value but 39, 40 and
    // 78 once. Encoding them again must not overrun the text-sized buffer.
    Bytes values;
    for (int v = 0; v < 256; ++v)
        if (v != 39 && v != 40 && v != 78)
            values.push_back(static_cast<unsigned char>(v));
    Bytes crafted = {39};
    for (unsigned char v : values)
        crafted.push_back(static_cast<unsigned char>(v - 39));
    SqlBinary odd;
    odd.SetEncoded(crafted.data(), crafted.size());
    const unsigned char* decoded = odd.GetBinary();
    ASSERT_EQ(odd.BinaryLength(), static_cast<int>(values.size()));
    EXPECT_EQ(Bytes(decoded, decoded + values.size()), values);
    const unsigned char* again = odd.GetEncoded();
    EXPECT_GT(odd.EncodedLength(), static_cast<int>(crafted.size()));
    Bytes out(values.size());
    ASSERT_EQ(SqlDecodeBinary(again, out.data()), static_cast<int>(values.size()));
    EXPECT_EQ(out, values);

    odd.Clear();
    EXPECT_EQ(odd.BinaryLength(), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(odd.GetEncoded()), "x");
    EXPECT_THROW(odd.AllocBuffer(-1), Tav::SqlException);
}

}  // namespace
