// SPDX-License-Identifier: MIT
#include "Cp932.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using platform::Cp932ToUtf8;
using platform::Utf8ToCp932;

namespace
{

const std::string kFffd = "\xEF\xBF\xBD";

struct RoundTrip {
    const char *name;
    std::string utf8;
    std::string cp932;
};

class Cp932RoundTrip : public testing::TestWithParam<RoundTrip>
{
};

TEST_P(Cp932RoundTrip, EncodesAndDecodesBack)
{
    const RoundTrip &c = GetParam();
    const auto encoded = Utf8ToCp932(c.utf8);
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ(*encoded, c.cp932);
    EXPECT_EQ(Cp932ToUtf8(c.cp932), c.utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Cp932RoundTrip,
    testing::Values(
        RoundTrip{"ascii", "Hello, World! 0x0d,\"AB\" ~\\{}", "Hello, World! 0x0d,\"AB\" ~\\{}"},
        RoundTrip{"empty", "", ""},
        RoundTrip{"control", std::string("\x00\x01\x7f\r\n", 5), std::string("\x00\x01\x7f\r\n", 5)},
        RoundTrip{"halfwidth_katakana", "ｱｲｳｴｵﾟ｡", "\xB1\xB2\xB3\xB4\xB5\xDF\xA1"},
        RoundTrip{"kanji", "漢字", "\x8A\xBF\x8E\x9A"}, RoundTrip{"wave_dash", "～", "\x81\x60"},
        RoundTrip{"circled_one", "①", "\x87\x40"},
        RoundTrip{"font_name", "ＭＳ ゴシック", "\x82\x6C\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4E"},
        RoundTrip{"mixed", "登録送信１ AB", "\x93\x6F\x98\x5E\x91\x97\x90\x4D\x82\x50 AB"}),
    [](const testing::TestParamInfo<RoundTrip> &info) { return std::string(info.param.name); });

struct BadBytes {
    const char *name;
    std::string cp932;
    std::string utf8;
};

class Cp932Invalid : public testing::TestWithParam<BadBytes>
{
};

// A byte that is no character shows as U+FFFD and never takes the valid character after it along.
TEST_P(Cp932Invalid, ShowsReplacementAndKeepsWhatFollows)
{
    const BadBytes &c = GetParam();
    EXPECT_EQ(Cp932ToUtf8(c.cp932), c.utf8);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Bytes, Cp932Invalid,
    testing::Values(BadBytes{"x80", "\x80Z", kFffd + "Z"},
                    BadBytes{"xA0", "\xA0Z", kFffd + "Z"},
                    BadBytes{"xFD", "\xFDZ", kFffd + "Z"},
                    BadBytes{"xFE", "\xFE\x8A\xBF", kFffd + "漢"},
                    BadBytes{"xFF_then_kanji", "\xFF\x8A\xBF", kFffd + "漢"},
                    BadBytes{"lone_lead_at_end", "AB\x8A", "AB" + kFffd},
                    BadBytes{"lead_then_blank", "\x81\x20\x82\xA0", kFffd + " あ"},
                    BadBytes{"lead_then_control", "\x81\x7FZ", kFffd + "\x7FZ"},
                    BadBytes{"unassigned_row", "\x85\x40Z", kFffd + "@Z"},
                    BadBytes{"several", "\x80\x8A\xBF\xFF\xFF\x8E\x9A\x81",
                             kFffd + "漢" + kFffd + kFffd + "字" + kFffd}),
    [](const testing::TestParamInfo<BadBytes> &info) { return std::string(info.param.name); });
// clang-format on

struct Unencodable {
    const char *name;
    std::string utf8;
};

class Cp932Refuses : public testing::TestWithParam<Unencodable>
{
};

TEST_P(Cp932Refuses, GivesNothingRatherThanASubstitute)
{
    EXPECT_FALSE(Utf8ToCp932(GetParam().utf8).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Cp932Refuses,
    testing::Values(Unencodable{"emoji", "ok \xF0\x9F\x98\x80"},            // U+1F600
                    Unencodable{"outside_cp932_kanji", "\xF0\xA0\xAE\xB7"}, // U+20BB7
                    Unencodable{"c_cedilla", "gar\xC3\xA7on"},              // U+00E7
                    Unencodable{"hangul", "\xED\x95\x9C"},                  // U+D55C
                    Unencodable{"truncated_sequence", "abc\xE6\xBC"},       // half of 漢
                    Unencodable{"stray_continuation", "a\x80z"}, Unencodable{"byte_ff", "a\xFF"},
                    Unencodable{"overlong_slash", "\xC0\xAF"}, Unencodable{"surrogate", "\xED\xA0\x80"}),
    [](const testing::TestParamInfo<Unencodable> &info) { return std::string(info.param.name); });

// A character with a second Unicode form in the code page is sent as the code page's byte pair and
// comes back in the form the code page decodes to; sending that again gives the same bytes.
TEST(Cp932, CharactersWithTwoFormsAreSentAsTheirCodePageForm)
{
    struct Case {
        std::string typed, bytes, back;
    };
    for (const Case &c : {Case{"\xE2\x80\x96", "\x81\x61", "\xE2\x88\xA5"},    // U+2016 -> U+2225
                          Case{"\xE3\x80\x9C", "\x81\x60", "\xEF\xBD\x9E"},    // U+301C -> U+FF5E
                          Case{"\xE2\x88\x92", "\x81\x7C", "\xEF\xBC\x8D"}}) { // U+2212 -> U+FF0D
        EXPECT_EQ(Utf8ToCp932(c.typed), c.bytes);
        EXPECT_EQ(Cp932ToUtf8(c.bytes), c.back);
        EXPECT_EQ(Utf8ToCp932(c.back), c.bytes);
    }
}

// Each thread keeps its own converters; concurrent use must neither crash nor mix results.
TEST(Cp932, ConvertsOnSeveralThreadsAtOnce)
{
    const std::string utf8 = "ＭＳ ゴシック ～① ｱｲｳ 漢字 ";
    const std::string cp932 = *Utf8ToCp932(utf8);
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (Cp932ToUtf8(cp932 + "\xFF") != utf8 + kFffd || Utf8ToCp932(utf8) != cp932)
                    ++failures[t];
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

} // namespace
