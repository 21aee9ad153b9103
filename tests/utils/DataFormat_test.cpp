// The formatting utilities: hex dumps, BCD, binary strings, UTF-8 prefixes.
#include <halvix/utils/Utils.h>

#include <halvix/utils/Utf8.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::string dump(const void* data, int length)
{
    std::ostringstream os;
    std::outputData(os, data, length);
    return os.str();
}

TEST(OutputData, TwoLinesWithPaddedCharacterColumn)
{
    const char text[] = "Hello, world! 12345\n";
    EXPECT_EQ(dump(text, 20), "0000-000f: 48 65 6c 6c 6f 2c 20 77 6f 72 6c 64 21 20 31 32 Hello, world! 12\n"
                              "0010-0013: 33 34 35 0a                                     345.\n");
}

TEST(OutputData, LineBoundariesNonPrintableBytesAndLongOffsets)
{
    std::vector<unsigned char> bytes(17, 'A');
    const std::string sixteen = dump(bytes.data(), 16);
    EXPECT_EQ(sixteen, "0000-000f: 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 AAAAAAAAAAAAAAAA\n");
    const std::string seventeen = dump(bytes.data(), 17);
    EXPECT_EQ(seventeen.substr(sixteen.size()), "0010-0010: 41 " + std::string(45, ' ') + "A\n");
    const unsigned char odd[] = {0x00, 0x7f, 0xff, 0x20};  // non-printable bytes show as dots
    EXPECT_EQ(dump(odd, 4), "0000-0003: 00 7f ff 20 " + std::string(36, ' ') + "... \n");
    bytes.assign(0x10001, 'z');  // offsets grow past four digits
    const std::string text = dump(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(text.substr(text.rfind("10000-")), "10000-10000: 7a " + std::string(45, ' ') + "z\n");
}

TEST(OutputData, NothingForNullOrEmptyAndStreamLeftDecimal)
{
    std::ostringstream os;
    os << std::hex;
    std::outputData(os, nullptr, 10);
    os << 255;
    EXPECT_EQ(os.str(), "ff");  // a null block leaves the format alone

    const char byte = 'x';
    EXPECT_EQ(dump(&byte, 0), "");
    EXPECT_EQ(dump(&byte, -5), "");

    std::ostringstream after;
    after << std::hex;
    std::outputData(after, &byte, 1);
    after.str("");
    after << 255;
    EXPECT_EQ(after.str(), "255");
}

TEST(OutputData, OffsetsIgnoreTheCallersUppercaseAndShowbaseFlags)
{
    std::vector<unsigned char> bytes(17, 'a');
    std::ostringstream os;
    os << std::uppercase << std::showbase << std::internal;
    std::outputData(os, bytes.data(), 17);
    std::string full;
    for (int i = 0; i < 16; ++i) {
        full += "61 ";
    }
    EXPECT_EQ(os.str(), "0000-000f: " + full + std::string(16, 'a') + "\n0010-0010: 61 " +
                            std::string(45, ' ') + "a\n");
    // The caller's flags come back; only the documented end state is set.
    EXPECT_TRUE(os.flags() & std::ios::uppercase);
    EXPECT_TRUE(os.flags() & std::ios::showbase);
    EXPECT_EQ(os.flags() & std::ios::basefield, std::ios::dec);
    EXPECT_EQ(os.flags() & std::ios::adjustfield, std::ios::left);
    EXPECT_EQ(os.fill(), ' ');
}

TEST(ToBcd, DigitsPackIntoNibblesUpToEight)
{
    EXPECT_EQ(std::toBcd(1), 0x1u);
    EXPECT_EQ(std::toBcd(10), 0x10u);
    EXPECT_EQ(std::toBcd(12345678), 0x12345678u);
    EXPECT_EQ(std::toBcd(99999999), 0x99999999u);
    EXPECT_EQ(std::toBcd(0), 0u);
    EXPECT_EQ(std::toBcd(100000000), 0u);
    EXPECT_EQ(std::toBcd(0xFFFFFFFFu), 0u);
}

TEST(BinaryStrToUInt32, ParsesLikeStrtoulInBaseTwo)
{
    EXPECT_EQ(std::binaryStrToUInt32("1011"), 11u);
    EXPECT_EQ(std::binaryStrToUInt32("  101x1"), 5u);
    EXPECT_EQ(std::binaryStrToUInt32(""), 0u);
    EXPECT_EQ(std::binaryStrToUInt32("2"), 0u);
    EXPECT_EQ(std::binaryStrToUInt32("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(std::binaryStrToUInt32(std::string(33, '1')), 0xFFFFFFFFu);  // low 32 bits
    EXPECT_EQ(std::binaryStrToUInt32("1" + std::string(32, '0')), 0u);     // 2^32: low bits 0
    EXPECT_EQ(std::binaryStrToUInt32(std::string(65, '1')), 0xFFFFFFFFu);  // overflow: all ones
}

}  // namespace

namespace {

TEST(Utf8PrefixLength, NeverSplitsACharacterAndCutsOtherBytesAtTheLimit)
{
    using halvix::utils::utf8PrefixLength;
    const std::string euros = "\xe2\x82\xac\xe2\x82\xac";             // two 3-byte characters
    EXPECT_EQ(utf8PrefixLength(euros.data(), euros.size(), 10), 6u);  // fits: whole
    EXPECT_EQ(utf8PrefixLength(euros.data(), euros.size(), 5), 3u);
    EXPECT_EQ(utf8PrefixLength(euros.data(), euros.size(), 3), 3u);
    EXPECT_EQ(utf8PrefixLength(euros.data(), euros.size(), 2), 0u);
    const std::string emoji = "a\xf0\x9f\x98\x80";  // a 4-byte character after 'a'
    EXPECT_EQ(utf8PrefixLength(emoji.data(), emoji.size(), 4), 1u);
    const std::string latin1 = "\xe9\xe9\xe9\xe9";  // not UTF-8: a plain cut
    EXPECT_EQ(utf8PrefixLength(latin1.data(), latin1.size(), 2), 2u);
    const std::string stray = "ab\x80\x80\x80\x80z";  // continuation bytes with no lead
    EXPECT_EQ(utf8PrefixLength(stray.data(), stray.size(), 5), 5u);
}

}  // namespace
