// ArchiveSeed: inserts through the HubDbSeed's connection, so its rows join the seed's transaction.
#include "platform/archive/archiveseed.h"

#include "platform/db/dbresult.h"

using namespace hubdb::seedvalues;

namespace archmgr {

int ArchiveSeed::addMedia(const MediaSeed& m) {
    long long id = m_seed.insertRow("MMMedia", {{"barcode", T(m.barcode)},
                                                {"mediaType", I(m.mediaType)},
                                                {"libraryName", T(m.libraryName)},
                                                {"location", T(m.location)},
                                                {"mediaSize", I(m.mediaSize)}});
    if (id < 0) return fail("addMedia");
    if (m.barcode.empty() && m_seed.exec("UPDATE MMMedia SET barcode = ? WHERE id = ?",
                                         {T("MEDIA" + std::to_string(id)), I(id)}) != zydb::DB_OK)
        return fail("addMedia");
    return static_cast<int>(id);
}

int ArchiveSeed::placeOnMedia(int archFileId, int precedence, int mediaId) {
    long long copy = m_seed.queryInt(
        "SELECT g.id FROM archFile f JOIN archGroupCopy g ON g.archGroupId = f.archGroupId "
        "WHERE f.id = ? AND g.copy = ?",
        {I(archFileId), I(precedence)}, -1);
    if (copy < 0)
        return fail("archive file " + std::to_string(archFileId) + " has no copy of precedence " +
                    std::to_string(precedence));
    if (m_seed.exec("INSERT INTO archFileMedia (archFileId, kelmarchId, archCopyId, mediaId) "
                    "SELECT id, kelmarchId, ?, ? FROM archFile WHERE id = ?",
                    {I(copy), I(mediaId), I(archFileId)}) != zydb::DB_OK)
        return fail("placeOnMedia");
    return 0;
}

}  // namespace archmgr
