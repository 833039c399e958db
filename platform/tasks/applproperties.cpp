#include "platform/tasks/applproperties.h"

ApplProperties::ApplProperties() = default;
ApplProperties::~ApplProperties() = default;

int ApplProperties::addToPropCache(const std::string& name, int type, const std::string& value, int extra) {
    return ApplProperties::updatePropCache(ApplProperty(name, type, value, extra));
}

int ApplProperties::updatePropCache(const ApplProperty& property) {
    for (auto& p : m_cache) {
        if (p.getName() == property.getName()) {
            p = property;
            return 0;
        }
    }
    m_cache.push_back(property);
    return 0;
}

int ApplProperties::getProperties(PropertiesList& list, void* /*transaction*/) {
    list.clear();
    for (const auto& p : m_cache) list.push_back(p);
    return 0;
}

bool ApplProperties::getPropertyValue(const std::string& name, std::string& value) const {
    for (const auto& p : m_cache) {
        if (p.getName() == name) {
            value = p.getValue();
            return true;
        }
    }
    return false;
}

ApplBackupContent::ApplBackupContent() = default;
ApplBackupContent::~ApplBackupContent() = default;

int ApplBackupContent::addToContentCache(int id, const std::string& content) {
    m_content.push_back(Content{id, content});
    return 0;
}

PropCallBack::~PropCallBack() = default;

int PropCallBack::getPropertiesCallbackUpdate(std::string /*name*/, unsigned long /*type*/,
                                              std::string /*value*/, unsigned long /*extra*/,
                                              bool /*unused*/) {
    return 0;
}
