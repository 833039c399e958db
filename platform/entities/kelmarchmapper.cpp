#include "platform/entities/kelmarchmapper.h"

#include "Db/Tbl/APP_Client.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"

unsigned long KelmarchMapper::numberToId(unsigned long number) {
    if (number == 0) return 0;
    // A Kelmarch is known to this Hubmaster through the clients that belong to it.
    APP_Client clients(nullptr);
    clients.setIsolationType(4);
    clients.setTop(1);
    clients.setWhere("origKMId = %lu", number);
    return clients.getOneRow(&clients, false, -1, 0) == zydb::DB_OK ? number : 0;
}
