// TInputData: the flat input record of one browse request, held by its worker. The worker's main body
// fills it from the browse task before dispatch; archive-file selection and fast browse read it. It
// belongs to its worker and is touched only by the thread holding the worker's lock.
#pragma once

#include <cstdint>
#include <string>

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
};
