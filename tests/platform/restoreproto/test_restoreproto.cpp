// The restore-protocol records through the XDR codec: every message code round-trips, arrays of
// 0 and many items, caps and malformed input refused before memory is taken, older item layouts,
// the client-name record and the item-flag mapping.
#include <gtest/gtest.h>
#include <rpc/xdr.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/restoreproto/fsr_codec.h"
#include "platform/restoreproto/fsr_records.h"
#include "tests/support/net/net_records.h"

namespace {

using fsr::Status;

struct TDecoded {
    fsr::CArena arena;
    void* record = nullptr;
    size_t size = 0;
};

Status roundTrip(const fsr::TMessage& message, const void* record, size_t recordSize, TDecoded& out,
                 std::vector<uint8_t>* wire = nullptr) {
    std::vector<uint8_t> bytes;
    if (Status s = fsr::encode(message, record, recordSize, bytes); s != Status::Ok) return s;
    if (wire) *wire = bytes;
    return fsr::decode(message, bytes.data(), bytes.size(), out.arena, out.record, out.size);
}

const fsr::TMessage& messageOf(unsigned long code) {
    const fsr::TMessage* message = fsr::findMessage(code);
    EXPECT_NE(message, nullptr) << std::hex << code;
    return *message;
}

TEST(RestoreCodec, EveryMessageCodeRoundTrips) {
    for (uint32_t code : hubtest::allMessageCodes()) {
        const fsr::TMessage& message = messageOf(code);
        for (uint32_t count : {0u, 1u, 3u}) {
            if (message.shape != fsr::Shape::Array && count != 1) continue;
            hubtest::TFilledMessage filled;
            hubtest::fillMessage(message, count, code + count, filled);
            TDecoded decoded;
            ASSERT_EQ(roundTrip(message, filled.record.data(), filled.record.size(), decoded), Status::Ok)
                << message.name;
            EXPECT_EQ(hubtest::compareMessage(message, filled, decoded.record), "") << message.name;
        }
    }
}

TEST(RestoreCodec, NamesOfCodes) {
    EXPECT_EQ(ZYS_FileSystemRestore_PM_STRING(0x18000091), "FSR_MSG_RESTORE_ITEM_ARRAY_90");
    EXPECT_EQ(ZYS_FileSystemRestore_PM_STRING(0x18000005), "FSR_MSG_RESTORE_END");
    EXPECT_EQ(ZYS_FileSystemRestore_PM_STRING(0x18000777), "UNKNOWN_MESSAGE(0x18000777)");
    EXPECT_EQ(fsr::findMessage(0x18000777), nullptr);
}

TEST(RestoreCodec, NullTextsTravelAsEmpty) {
    FSRRestoreItem_90 item;  // every pointer null
    item.size = 42;
    TDecoded decoded;
    ASSERT_EQ(roundTrip(messageOf(FSR_MSG_RESTORE_ITEM_90), &item, sizeof(item), decoded), Status::Ok);
    const auto* got = static_cast<const FSRRestoreItem_90*>(decoded.record);
    ASSERT_NE(got->name, nullptr);
    EXPECT_STREQ(got->name, "");
    EXPECT_STREQ(got->displayName, "");
    EXPECT_STREQ(got->metadata, "");
    EXPECT_EQ(got->size, 42u);
}

TEST(RestoreCodec, ArraysOfNoneAndOfManyItems) {
    const fsr::TMessage& message = messageOf(FSR_MSG_RESTORE_ITEM_ARRAY_90);
    FSRItemArray empty;
    TDecoded none;
    ASSERT_EQ(roundTrip(message, &empty, sizeof(empty), none), Status::Ok);
    EXPECT_EQ(static_cast<const FSRItemArray*>(none.record)->count, 0u);

    hubtest::TFilledMessage many;
    hubtest::fillMessage(message, 10000, 5, many);
    TDecoded decoded;
    ASSERT_EQ(roundTrip(message, many.record.data(), many.record.size(), decoded), Status::Ok);
    EXPECT_EQ(hubtest::compareMessage(message, many, decoded.record), "");
}

TEST(RestoreCodec, SendingRefusesWhatTheRecordCannotCarry) {
    const fsr::TMessage& path = messageOf(FSR_MSG_SRC_PATH);
    FSRSrcPath record;
    std::vector<uint8_t> out;
    EXPECT_EQ(fsr::encode(path, &record, sizeof(record) - 1, out), Status::ShortRecord);
    EXPECT_EQ(fsr::encode(path, nullptr, 0, out), Status::ShortRecord);

    const std::string huge(FSR_NAME_CAP + 1, 'p');
    record.path = huge.c_str();
    EXPECT_EQ(fsr::encode(path, &record, sizeof(record), out), Status::TooLong);
    EXPECT_TRUE(out.empty());

    FSRClasterClientName name;
    std::memset(name.name, 'x', sizeof(name.name));  // no NUL anywhere
    EXPECT_EQ(fsr::encode(messageOf(FSR_MSG_CLIENT_NAME), &name, sizeof(name), out), Status::Unterminated);

    FSRItemArray array;
    array.count = 2;  // items missing
    EXPECT_EQ(fsr::encode(messageOf(FSR_MSG_RESTORE_ITEM_ARRAY_90), &array, sizeof(array), out),
              Status::ShortRecord);
}

// Raw XDR of an array header followed by `count` claimed items, for malformed-input cases.
std::vector<uint8_t> xdrWords(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes(words.size() * 4);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(bytes.data()), bytes.size(), XDR_ENCODE);
    for (uint32_t w : words) {
        u_int32_t v = w;
        xdr_u_int32_t(&x, &v);
    }
    xdr_destroy(&x);
    return bytes;
}

TEST(RestoreCodec, ReceivingRefusesMalformedInputBeforeAllocating) {
    const fsr::TMessage& array = messageOf(FSR_MSG_RESTORE_ITEM_ARRAY_90);
    fsr::CArena arena;
    void* record = nullptr;
    size_t size = 0;

    // A count that the bytes cannot hold is refused before the items are allocated.
    const std::vector<uint8_t> claim = xdrWords({0xFFFFFFF0u});
    EXPECT_EQ(fsr::decode(array, claim.data(), claim.size(), arena, record, size), Status::TooMany);
    const std::vector<uint8_t> lie = xdrWords({1000, 0, 0});
    EXPECT_EQ(fsr::decode(array, lie.data(), lie.size(), arena, record, size), Status::Truncated);
    EXPECT_TRUE(arena.empty());

    // A text longer than its cap, and a text with a NUL inside.
    const fsr::TMessage& path = messageOf(FSR_MSG_SRC_PATH);
    const std::vector<uint8_t> longText = xdrWords({0, 0, 0, 0, FSR_NAME_CAP + 1});
    EXPECT_EQ(fsr::decode(path, longText.data(), longText.size(), arena, record, size), Status::TooLong);
    std::vector<uint8_t> nulText = xdrWords({0, 0, 0, 0, 3});
    nulText.insert(nulText.end(), {'a', 0, 'b', 0});
    EXPECT_EQ(fsr::decode(path, nulText.data(), nulText.size(), arena, record, size), Status::BadText);

    // Bytes left over, and a record of a code that carries none.
    FSROriginatedUserId user;
    user.userId = 7;
    std::vector<uint8_t> bytes;
    ASSERT_EQ(fsr::encode(messageOf(FSR_MSG_ORIGINATED_USER_ID), &user, sizeof(user), bytes), Status::Ok);
    bytes.push_back(0);
    EXPECT_EQ(
        fsr::decode(messageOf(FSR_MSG_ORIGINATED_USER_ID), bytes.data(), bytes.size(), arena, record, size),
        Status::TrailingBytes);
    EXPECT_EQ(fsr::decode(messageOf(FSR_MSG_RESTORE_END), bytes.data(), bytes.size(), arena, record, size),
              Status::TrailingBytes);
}

TEST(RestoreCodec, EveryCutOfAValidEncodingIsRefused) {
    const fsr::TMessage& message = messageOf(FSR_MSG_RESTORE_ITEM_ARRAY_90);
    hubtest::TFilledMessage filled;
    hubtest::fillMessage(message, 2, 9, filled);
    std::vector<uint8_t> wire;
    TDecoded whole;
    ASSERT_EQ(roundTrip(message, filled.record.data(), filled.record.size(), whole, &wire), Status::Ok);
    for (size_t cut = 0; cut < wire.size(); ++cut) {
        fsr::CArena arena;
        void* record = nullptr;
        size_t size = 0;
        EXPECT_NE(fsr::decode(message, wire.data(), cut, arena, record, size), Status::Ok) << cut;
    }
}

TEST(RestoreRecords, ClientNameIsRefusedRatherThanCut) {
    FSRClasterClientName record;
    const std::string longest(255, 'n');
    ASSERT_TRUE(fsr::setClientName(record, longest));
    EXPECT_EQ(std::string(record.name), longest);
    EXPECT_EQ(record.name[255], '\0');

    EXPECT_FALSE(fsr::setClientName(record, std::string(256, 'm')));
    EXPECT_EQ(std::string(record.name), longest);  // unchanged
    EXPECT_FALSE(fsr::setClientName(record, std::string("a\0b", 3)));
    ASSERT_TRUE(fsr::setClientName(record, "ma1"));
    EXPECT_STREQ(record.name, "ma1");
    EXPECT_EQ(record.name[4], '\0');  // the rest of the old name is gone
}

TEST(RestoreRecords, OlderItemsWidenIntoTheCurrentLayout) {
    FSRRestoreItem_80 item80;
    item80.flags = 0x3;
    item80.name = "/a/b";
    item80.modificationTime = 11;
    item80.size = 12;
    item80.version = 13;
    item80.error = 14;
    item80.advancedValue = 15;
    item80.displayName = "b shown";
    const FSRRestoreItem_90 wide = fsr::widenRestoreItem(item80);
    EXPECT_EQ(wide.flags, 0x3u);
    EXPECT_STREQ(wide.name, "/a/b");
    EXPECT_EQ(wide.modificationTime, 11u);
    EXPECT_EQ(wide.advancedValue, 15u);
    EXPECT_STREQ(wide.displayName, "b shown");  // the eighth word
    EXPECT_EQ(wide.backupTime, 0u);
    EXPECT_EQ(wide.advancedText, nullptr);
    EXPECT_EQ(wide.archiveId.archiveFileId, 0u);

    FSRRestoreItem item56;
    item56.name = "/old";
    item56.size = 3;
    EXPECT_STREQ(fsr::widenRestoreItem(item56, item56.name).displayName, "/old");
    EXPECT_STREQ(fsr::widenRestoreItem(item56, "").displayName, "");
    EXPECT_EQ(fsr::widenRestoreItem(item56, nullptr).displayName, nullptr);
    EXPECT_EQ(fsr::widenRestoreItem(item56, nullptr).size, 3u);

    EXPECT_TRUE(fsr::oldItemNameIsDisplayName(0x3, apptype::of(1)));
    EXPECT_FALSE(fsr::oldItemNameIsDisplayName(0x1, apptype::of(1)));
    EXPECT_FALSE(fsr::oldItemNameIsDisplayName(0x2, apptype::of(1)));
    EXPECT_TRUE(fsr::oldItemNameIsDisplayName(0x0, apptype::kVirtualServer));
}

// Element -> value of the flags an item's flag word sets.
std::map<int, int> flagsOf(uint64_t word) {
    fsr::TItemFlagValue values[fsr::kItemFlagValueCount];
    fsr::mapRestoreItemFlags(word, values);
    std::map<int, int> out;
    for (const auto& v : values) out[v.element] = v.value;
    return out;
}

TEST(RestoreRecords, ItemFlagsMapOntoBrowseItemFlags) {
    // Exactly one kind element; deleted, 4, 5 (inverted), 8 and 9 always present.
    EXPECT_EQ(flagsOf(0x0), (std::map<int, int>{{1, 1}, {3, 0}, {4, 0}, {5, 1}, {8, 0}, {9, 0}}));
    EXPECT_EQ(flagsOf(0x1 | 0x10 | 0x400),
              (std::map<int, int>{{2, 1}, {3, 0}, {4, 0}, {5, 1}, {8, 0}, {9, 0}}));
    EXPECT_EQ(flagsOf(0x10 | 0x400), (std::map<int, int>{{6, 1}, {3, 0}, {4, 0}, {5, 1}, {8, 0}, {9, 0}}));
    EXPECT_EQ(flagsOf(0x400 | 0x2 | 0x8 | 0x20 | 0x40 | 0x200),
              (std::map<int, int>{{10, 1}, {3, 1}, {4, 1}, {5, 0}, {8, 1}, {9, 1}}));

    fsr::TItemFlagValue values[fsr::kItemFlagValueCount];
    fsr::mapRestoreItemFlags(0x10, values);
    EXPECT_EQ(values[0].fieldCode, 0xb2761u);
    fsr::mapRestoreItemFlags(0x1, values);
    EXPECT_STREQ(values[0].fieldName, "directory");
}

}  // namespace
