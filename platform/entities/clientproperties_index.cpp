// ClientProperties of one client: the storage policy of its index server's backups.
#include <ctime>

#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/archGroup.h"
#include "platform/db/dbresult.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/propertystore.h"
#include "platform/threads/hubclock.h"

int ClientProperties::setIndexServerArchGroup(unsigned long archGroupId) {
    if (m_clientId == 0) return zydb::DB_NO_DATA;
    {
        APP_Client client(m_tran);
        client.setIsolationType(4);
        client.setWhere("id = %lu", m_clientId);
        if (int rc = client.getOneRow(&client, false, 0, 0); rc != zydb::DB_OK) return rc;
    }
    {
        ArchGroup policy(m_tran);
        policy.setIsolationType(4);
        policy.setWhere("id = %lu", archGroupId);
        if (int rc = policy.getOneRow(&policy, false, 0, 0); rc != zydb::DB_OK) return rc;
    }
    return zyent::writeProperty<APP_ClientProp>(m_tran, static_cast<long>(m_clientId),
                                                "Index Server Storage Policy", 0, std::to_string(archGroupId),
                                                CHubClock::real().epochSeconds());
}
