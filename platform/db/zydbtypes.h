// Column value objects: one per column of a schema object (X_t2), and the bound arguments of stored
// procedures. An object is used by one thread at a time.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

inline constexpr const char* ZYDB_int_format = "%d";
inline constexpr const char* ZYDB___int64_format = "%lld";

class ZYDBDataTypeBase {
public:
    enum UpdatedStatus : int { NotUpdated = 0, Updated = 1 };

    ZYDBDataTypeBase() = default;
    ZYDBDataTypeBase(const ZYDBDataTypeBase&) = default;
    ZYDBDataTypeBase& operator=(const ZYDBDataTypeBase&) = default;

    virtual bool setData(const char* src, int offset, int length, bool) = 0;
    virtual void clearMemoryOnNULL() {}
    virtual void setString() const = 0;
    virtual const std::string& getStr() const { return m_str; }
    virtual ~ZYDBDataTypeBase() = default;
    virtual int getDataType() const = 0;
    // The value as text; a positive `maxLength` cuts it to that many bytes. A null object gives "".
    virtual std::string toString(int maxLength) const;

    // Becoming null drops a text value; leaving null keeps whatever value is held.
    void setInternalNull(bool null) {
        if (null == m_isNull) return;
        m_valueFresh = false;
        m_isNull = null;
        if (null) clearMemoryOnNULL();
    }
    void setUpdated(UpdatedStatus status) { m_updatedStatus = status; }
    bool isNull() const { return m_isNull; }
    UpdatedStatus getUpdated() const { return m_updatedStatus; }

protected:
    bool m_isNull = true;
    UpdatedStatus m_updatedStatus = NotUpdated;
    bool m_isOutput = false;    // reserved: no procedure here returns through its arguments
    mutable std::string m_str;  // text form, made by setString
    std::string m_columnName;   // reserved
    bool m_valueFresh = false;  // reserved; setData and null changes clear it
    long long m_indicator = 0;  // reserved
};

template <class T, const char* const* Format, int Code>
class ZYDBPrimitiveType : public ZYDBDataTypeBase {
public:
    ZYDBPrimitiveType() = default;
    explicit ZYDBPrimitiveType(T value) : m_value(value) {
        setInternalNull(false);
        setUpdated(Updated);
    }

    // Copies `length` bytes of `src` into the value, `offset` bytes in; the caller keeps the span
    // within the value. A span that would leave it is refused.
    bool setData(const char* src, int offset, int length, bool) override {
        if (src == nullptr || offset < 0 || length < 0 || static_cast<size_t>(offset + length) > sizeof(T))
            return false;
        std::memcpy(reinterpret_cast<char*>(&m_value) + offset, src, static_cast<size_t>(length));
        m_valueFresh = false;
        return true;
    }
    void setString() const override {
        char buf[100];
        std::snprintf(buf, sizeof buf, getFormatString(), m_value);
        m_str = buf;
    }
    static constexpr int kTypeCode = Code;  // getDataType's answer
    int getDataType() const override { return Code; }
    static const char* getFormatString() { return *Format; }

    T getValue() const { return m_value; }
    void setValue(T v) {
        m_value = v;
        setInternalNull(false);
        setUpdated(Updated);
    }

protected:
    T m_value;  // meaningless while the object is null
};

template <class T, int Code>
class ZYDBCompositeType : public ZYDBDataTypeBase {
public:
    ZYDBCompositeType() = default;
    explicit ZYDBCompositeType(const T& value) {
        setInternalNull(false);
        setUpdated(Updated);
        m_value = value;
    }

    // Writes `length` bytes at `offset`, growing the value as needed.
    bool setData(const char* src, int offset, int length, bool) override {
        if (src == nullptr || offset < 0 || length < 0) return false;
        size_t end = static_cast<size_t>(offset) + static_cast<size_t>(length);
        if (m_value.size() < end) m_value.resize(end);
        std::memcpy(m_value.data() + offset, src, static_cast<size_t>(length));
        m_valueFresh = false;
        return true;
    }
    void clearMemoryOnNULL() override { m_value = T(); }
    void setString() const override { m_str = m_value; }
    static constexpr int kTypeCode = Code;  // getDataType's answer
    int getDataType() const override { return Code; }

    const T& getValue() const { return m_value; }
    void setValue(const T& v) {
        m_value = v;
        setInternalNull(false);
        setUpdated(Updated);
    }

protected:
    T m_value;
};

class ZYDB_string : public ZYDBCompositeType<std::string, 6> {
public:
    ZYDB_string() = default;
    // `text` must not be null; the database layer passes "" for a null argument.
    explicit ZYDB_string(const char* text) : ZYDBCompositeType(std::string(text)) {}
    explicit ZYDB_string(const std::string& text) : ZYDBCompositeType(text) {}
};

using ZYDB_int = ZYDBPrimitiveType<int, &ZYDB_int_format, 1>;
using ZYDB_int64 = ZYDBPrimitiveType<long long, &ZYDB___int64_format, 4>;
