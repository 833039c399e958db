#include "platform/tasks/browseoperations.h"

#include <iterator>

namespace {

constexpr TOperationRow kDefaultRow = {0, false, false, false};
constexpr unsigned long long kBrowse = 0x1;
constexpr unsigned long long kRecall = 0x2;

// Operations 0 to 22.
constexpr TOperationRow kRows[] = {
    {kBrowse, true, false, false},                // 0
    {kBrowse | kRecall, true, false, false},      // 1
    {kBrowse | 0x8, true, false, true},           // 2
    {0x4000000000ULL, true, false, false},        // 3
    {kBrowse | kRecall, true, false, false},      // 4
    kDefaultRow,                                  // 5: a stop, handed over before
    {0x8 | 0x4000000000ULL, true, false, false},  // 6
    {kBrowse, true, true, false},                 // 7
    {kBrowse, true, true, false},                 // 8
    {kBrowse, true, true, false},                 // 9
    {0, true, false, false},                      // 10
    {0, true, false, false},                      // 11
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,
    kDefaultRow,              // 12 to 21
    {0, true, false, false},  // 22
};

}  // namespace

const TOperationRow& operationRow(uint32_t operation) {
    return operation < std::size(kRows) ? kRows[operation] : kDefaultRow;
}
