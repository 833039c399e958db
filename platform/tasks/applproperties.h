// The entity-property helpers of the closed entity library (stand-in): one property (ApplProperty), a
// property list (PropertiesList), the property cache that entity classes derive from (ApplProperties),
// the backup-content cache (ApplBackupContent) and the property-callback interface (PropCallBack) the
// entity library calls while it loads an entity. An entity object is used by one thread at a time.
#pragma once

#include <list>
#include <string>
#include <vector>

class ApplProperty {
public:
    ApplProperty() = default;
    ApplProperty(std::string name, int type, std::string value, int extra)
        : m_name(std::move(name)), m_type(type), m_value(std::move(value)), m_extra(extra) {}

    const std::string& getName() const { return m_name; }
    int getType() const { return m_type; }
    const std::string& getValue() const { return m_value; }
    int getExtra() const { return m_extra; }

    bool operator==(const ApplProperty& o) const {
        return m_name == o.m_name && m_type == o.m_type && m_value == o.m_value && m_extra == o.m_extra;
    }

private:
    std::string m_name;
    int m_type = 0;
    std::string m_value;
    int m_extra = 0;
};

// A list of properties, read through const iterators.
class PropertiesList {
public:
    using const_iterator = std::list<ApplProperty>::const_iterator;

    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }
    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    void push_back(const ApplProperty& p) { m_items.push_back(p); }
    void clear() { m_items.clear(); }

private:
    std::list<ApplProperty> m_items;
};

// The property cache of an entity: one value per property name (matched exactly), in first-seen order.
class ApplProperties {
public:
    ApplProperties();
    virtual ~ApplProperties();

    // Adds the property, or replaces the value of one with the same name. Returns 0.
    int addToPropCache(const std::string& name, int type, const std::string& value, int extra);
    // As addToPropCache, for a whole property. Returns 0.
    virtual int updatePropCache(const ApplProperty& property);

    // Copies the cached properties into `list` (replacing its contents). Returns 0.
    int getProperties(PropertiesList& list, void* transaction);
    // The value of one property: true and `value` set when cached.
    bool getPropertyValue(const std::string& name, std::string& value) const;
    void clearPropCache() { m_cache.clear(); }

private:
    std::vector<ApplProperty> m_cache;
};

// The backup-content cache of an entity: content lines with their type, and the case sensitivity with
// which they are compared.
class ApplBackupContent {
public:
    struct Content {
        int id = 0;
        std::string text;
    };

    ApplBackupContent();
    virtual ~ApplBackupContent();

    // Appends one content line. Returns 0.
    int addToContentCache(int id, const std::string& content);
    void setContentCaseSensitive() { m_caseSensitive = true; }
    void setContentCaseInsensitive() { m_caseSensitive = false; }
    bool isContentCaseSensitive() const { return m_caseSensitive; }
    const std::vector<Content>& getContentCache() const { return m_content; }
    void clearContentCache() { m_content.clear(); }

private:
    std::vector<Content> m_content;
    bool m_caseSensitive = true;
};

// What the entity library calls while it loads an entity's properties, in this slot order.
class PropCallBack {
public:
    virtual ~PropCallBack();
    virtual int getPropertiesCallback(std::string name, unsigned long type, std::string value,
                                      unsigned long extra) = 0;
    // The base does nothing and returns 0; entities that keep updates override it.
    virtual int getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                            unsigned long extra, bool unused);
};
