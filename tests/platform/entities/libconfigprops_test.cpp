// The configuration handlers over a seeded index-backup world (what they make is checked through the
// administration thread's tests): refused requests change nothing, and the caller's transaction decides
// what stays, a failed call inside it leaving none of its own changes.
#include "platform/entities/libconfigprops.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/msg/msg_classes.h"
#include "tests/support/idxbackup/indexbackupdb.h"

namespace {

using E = ZyEntities::GenericEntity;

std::string pseudoClientXml(const std::string& name, int type = kIndexBackupPseudoClientType) {
    App::CreatePseudoClientRequest r;
    r.getObjectAccessor(App::CreatePseudoClientRequest::f::caller, true)
        ->getObjectAccessor(ZyEntities::Msg74::f::user, true)
        ->setint64(ZyEntities::UserEntity::f::userId, 1);
    CNMessageBase* entity = r.getObjectAccessor(App::CreatePseudoClientRequest::f::entity, true);
    entity->setstring(E::f::clientName, name);
    entity->setstring(E::f::instanceName, "classicIndexInstance");
    r.getObjectAccessor(App::CreatePseudoClientRequest::f::clientInfo, true)
        ->setint64(App::Msg161::f::at_1, type);
    std::string xml;
    r.serialize(xml);
    return xml;
}

template <class Request>
std::string deletionXml(const std::vector<E>& entities) {
    Request r;
    r.getObjectAccessor(Request::f::caller, true)
        ->getObjectAccessor(ZyEntities::Msg74::f::user, true)
        ->setint64(ZyEntities::UserEntity::f::userId, 1);
    std::vector<CNMessageBase> items(entities.begin(), entities.end());
    r.getObjectAccessor(Request::f::associations, true)
        ->setlistobject(App::Associations::f::associations, items);
    std::string xml;
    r.serialize(xml);
    return xml;
}

E clientEntity(long long id, const std::string& name) {
    E e;
    e.setint64(E::f::clientId, id);
    e.setstring(E::f::clientName, name);
    return e;
}

E subclientEntity(long long id) {
    E e;
    e.setint64(E::f::subclientId, id);
    return e;
}

class ConfigHandlers : public hubtest::IndexBackupDb {};

}  // namespace

TEST_F(ConfigHandlers, RefusedRequestsChangeNothing) {
    const std::string before = snapshot();
    LibConfigAppClientProp clients(0, nullptr);
    LibConfigSubClientProp subclients(nullptr);
    struct Case {
        const char* what;
        std::function<int()> call;
        int expected;
    };
    const std::string newName = hubdb::indexClientName("ma-new");
    const std::vector<Case> cases = {
        {"not XML", [&] { return clients.createPseudoClient("<oops", nullptr); }, LIBCONFIG_BAD_REQUEST},
        {"another pseudo-client type",
         [&] { return clients.createPseudoClient(pseudoClientXml(newName, 30), nullptr); },
         LIBCONFIG_NOT_SERVED},
        {"a name taken", [&] { return clients.createPseudoClient(pseudoClientXml("ma-two"), nullptr); },
         LIBCONFIG_EXISTS},
        {"no media agent waits for it",
         [&] { return clients.createPseudoClient(pseudoClientXml("ma-nobody_IndexBackup"), nullptr); },
         LIBCONFIG_REFUSED},
        {"the Hubmaster's own client",
         [&] {
             return clients.deleteClient(deletionXml<App::DeleteClientRequest>({clientEntity(2, "")}),
                                         nullptr);
         },
         LIBCONFIG_REFUSED},
        {"an unknown client",
         [&] {
             return clients.deleteClient(deletionXml<App::DeleteClientRequest>({clientEntity(9999, "")}),
                                         nullptr);
         },
         LIBCONFIG_NOT_FOUND},
        {"a client of another name",
         [&] {
             return clients.deleteClient(
                 deletionXml<App::DeleteClientRequest>({clientEntity(world.goneClient, "someone else")}),
                 nullptr);
         },
         LIBCONFIG_NOT_FOUND},
        {"no client named",
         [&] { return clients.deleteClient(deletionXml<App::DeleteClientRequest>({}), nullptr); },
         LIBCONFIG_BAD_REQUEST},
        {"a request the subclient handler does not serve",
         [&] { return subclients.handleSubClientPropertiesRequest(pseudoClientXml(newName), nullptr); },
         LIBCONFIG_NOT_SERVED},
        {"an unknown subclient",
         [&] {
             return subclients.handleSubClientPropertiesRequest(
                 deletionXml<App::DeleteSubClientRequest>(
                     {subclientEntity(world.oldSubclient), subclientEntity(9999)}),
                 nullptr);
         },
         LIBCONFIG_NOT_FOUND},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.what;
        EXPECT_EQ(snapshot(), before) << c.what;
    }
    EXPECT_FALSE(subclients.getErrorString().empty());
}

TEST_F(ConfigHandlers, TheCallersTransactionDecides) {
    const std::string before = snapshot();
    {
        DBtran tran(true);
        LibConfigAppClientProp handler(0, &tran);
        ASSERT_EQ(handler.createPseudoClient(pseudoClientXml(hubdb::indexClientName("ma-new")), &tran), 0);
        EXPECT_EQ(snapshot(), before);  // not committed yet
        // A failing call in the same transaction takes back only its own part.
        const std::string xml = deletionXml<App::DeleteClientRequest>(
            {clientEntity(world.goneClient, hubdb::indexClientName("ma-gone")), clientEntity(9999, "")});
        EXPECT_EQ(handler.deleteClient(xml, &tran), LIBCONFIG_NOT_FOUND);
        ASSERT_EQ(tran.commitTran(), zydb::DB_OK);
    }
    EXPECT_FALSE(rows("SELECT id FROM APP_Client WHERE name = 'ma-new_IndexBackup'").empty());
    EXPECT_FALSE(
        rows("SELECT id FROM APP_Client WHERE id = ?", {zydb::DbValue::ofInt(world.goneClient)}).empty());

    const std::string committed = snapshot();
    {
        DBtran tran(true);
        LibConfigAppClientProp handler(0, &tran);
        const std::string xml = deletionXml<App::DeleteClientRequest>(
            {clientEntity(world.goneClient, hubdb::indexClientName("ma-gone"))});
        ASSERT_EQ(handler.deleteClient(xml, nullptr), 0);  // the handler's transaction
        EXPECT_EQ(tran.rollbackTran(), zydb::DB_OK);
    }
    EXPECT_EQ(snapshot(), committed);
}
