#include "platform/entities/exchangesubclient.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/threadsql.h"

ExchangeDBProperty::ExchangeDBProperty(const ApplProperty& property) {
    const std::string& value = property.getValue();
    const size_t cut = value.find('\\');
    if (cut == std::string::npos) {
        m_storeName = value;
        return;
    }
    m_description = value.substr(0, cut);
    m_storeName = value.substr(cut + 1);
}

MsExchangeSubclient::~MsExchangeSubclient() = default;

int MsExchangeSubclient::getStoreSize(const std::string& storeText, unsigned long long& size, void*) {
    std::vector<zydb::DbValue> row;
    const int rc = hubdb::threadQueryFirstRow(
        "SELECT sizeBytes FROM APP_ExchangeStoreSize WHERE subclientId = ? AND storeText = ?",
        {zydb::DbValue::ofInt(static_cast<long long>(getSubclientId())), zydb::DbValue::ofText(storeText)},
        row);
    if (rc == zydb::DB_OK) size = static_cast<unsigned long long>(row[0].asInt());
    return rc;
}
