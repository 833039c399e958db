// Exchange database subclients of the entity library (stand-in): the stores a subclient backs up, as
// properties of type 112 in its property list, and each store's size at its last backup. Made on the
// caller's stack for one question; belongs to the thread that made it.
#pragma once

#include <string>

#include "platform/entities/entityconfig.h"

// One Exchange store of a subclient's property list: the property's value is the store text, the
// store's description and its name separated by the first backslash.
class ExchangeDBProperty {
public:
    static constexpr int kPropertyType = 112;

    explicit ExchangeDBProperty(const ApplProperty& property);
    const std::string& getStoreName() const { return m_storeName; }
    const std::string& getDescription() const { return m_description; }

private:
    std::string m_description;
    std::string m_storeName;
};

class MsExchangeSubclient : public Subclient {
public:
    explicit MsExchangeSubclient(unsigned long subclientId) : Subclient(subclientId) {}
    ~MsExchangeSubclient() override;

    // The size in bytes of the store named by its store text (description, backslash, store name) at
    // the subclient's last backup (APP_ExchangeStoreSize). 0 when answered; 100 when the subclient has no
    // such store; else the database error. `size` changes only on 0.
    int getStoreSize(const std::string& storeText, unsigned long long& size, void* transaction = nullptr);
};
