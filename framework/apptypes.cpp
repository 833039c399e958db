#include "framework/apptypes.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr long kFileSystemAppTypes[] = {11, 17, 18, 19, 20, 21, 29, 33, 34, 36, 40, 42, 43, 48, 63, 64, 74};

}  // namespace

bool isFileSystemAppType(long appType) {
    return std::find(std::begin(kFileSystemAppTypes), std::end(kFileSystemAppTypes), appType) !=
           std::end(kFileSystemAppTypes);
}
