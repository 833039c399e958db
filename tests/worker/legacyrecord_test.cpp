// The legacy request record of classic fast browse, byte by byte: every field at its protocol offset,
// strings cut to their arrays with a NUL, paths over 1,000 characters refused; and the root rule of
// the input record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "worker/inputdata.h"

namespace {

const unsigned char* bytesOf(const TLegacyBrowseRequest& r) {
    return reinterpret_cast<const unsigned char*>(&r);
}

template <typename T>
T readAt(const TLegacyBrowseRequest& r, size_t offset) {
    T value;
    std::memcpy(&value, bytesOf(r) + offset, sizeof value);
    return value;
}

std::string textAt(const TLegacyBrowseRequest& r, size_t offset) {
    return reinterpret_cast<const char*>(bytesOf(r) + offset);
}

// An input record with a distinct value in every field.
TInputData filledInput() {
    TInputData in;
    in.requestNumber = 0x0102030405060708ULL;
    in.jobId = 0x1112131415161718ULL;
    in.optionBits = 0x2122232425262728ULL;
    in.value4 = 3;
    in.word5 = -5;
    in.word6 = 6;
    in.word7 = 7;
    in.word8 = 8;
    in.word9 = 9;
    in.word10 = 10;
    in.word11 = 11;
    in.creationTime = 1700000000;
    in.kelmarchId = 2;
    in.subclientId = 14;
    in.appType = 33;
    in.copyPrecedence = 16;
    in.clientIdRequest = 17;
    in.constantOne = 1;
    in.word19 = 19;
    in.word20 = 20;
    in.toTime = 21;
    in.fromTime = 22;
    in.emFunction = 0x107;
    in.skipCount = 24;
    in.emFirstNodeLow = 25;
    in.pageSize = 26;
    in.string1 = "string one";
    in.string2 = "string two";
    in.string3 = "string three";
    in.browsePath = "/home/user";
    in.secondPath = "/restore/here";
    in.string6 = "six";
    in.string7 = "seven";
    in.string8 = "eight";
    in.userText = "4212admin";
    in.string10 = "ten";
    in.word37 = 37;
    in.value38 = 38;
    in.value39 = 39;
    in.value40 = 40;
    in.word41 = 41;
    in.value42 = 42;
    in.value43 = 43;
    in.value44 = 44;
    in.word45 = 45;
    in.value46 = 46;
    in.value47 = 47;
    in.value48 = 48;
    in.value49 = 0x400;
    in.word50 = 50;
    in.value51 = 51;
    in.value52 = 52;
    in.value53 = 53;
    in.word54 = 54;
    in.value55 = 55;
    in.value56 = 56;
    in.value57 = 57;
    in.clientId = 58;
    in.text11 = "SnapMountXMLParams=<x/>;";
    in.emFirstNode = 0x6000000000000060ULL;
    in.indexTimeStamp = 0x7fffffff;
    in.indexAfileId1 = 62;
    in.indexAfileId2 = 63;
    in.indexAfileId3 = 64;
    in.longText = "long text";
    in.referenceCopyId = 66;
    return in;
}

}  // namespace

TEST(LegacyRecord, EveryFieldAtItsOffset) {
    const TInputData in = filledInput();
    auto record = in.getBackwardCompatibilityRequest();
    ASSERT_NE(record, nullptr);
    const TLegacyBrowseRequest& r = *record;
    EXPECT_EQ(readAt<uint64_t>(r, 0), 0x0102030405060708ULL);
    EXPECT_EQ(readAt<uint64_t>(r, 8), 0x1112131415161718ULL);
    EXPECT_EQ(readAt<uint64_t>(r, 16), 0x2122232425262728ULL);
    EXPECT_EQ(readAt<uint64_t>(r, 24), 3u);
    // Fields 5 to 26: twenty-two 32-bit words from offset 32.
    const uint32_t words[22] = {static_cast<uint32_t>(-5),
                                6,
                                7,
                                8,
                                9,
                                10,
                                11,
                                1700000000,
                                2,
                                14,
                                33,
                                16,
                                17,
                                1,
                                19,
                                20,
                                21,
                                22,
                                0x107,
                                24,
                                25,
                                26};
    for (size_t n = 0; n < 22; ++n) EXPECT_EQ(readAt<uint32_t>(r, 32 + 4 * n), words[n]) << "word " << n + 5;
    EXPECT_EQ(readAt<uint32_t>(r, 60), 1700000000u);
    EXPECT_EQ(readAt<uint32_t>(r, 68), 14u);
    EXPECT_EQ(readAt<uint32_t>(r, 104), 0x107u);
    EXPECT_EQ(readAt<uint32_t>(r, 116), 26u);

    const std::pair<size_t, const char*> texts[] = {
        {120, "string one"},     {377, "string two"}, {1402, "string three"}, {2427, "/home/user"},
        {3452, "/restore/here"}, {4477, "six"},       {4734, "seven"},        {4991, "eight"},
        {5248, "4212admin"},     {6273, "ten"},       {7520, "long text"}};
    for (const auto& [offset, text] : texts) EXPECT_EQ(textAt(r, offset), text) << "at " << offset;

    EXPECT_EQ(readAt<uint16_t>(r, 7298), 0u);
    const std::pair<size_t, uint32_t> pairedWords[] = {{7300, 37}, {7328, 41},         {7360, 45}, {7400, 50},
                                                       {7432, 54}, {7488, 0x7fffffff}, {11628, 66}};
    for (const auto& [offset, value] : pairedWords) EXPECT_EQ(readAt<uint32_t>(r, offset), value) << offset;
    for (size_t pad : {7332, 7364, 7404, 7436, 7492}) EXPECT_EQ(readAt<uint32_t>(r, pad), 0u) << pad;
    const std::pair<size_t, uint64_t> values[] = {
        {7304, 38}, {7312, 39}, {7320, 40}, {7336, 42},    {7344, 43}, {7352, 44},
        {7368, 46}, {7376, 47}, {7384, 48}, {7392, 0x400}, {7408, 51}, {7416, 52},
        {7424, 53}, {7440, 55}, {7448, 56}, {7456, 57},    {7464, 58}, {7480, 0x6000000000000060ULL},
        {7496, 62}, {7504, 63}, {7512, 64}};
    for (const auto& [offset, value] : values) EXPECT_EQ(readAt<uint64_t>(r, offset), value) << offset;
    // The text-11 word points at the input record's own characters.
    EXPECT_EQ(readAt<const char*>(r, 7472), in.text11.c_str());
    for (size_t n = 11625; n < 11628; ++n) EXPECT_EQ(bytesOf(r)[n], 0) << n;
}

TEST(LegacyRecord, DefaultRecordIsZeroButTheText11Word) {
    const TInputData in;
    auto record = in.getBackwardCompatibilityRequest();
    ASSERT_NE(record, nullptr);
    const unsigned char* b = bytesOf(*record);
    for (size_t n = 0; n < sizeof(TLegacyBrowseRequest); ++n) {
        if (n >= 7472 && n < 7480) continue;
        ASSERT_EQ(b[n], 0) << "byte " << n;
    }
    EXPECT_EQ(readAt<const char*>(*record, 7472), in.text11.c_str());
}

TEST(LegacyRecord, StringsAreCutAndLongPathsRefused) {
    TInputData in;
    in.string1 = std::string(300, 'a');
    in.browsePath = std::string(1000, 'p');
    in.secondPath = std::string(1000, 's');
    in.longText = std::string(5000, 'l');
    auto record = in.getBackwardCompatibilityRequest();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(textAt(*record, 120), std::string(256, 'a'));
    EXPECT_EQ(textAt(*record, 2427), std::string(1000, 'p'));
    EXPECT_EQ(textAt(*record, 3452), std::string(1000, 's'));
    EXPECT_EQ(textAt(*record, 7520), std::string(4104, 'l'));
    EXPECT_EQ(bytesOf(*record)[377], 0);  // string 2 starts after string 1's NUL

    in.browsePath = std::string(1001, 'p');
    EXPECT_EQ(in.getBackwardCompatibilityRequest(), nullptr);
    in.browsePath = "/";
    in.secondPath = std::string(1001, 's');
    EXPECT_EQ(in.getBackwardCompatibilityRequest(), nullptr);
}

TEST(InputRecord, RootRule) {
    EXPECT_FALSE(isRoot(nullptr));
    TInputData in;
    const std::pair<const char*, bool> cases[] = {{"\\MB\\", true}, {"\\MB\\x", false}, {"\\", true},
                                                  {"", true},       {"/a", false},      {"\\MB", true}};
    for (const auto& [path, root] : cases) {
        in.browsePath = path;
        EXPECT_EQ(isRoot(&in), root) << path;
    }
}
