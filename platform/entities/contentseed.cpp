#include "platform/entities/contentseed.h"

using namespace hubdb::seedvalues;

namespace zyent {

int SubclientContentSeed::addLine(const ContentLineSeed& s) {
    return checked(m_seed.insertRow("APP_SubclientContent", {{"subclientId", I(s.subclientId)},
                                                             {"lineNumber", I(s.lineNumber)},
                                                             {"path", T(s.path)},
                                                             {"displayName", TextOrNull(s.displayName)},
                                                             {"exclusion", I(s.exclusion ? 1 : 0)},
                                                             {"created", I(s.created)},
                                                             {"modified", I(s.modified)}}));
}

}  // namespace zyent
