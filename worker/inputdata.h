// TInputData: the flat input record of one browse request, held by its worker. The worker's main body
// fills it from the browse task before dispatch; archive-file selection and fast browse read it. It
// belongs to its worker and is touched only by the thread holding the worker's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct TLegacyBrowseRequest;

// Fields in the order of the legacy request record that fast browse makes from them (every offset of
// that record follows this order); fields known only by their place keep their number in the name.
struct TInputData {
    uint64_t requestNumber = 0;  // a browse-task value; for a lead cycle of a skip-content browse,
                                 // made from the worker id and the cycle number
    uint64_t jobId = 0;          // sent to the index service as its job id
    uint64_t optionBits = 0;     // the browse task's flags
    uint64_t value4 = 0;
    int32_t word5 = 0;
    int32_t word6 = 0;
    uint32_t word7 = 0;
    int32_t word8 = 0;
    int32_t word9 = 0;
    int32_t word10 = 0;
    int32_t word11 = 0;
    uint32_t creationTime = 0;  // seconds since the epoch when the record was filled
    uint32_t kelmarchId = 0;
    uint32_t subclientId = 0;
    uint32_t appType = 0;
    uint32_t copyPrecedence = 0;
    uint32_t clientIdRequest = 0;  // the client word of the browse task
    uint32_t constantOne = 0;      // the worker writes 1
    uint32_t word19 = 0;
    uint32_t word20 = 0;
    uint32_t toTime = 0;
    uint32_t fromTime = 0;
    uint32_t emFunction = 0;  // paged-request function in the low byte, first-node index above it
    uint32_t skipCount = 0;
    uint32_t emFirstNodeLow = 0;  // low 32 bits of emFirstNode
    uint32_t pageSize = 0;
    std::string string1;
    std::string string2;
    std::string string3;
    std::string browsePath;
    std::string secondPath;
    std::string string6;
    std::string string7;
    std::string string8;
    std::string userText;  // user id in decimal, then "12", then a browse-task string
    std::string string10;
    uint32_t word37 = 0;
    uint64_t value38 = 0;
    uint64_t value39 = 0;
    uint64_t value40 = 0;
    uint32_t word41 = 0;
    uint64_t value42 = 0;
    uint64_t value43 = 0;
    uint64_t value44 = 0;
    uint32_t word45 = 0;
    uint64_t value46 = 0;
    uint64_t value47 = 0;
    uint64_t value48 = 0;
    uint64_t value49 = 0;  // fast browse sets bit 0x400 before the send
    uint32_t word50 = 0;
    uint64_t value51 = 0;
    uint64_t value52 = 0;
    uint64_t value53 = 0;
    uint32_t word54 = 0;
    uint64_t value55 = 0;
    uint64_t value56 = 0;
    uint64_t value57 = 0;
    uint64_t clientId = 0;
    std::string text11;
    uint64_t emFirstNode = 0;  // non-zero: a page of backed-up data
    uint32_t indexTimeStamp = 0;
    uint64_t indexAfileId1 = 0;
    uint64_t indexAfileId2 = 0;
    uint64_t indexAfileId3 = 0;
    std::string longText;          // up to 4,104 characters reach the legacy record
    uint32_t referenceCopyId = 0;  // "~MediaAgent" / "nUSEREFERENCECOPYID" when set and non-zero

    // The legacy request record of classic fast browse, made from this record; null when the browse
    // path or the second path is longer than kLegacyPathLimit characters. The record's text-11 word
    // points into this record's text11: it is valid while this record lives and text11 is unchanged.
    std::unique_ptr<TLegacyBrowseRequest> getBackwardCompatibilityRequest() const;
};

// A browse path longer than this makes no legacy record.
constexpr size_t kLegacyPathLimit = 1000;

// The legacy request record (11,632 bytes, little-endian): the wire body of a classic browse request.
// Every offset is part of the protocol and checked below; the strings are NUL-terminated and cut to
// their arrays.
struct TLegacyBrowseRequest {
    uint64_t requestNumber;
    uint64_t jobId;
    uint64_t optionBits;
    uint64_t value4;
    int32_t word5;
    int32_t word6;
    uint32_t word7;
    int32_t word8;
    int32_t word9;
    int32_t word10;
    int32_t word11;
    uint32_t creationTime;
    uint32_t kelmarchId;
    uint32_t subclientId;
    uint32_t appType;
    uint32_t copyPrecedence;
    uint32_t clientIdRequest;
    uint32_t constantOne;
    uint32_t word19;
    uint32_t word20;
    uint32_t toTime;
    uint32_t fromTime;
    uint32_t emFunction;
    uint32_t skipCount;
    uint32_t emFirstNodeLow;
    uint32_t pageSize;
    char string1[257];
    char string2[1025];
    char string3[1025];
    char browsePath[1025];
    char secondPath[1025];
    char string6[257];
    char string7[257];
    char string8[257];
    char userText[1025];
    char string10[1025];
    uint8_t zero7298[2];
    uint32_t word37;
    uint64_t value38;
    uint64_t value39;
    uint64_t value40;
    uint32_t word41;
    uint32_t zero7332;
    uint64_t value42;
    uint64_t value43;
    uint64_t value44;
    uint32_t word45;
    uint32_t zero7364;
    uint64_t value46;
    uint64_t value47;
    uint64_t value48;
    uint64_t value49;
    uint32_t word50;
    uint32_t zero7404;
    uint64_t value51;
    uint64_t value52;
    uint64_t value53;
    uint32_t word54;
    uint32_t zero7436;
    uint64_t value55;
    uint64_t value56;
    uint64_t value57;
    uint64_t clientId;
    const char* text11;
    uint64_t emFirstNode;
    uint32_t indexTimeStamp;
    uint32_t zero7492;
    uint64_t indexAfileId1;
    uint64_t indexAfileId2;
    uint64_t indexAfileId3;
    char longText[4105];
    uint8_t zero11625[3];
    uint32_t referenceCopyId;
};

static_assert(sizeof(void*) == 8, "the legacy record carries a 64-bit pointer word");
static_assert(sizeof(TLegacyBrowseRequest) == 11632);
static_assert(offsetof(TLegacyBrowseRequest, optionBits) == 16);
static_assert(offsetof(TLegacyBrowseRequest, word5) == 32);
static_assert(offsetof(TLegacyBrowseRequest, creationTime) == 60);
static_assert(offsetof(TLegacyBrowseRequest, kelmarchId) == 64);
static_assert(offsetof(TLegacyBrowseRequest, subclientId) == 68);
static_assert(offsetof(TLegacyBrowseRequest, appType) == 72);
static_assert(offsetof(TLegacyBrowseRequest, emFunction) == 104);
static_assert(offsetof(TLegacyBrowseRequest, pageSize) == 116);
static_assert(offsetof(TLegacyBrowseRequest, string1) == 120);
static_assert(offsetof(TLegacyBrowseRequest, string2) == 377);
static_assert(offsetof(TLegacyBrowseRequest, string3) == 1402);
static_assert(offsetof(TLegacyBrowseRequest, browsePath) == 2427);
static_assert(offsetof(TLegacyBrowseRequest, secondPath) == 3452);
static_assert(offsetof(TLegacyBrowseRequest, string6) == 4477);
static_assert(offsetof(TLegacyBrowseRequest, string7) == 4734);
static_assert(offsetof(TLegacyBrowseRequest, string8) == 4991);
static_assert(offsetof(TLegacyBrowseRequest, userText) == 5248);
static_assert(offsetof(TLegacyBrowseRequest, string10) == 6273);
static_assert(offsetof(TLegacyBrowseRequest, zero7298) == 7298);
static_assert(offsetof(TLegacyBrowseRequest, word37) == 7300);
static_assert(offsetof(TLegacyBrowseRequest, value38) == 7304);
static_assert(offsetof(TLegacyBrowseRequest, word41) == 7328);
static_assert(offsetof(TLegacyBrowseRequest, value42) == 7336);
static_assert(offsetof(TLegacyBrowseRequest, word45) == 7360);
static_assert(offsetof(TLegacyBrowseRequest, value46) == 7368);
static_assert(offsetof(TLegacyBrowseRequest, value49) == 7392);
static_assert(offsetof(TLegacyBrowseRequest, word50) == 7400);
static_assert(offsetof(TLegacyBrowseRequest, value51) == 7408);
static_assert(offsetof(TLegacyBrowseRequest, word54) == 7432);
static_assert(offsetof(TLegacyBrowseRequest, value55) == 7440);
static_assert(offsetof(TLegacyBrowseRequest, clientId) == 7464);
static_assert(offsetof(TLegacyBrowseRequest, text11) == 7472);
static_assert(offsetof(TLegacyBrowseRequest, emFirstNode) == 7480);
static_assert(offsetof(TLegacyBrowseRequest, indexTimeStamp) == 7488);
static_assert(offsetof(TLegacyBrowseRequest, indexAfileId1) == 7496);
static_assert(offsetof(TLegacyBrowseRequest, longText) == 7520);
static_assert(offsetof(TLegacyBrowseRequest, zero11625) == 11625);
static_assert(offsetof(TLegacyBrowseRequest, referenceCopyId) == 11628);

// True when the input's browse path is the root: a mailbox-root path ("\MB...") of at most 4
// characters, any other of at most 1. False for a null input.
bool isRoot(TInputData* input);
