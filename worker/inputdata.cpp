#include "worker/inputdata.h"

#include <cstring>

#include "framework/browseutils.h"

namespace {

// One string of the input record and the array of the legacy record it is copied into.
struct TLegacyString {
    std::string TInputData::*source;
    size_t offset;
    size_t size;
};

#define LEGACY_STRING(name)                                                                         \
    TLegacyString {                                                                                 \
        &TInputData::name, offsetof(TLegacyBrowseRequest, name), sizeof(TLegacyBrowseRequest::name) \
    }

const TLegacyString kLegacyStrings[] = {
    LEGACY_STRING(string1),    LEGACY_STRING(string2),  LEGACY_STRING(string3),  LEGACY_STRING(browsePath),
    LEGACY_STRING(secondPath), LEGACY_STRING(string6),  LEGACY_STRING(string7),  LEGACY_STRING(string8),
    LEGACY_STRING(userText),   LEGACY_STRING(string10), LEGACY_STRING(longText),
};

#undef LEGACY_STRING

}  // namespace

std::unique_ptr<TLegacyBrowseRequest> TInputData::getBackwardCompatibilityRequest() const {
    // Checked before anything is allocated: a longer path would reach the media agent cut.
    if (browsePath.size() > kLegacyPathLimit || secondPath.size() > kLegacyPathLimit) return nullptr;

    auto record = std::make_unique<TLegacyBrowseRequest>();
    TLegacyBrowseRequest& r = *record;
    std::memset(&r, 0, sizeof r);
    r.requestNumber = requestNumber;
    r.jobId = jobId;
    r.optionBits = optionBits;
    r.value4 = value4;
    r.word5 = word5;
    r.word6 = word6;
    r.word7 = word7;
    r.word8 = word8;
    r.word9 = word9;
    r.word10 = word10;
    r.word11 = word11;
    r.creationTime = creationTime;
    r.kelmarchId = kelmarchId;
    r.subclientId = subclientId;
    r.appType = appType;
    r.copyPrecedence = copyPrecedence;
    r.clientIdRequest = clientIdRequest;
    r.constantOne = constantOne;
    r.word19 = word19;
    r.word20 = word20;
    r.toTime = toTime;
    r.fromTime = fromTime;
    r.emFunction = emFunction;
    r.skipCount = skipCount;
    r.emFirstNodeLow = emFirstNodeLow;
    r.pageSize = pageSize;
    char* base = reinterpret_cast<char*>(&r);
    for (const TLegacyString& s : kLegacyStrings)
        strcpy_buffer_safe(base + s.offset, (this->*s.source).c_str(), s.size);
    r.word37 = word37;
    r.value38 = value38;
    r.value39 = value39;
    r.value40 = value40;
    r.word41 = word41;
    r.value42 = value42;
    r.value43 = value43;
    r.value44 = value44;
    r.word45 = word45;
    r.value46 = value46;
    r.value47 = value47;
    r.value48 = value48;
    r.value49 = value49;
    r.word50 = word50;
    r.value51 = value51;
    r.value52 = value52;
    r.value53 = value53;
    r.word54 = word54;
    r.value55 = value55;
    r.value56 = value56;
    r.value57 = value57;
    r.clientId = clientId;
    r.text11 = text11.c_str();
    r.emFirstNode = emFirstNode;
    r.indexTimeStamp = indexTimeStamp;
    r.indexAfileId1 = indexAfileId1;
    r.indexAfileId2 = indexAfileId2;
    r.indexAfileId3 = indexAfileId3;
    r.referenceCopyId = referenceCopyId;
    return record;
}

bool isRoot(TInputData* input) {
    return input != nullptr && isRootPath(input->browsePath);
}
