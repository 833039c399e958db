// Archive-file selection of a classic browse: the newest backup, the newest backup of the cycle of a
// find time and the backup at exactly the find time, asked of the archive manager and written into the
// request's selection record. Free functions; the worker's thread calls them with its own record.
#pragma once

#include <cstdint>

#include "platform/archive/archmgrrecords.h"
#include "platform/entities/apptypes.h"

class EvMessageContainer;

// One chosen archive file: its identity and creation time.
struct TAfileReference {
    ArchiveFileIdMsg_t id;
    uint32_t creationTime = 0;
};

// What the selection reads of a request and writes back (the worker copies it from and into its input
// record). Archive-file ids are 64-bit throughout.
struct TAfileSelection {
    enum : uint64_t { kUseExactIndex = 0x1, kIndexFileType6 = 0x4 };

    uint32_t subclientId = 0;
    apptype::EAppType appType{};
    uint32_t copyPrecedence = 0;
    uint32_t fromTime = 0;
    uint32_t toTime = 0;
    uint64_t flags = 0;
    TAfileReference latest;         // newest backup of the subclient
    TAfileReference latestInCycle;  // newest backup of the cycle holding the find time (Time0)
    TAfileReference exact;          // the backup at the find time (TimeT)
};

bool hasToUseExactIndex(const TAfileSelection* input);
// The archive file of the subclient's newest backup at the find time, or -1.
int64_t getSnapAfile(unsigned findTime, TAfileSelection* input, EvMessageContainer& messages,
                     unsigned subclientId);
// The snapshot archive file that getSnapAfile found, as the 32-bit id the browse task and the plug-in
// keep (the archive manager refuses wider ids); false (logged) when the look-up failed.
bool snapAfileId(int64_t snapAfile, unsigned subclientId, uint32_t& id);
// 0 success, -1 failure. When the oldest archive file cannot be read the from-time is left as it is
// and the references are chosen all the same.
int setIndexingAfiles(unsigned findTime, TAfileSelection* input, EvMessageContainer& messages);
