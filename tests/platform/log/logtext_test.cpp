// The log's escaped form, judged against a model of what may stand in a line as it is: printable ASCII
// and well-formed UTF-8 other than the C1 controls, U+2028 and U+2029. Every other byte is escaped, and
// the form gives every text back (so no two texts share one). The writer itself is fuzzed
// (fuzz/fuzz_log_lines.cpp) and walked through the whole system (tests/e2e/loglines_test.cpp).
#include "platform/log/logtext.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using logtext::EForm;

std::string utf8(char32_t c) {  // surrogates too, as a careless encoder writes them
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
        s += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
              static_cast<char>(0x80 | (c & 0x3F))};
    } else {
        s += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
              static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    return s;
}

bool keptAsItIs(char32_t c) {
    return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c != 0x2028 && c != 0x2029 && (c < 0xD800 || c > 0xDFFF));
}

// What every escaped text must be: nothing that ends or begins a line, nothing of the escaped set left,
// and the original back from it.
void expectInForm(const std::string& text, EForm form = EForm::kText) {
    const std::string out = logtext::escaped(text, form);
    EXPECT_EQ(out.size(), logtext::escapedSize(text, form));
    std::string back;
    ASSERT_TRUE(logtext::unescape(out, back, form)) << out;
    EXPECT_EQ(back, text) << out;
    for (unsigned char c : out)
        EXPECT_TRUE(c >= 0x20 && c != 0x7F && (form == EForm::kText || c != ' ')) << out;
}

TEST(LogText, EveryCodePointIsKeptOrEscapedAsTheModelSays) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const std::string in = utf8(c);
        const std::string out = logtext::escaped(in);
        std::string expected;
        if (keptAsItIs(c)) {
            expected = in;
        } else {
            for (unsigned char b : in)
                expected += "\\x" + std::string{"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
        }
        ASSERT_EQ(out, expected) << "U+" << std::hex << static_cast<unsigned>(c);
        if (c < 0x800 || c % 97 == 0) expectInForm("a" + in + "\\x" + in + "z");
    }
}

TEST(LogText, EveryByteAndPairOfBytesComesBackAndLeavesNothingThatBeginsALine) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const std::string text{static_cast<char>(a), static_cast<char>(b)};
            expectInForm(text);
            expectInForm("\\" + text + "\\");
        }
        expectInForm(std::string(1, static_cast<char>(a)), EForm::kWord);
    }
    // Overlong forms, surrogates, past U+10FFFF, cut short, stray continuations: each byte escaped.
    for (const char* bad : {"\xC0\x8A", "\xC1\xBF", "\xE0\x80\x8A", "\xE0\x9F\xBF", "\xED\xA0\x80",
                            "\xED\xBF\xBF", "\xF0\x80\x80\x8A", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                            "\xF5\x80\x80\x80", "\xE2\x80", "\xF0\x9F\x98", "\x80", "\xBF\xBF", "\xFE\xFF"}) {
        const std::string out = logtext::escaped(bad);
        EXPECT_EQ(out.size(), 4 * std::string(bad).size()) << out;
        expectInForm(std::string("x") + bad + "\xE2\x82\xAC");
    }
    // Random texts over a small alphabet of the hard cases.
    const std::vector<std::string> pieces{
        "\\",   "x",    "\\x", "0A", "\n",   "\r",  "\xC2", "\x85", "\xE2\x80\xA8", "\xF0\x9F\x98\x80",
        "\x80", "\xED", " ",   "a",  "\x7F", "\xFF"};
    std::mt19937 random(7);
    for (int n = 0; n < 20000; ++n) {
        std::string text;
        for (int k = random() % 80; k > 0; --k) text += pieces[random() % pieces.size()];
        expectInForm(text);
        expectInForm(text, EForm::kWord);
        // A cut for a room fits it, cuts no escape or character apart, and could take no more.
        const size_t room = random() % 24, kept = logtext::fittingPrefix(text, room);
        EXPECT_LE(logtext::escapedSize(text.substr(0, kept)), room);
        if (logtext::cleanPrefix(text) == text.size()) {
            EXPECT_EQ(logtext::cleanPrefix(text.substr(0, kept)), kept);
        }
        if (kept < text.size()) {
            EXPECT_GT(logtext::escapedSize(text.substr(0, logtext::fittingPrefix(text, room + 4))), room)
                << text;
        }
    }
}

TEST(LogText, PrintableTextIsWrittenAsItIsAndOnlyTheFormIsReadBack) {
    // The scan finds the first byte to escape wherever it stands in a long text.
    for (size_t length = 0; length < 200; ++length)
        for (size_t at = 0; at <= length; ++at)
            for (const char* bad : {"\n", "\x7F", "\xC2\x85", "\\x"})
                ASSERT_EQ(logtext::cleanPrefix(std::string(at, 'a') + bad + std::string(length - at, '\\')),
                          at);
    for (const char* same : {"C:\\Users\\Ann\\Docs", "\\\\server\\share\\f", "Données été 東京 😀", "a\\"})
        EXPECT_EQ(logtext::escaped(same), same);
    EXPECT_EQ(logtext::escaped("\\xavier\\"), "\\x5Cxavier\\");
    EXPECT_EQ(logtext::escaped("FBHM ROUTER", EForm::kWord), "FBHM\\x20ROUTER");
    std::string back;
    for (const char* notInForm : {"a\nb", "\\x4", "\\xzz", "\\x0a", "\xC2\x85", "\xE2\x80\xA8"})
        EXPECT_FALSE(logtext::unescape(notInForm, back)) << notInForm;
    EXPECT_FALSE(logtext::unescape("A B", back, EForm::kWord));
}

}  // namespace
