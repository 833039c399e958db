// ClientApplicationList: the subclients (applications) of a client's backup set as the application
// manager lists them, by name. Static; any thread; reads on the thread's own connection.
#pragma once

#include <string>
#include <vector>

class ClientApplicationList {
public:
    // The names of the subclients of `backupSetId` that belong to `clientId` and are of `appType`, in
    // subclient-id order, into `names` (replaced). 0 when answered (perhaps with none); else the
    // database error and `names` untouched. Kelmarch 2 is assumed.
    static int getApplications(unsigned long kelmarchId, unsigned long clientId, unsigned long appType,
                               unsigned long backupSetId, std::vector<std::string>& names);
    // The subclients of `backupSetId` (of `appType` when it is not 0, of `clientId` when it is not 0), in
    // id order, their ids and names appended; with `excludeIndexSubclients`, subclients marked "Index
    // SubClient" (not '0') are left out. 0 when answered (perhaps with none); else the database error.
    static int getSubclientList(std::vector<unsigned long>& ids, std::vector<std::string>& names,
                                unsigned long appType, unsigned long backupSetId, unsigned long clientId,
                                int excludeIndexSubclients);
    // The default backup set of a client's application type within one instance (any instance when
    // `instanceId` is 0), chosen as ApplicationId::getDefaultBackupSet chooses. 0 when found; 100 when
    // there is none; else the database error. `id` and `name` change only on 0.
    static int getDefaultBackupSet(unsigned long clientId, unsigned long appType, unsigned long instanceId,
                                   unsigned long& id, std::string& name, void* transaction = nullptr);
    // The default subclient of a client's application type: the subclient named "default" (else the
    // first) of its default backup set (ApplicationId::getDefaultBackupSet), read inside `transaction`
    // (a DBtran*) when given. 0 with `subclientId` set; 100 when the client has none; else the
    // database error.
    static int getDefaultSubclient(unsigned long clientId, unsigned long appType, unsigned long* subclientId,
                                   void* transaction = nullptr);
};
