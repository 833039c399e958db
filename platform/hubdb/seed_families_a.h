// Seed rows for the property, backup-set, mailbox, user and job families: versioned properties of
// clients, subclients and agents, virtual machines under a hypervisor's backup set, users, mailbox
// associations, job statistics and job links. Works on a HubDbSeed; used by the seed's one thread.
//
//   hubdb::HubDbSeed seed(path);
//   hubdb::RowSeed rows(seed);
//   rows.addProperty<APP_ClientProp>({.ownerId = client, .name = "IndexingV2_VSA", .value = "1", .created =
//   t}); rows.changeProperty<APP_ClientProp>(client, "IndexingV2_VSA", "0", t + 100);  // a new version at t
//   + 100 vm = rows.addVirtualMachine({.parentBackupSetId = parent, .name = "vm1", .storagePolicyId = sp});
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace hubdb {

struct VirtualMachineSeed {
    int parentBackupSetId = 0;  // the hypervisor's backup set
    std::string name{};
    std::string vmGuid{};  // empty: made from the client id
    int storagePolicyId = 0;
    long long guidSince = 0;  // when the VM GUID property starts
};

struct VirtualMachine {
    int clientId = -1;
    int childBackupSetId = -1;
    int subclientId = -1;  // the VM's own subclient (agent type 106) in its child backup set
    std::string guid;
};

struct UserSeed {
    std::string name{};   // full name; empty: the login
    std::string login{};  // empty: the name
    std::string email{};
    std::string description{};  // empty: NULL
    std::string guid{};         // empty: made from the new id
    int enabled = 1;
};

struct MailboxSeed {
    std::string userGuid{};
    int subclientId = 0;
    long long created = 0;
    int ownerId = 0;  // UMUsers id
    std::string displayName{};
    std::string smtpAddress{};
    int mailBoxType = 1;
};

struct JobStatsSeed {
    JobSeed job{};
    int dataStatus = 0;          // 0: the job's data is still there
    long long attributesEx = 0;  // bkpAttributesEx (kBkpAttrExCloudLaptop ...)
    int fullCycleNum = -1;       // -1: the subclient's cycle, a new one for a full job
};

struct JobLinkSeed {
    int kelmarchId = kDefaultKelmarchId;
    int parentJobId = 0;
    int childJobId = 0;
    int parentAppId = 0;
    int childAppId = 0;
    int linkType = 7;
    int childJobStatus = 1;
};

class RowSeed : public SeedPart {
public:
    explicit RowSeed(HubDbSeed& seed) : SeedPart(seed) {}

    // A property row of table family X (APP_ClientProp, APP_SubClientProp or APP_IDAProp); its id.
    template <class X>
    int addProperty(const PropertySeed& p) {
        return checked(m_seed.addProperty(X::Descriptor::dbName, p));
    }
    // A new version at `at`: the current row of the name ends there and the new value starts there.
    template <class X>
    int changeProperty(int ownerId, const std::string& name, const std::string& value, long long at,
                       int attrType = 0) {
        return checked(m_seed.changeProperty(X::Descriptor::dbName, ownerId, name, value, at, attrType));
    }

    // An agent (one application type on a client), the owner of APP_IDAProp rows; its id.
    int addAgent(int clientId, int appTypeId);
    // A virtual machine's client with its child backup set, subclient, GUID property and link to the
    // hypervisor's backup set.
    VirtualMachine addVirtualMachine(const VirtualMachineSeed& vm);
    int addUser(const UserSeed& user);
    int addMailboxAssociation(const MailboxSeed& mailbox);
    // A finished job with the statistics the job lookups read; its id.
    int addJobStats(const JobStatsSeed& stats);
    int addJobLink(const JobLinkSeed& link);
};

}  // namespace hubdb
