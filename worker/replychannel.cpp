#include "worker/replychannel.h"

#include <utility>

#include "fbDebug/fbdebug.h"

namespace {

const char* const kTag = "FBHMWORKER";

}  // namespace

bool CReplyChannel::admits(const std::string& xml) const {
    if (!m_endSent) return true;
    CBrowseLog log(kTag);
    log.debugLvl(0, "end response already sent; answer dropped [%s]", xml.c_str());
    return false;
}

bool CReplyChannel::keepEnd(const char* endXml) {
    if (!m_holding) return false;
    // Built in place: a nested optional trips a false maybe-uninitialized warning in sanitized builds.
    THeldEnd& held = m_held.emplace();
    held.hasText = endXml != nullptr;
    held.xml = endXml ? endXml : "";
    return true;
}

std::optional<CReplyChannel::THeldEnd> CReplyChannel::releaseEnd() {
    m_holding = false;
    return std::exchange(m_held, std::nullopt);
}

void CReplyChannel::dropEnd() {
    m_holding = false;
    m_held.reset();
}

void CReplyChannel::beginCountPass() {
    dropEnd();
    m_countPass = true;
}
