// A NAS live-browse plug-in for the tests, built as "NASLiveBrowse.dll": its outcome is chosen by the
// environment at each call (HUB_TEST_NAS_RESULT: the result code, default 0; HUB_TEST_NAS_NULL_OBJECT:
// non-empty makes no object), and it counts the objects made and released.
#include <cstdlib>
#include <string>

#include "worker/naslivebrowse_abi.h"

namespace {

struct TTestObject {
    std::string text;
};

int s_made = 0;
int s_released = 0;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* InitNASLiveBrowseObject(void) {
    const char* none = std::getenv("HUB_TEST_NAS_NULL_OBJECT");
    if (none && *none) return nullptr;
    ++s_made;
    return new TTestObject();
}

__attribute__((visibility("default"))) int GetNASLiveBrowseSnapMountParams(void* object, int mode,
                                                                           unsigned int subclientId,
                                                                           unsigned int copyPrecedence,
                                                                           long long snapArchFileId, int flag,
                                                                           const char** mountParams) {
    auto* o = static_cast<TTestObject*>(object);
    const char* result = std::getenv("HUB_TEST_NAS_RESULT");
    o->text = "<NASMount mode=\"" + std::to_string(mode) + "\" subclient=\"" + std::to_string(subclientId) +
              "\" copy=\"" + std::to_string(copyPrecedence) + "\" afile=\"" + std::to_string(snapArchFileId) +
              "\" flag=\"" + std::to_string(flag) + "\"/>";
    *mountParams = o->text.c_str();
    return result ? std::atoi(result) : NASLIVEBROWSE_OK;
}

__attribute__((visibility("default"))) void ReleaseNASLiveBrowseObject(void* object) {
    ++s_released;
    delete static_cast<TTestObject*>(object);
}

// Test probes: objects made and released so far.
__attribute__((visibility("default"))) int NASTestObjectsMade(void) {
    return s_made;
}
__attribute__((visibility("default"))) int NASTestObjectsReleased(void) {
    return s_released;
}
}
