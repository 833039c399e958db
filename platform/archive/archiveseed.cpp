// ArchiveSeed: inserts through the HubDbSeed's connection, so its rows join the seed's transaction.
#include "platform/archive/archiveseed.h"

#include "platform/archive/archmgrtables.h"
#include "platform/db/dbresult.h"

using zydb::DbValue;

namespace archmgr {

namespace {
DbValue I(long long v) {
    return DbValue::ofInt(v);
}
DbValue T(const std::string& v) {
    return DbValue::ofText(v);
}
}  // namespace

ArchiveSeed::ArchiveSeed(hubdb::HubDbSeed& seed) : m_seed(seed) {
    if (seed.connection() == nullptr) {
        m_error = "the seed has no database";
        return;
    }
    createArchiveTables(*seed.connection(), &m_error);
}

int ArchiveSeed::check(int rc, const std::string& what) {
    if (rc == zydb::DB_OK) return 0;
    if (m_error.empty())
        m_error = what + ": " + (m_seed.error().empty() ? zydb::dbResultText(rc) : m_seed.error());
    return -1;
}

int ArchiveSeed::addMedia(const MediaSeed& m) {
    long long id = m_seed.insertRow("MMMedia", {{"barcode", T(m.barcode)},
                                                {"mediaType", I(m.mediaType)},
                                                {"libraryName", T(m.libraryName)},
                                                {"location", T(m.location)},
                                                {"mediaSize", I(m.mediaSize)}});
    if (id < 0) return check(zydb::DB_ERR_GENERAL, "addMedia");
    if (m.barcode.empty() && check(m_seed.exec("UPDATE MMMedia SET barcode = ? WHERE id = ?",
                                               {T("MEDIA" + std::to_string(id)), I(id)}),
                                   "addMedia") != 0)
        return -1;
    return static_cast<int>(id);
}

int ArchiveSeed::placeOnMedia(int archFileId, int precedence, int mediaId) {
    long long copy = m_seed.queryInt(
        "SELECT g.id FROM archFile f JOIN archGroupCopy g ON g.archGroupId = f.archGroupId "
        "WHERE f.id = ? AND g.copy = ?",
        {I(archFileId), I(precedence)}, -1);
    if (copy < 0) {
        m_error = "archive file " + std::to_string(archFileId) + " has no copy of precedence " +
                  std::to_string(precedence);
        return -1;
    }
    return check(m_seed.exec("INSERT INTO archFileMedia (archFileId, kelmarchId, archCopyId, mediaId) "
                             "SELECT id, kelmarchId, ?, ? FROM archFile WHERE id = ?",
                             {I(copy), I(mediaId), I(archFileId)}),
                 "placeOnMedia");
}

int ArchiveSeed::setSnapCopy(int copyId, bool snap) {
    return check(
        m_seed.exec("UPDATE archGroupCopy SET isSnapCopy = ? WHERE id = ?", {I(snap ? 1 : 0), I(copyId)}),
        "setSnapCopy");
}

int ArchiveSeed::setDefaultCopy(int storagePolicyId, int copyId) {
    return check(
        m_seed.exec("UPDATE archGroup SET defaultCopy = ? WHERE id = ?", {I(copyId), I(storagePolicyId)}),
        "setDefaultCopy");
}

int ArchiveSeed::copyId(int storagePolicyId, int precedence) {
    return static_cast<int>(m_seed.queryInt("SELECT id FROM archGroupCopy WHERE archGroupId = ? AND copy = ?",
                                            {I(storagePolicyId), I(precedence)}, -1));
}

}  // namespace archmgr
