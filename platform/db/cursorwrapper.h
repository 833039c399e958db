// CursorWrapper / SprocWrapper: run an XML-answering stored procedure family X as a cursor and hand
// back its whole answer as one XML text. A wrapper lives on the stack of the one thread that uses it.
#pragma once

#include <memory>
#include <string>

#include "platform/db/dbtable.h"
#include "platform/log/evdebug.h"

template <class X, class X_t>
class CursorWrapper {
public:
    CursorWrapper() = default;
    ~CursorWrapper() {
        if (m_isOpen) closeCursor(nullptr);
        m_isOpen = false;
        m_cursor.reset();
    }
    CursorWrapper(const CursorWrapper&) = delete;
    CursorWrapper& operator=(const CursorWrapper&) = delete;

    // The procedure object; the caller gives it its arguments with setValues.
    X* getCursor() { return m_cursor.get(); }

    // Runs the procedure and reads its whole answer. -1 on a failure of any step (the database's
    // text in *error when given, and in the wrapper); 0 otherwise. An empty answer leaves `xml` alone.
    int getXMLFromCursor(std::string& xml, std::string* error, bool version11, bool addHeader) {
        std::unique_ptr<zydb::CProcObject> unused;
        return getXMLFromCursor(xml, error, version11, addHeader, unused);
    }
    // The same, and the object the answer was written from when the procedure gave one (see
    // zydb::CProcObject); null otherwise.
    int getXMLFromCursor(std::string& xml, std::string* error, bool version11, bool addHeader,
                         std::unique_ptr<zydb::CProcObject>& object) {
        object.reset();
        if (!m_cursor) return -1;
        int code = m_cursor->openCursor();
        if (code != 0) {
            keepError(code, error);
            m_cursor->closeCursor();
            return -1;
        }
        std::string text;
        code = m_cursor->getCursorText(text);
        if (code != 0) {
            keepError(code, error);
            m_cursor->closeCursor();
            return -1;
        }
        std::unique_ptr<zydb::CProcObject> given = m_cursor->takeResultObject();
        code = m_cursor->closeCursor();
        if (code != 0) {
            keepError(code, error);
            return -1;
        }
        object = std::move(given);
        if (!text.empty()) {
            if (addHeader) {
                xml = std::string(version11 ? "<?xml version='1.1' encoding='utf-8' ?>"
                                            : "<?xml version='1.0' encoding='utf-8' ?>") +
                      text;
            } else {
                xml = text;
            }
        }
        return 0;
    }

    // Closes the cursor when it is marked open; a failure is logged and reported, the mark cleared.
    int closeCursor(std::string* error) {
        int code = 0;
        if (m_isOpen && m_cursor) {
            code = m_cursor->closeCursor();
            if (code != 0) {
                m_errorText = m_cursor->getErrorStr(code);
                EvDebug log(nullptr);
                log.setPrefixMessage(m_callerName ? m_callerName : "CursorWrapper");
                log.debugLvl(0, "Close Cursor on [%s] %s failed. Error [%s]", m_cursor->getTableName(),
                             m_kind ? m_kind : "", m_errorText.c_str());
                if (error) *error = m_errorText;
            }
        }
        m_isOpen = false;
        return code;
    }

    const std::string& getErrorText() const { return m_errorText; }
    bool isOpen() const { return m_isOpen; }
    const char* getKind() const { return m_kind; }

protected:
    void keepError(int code, std::string* error) {
        m_errorText = m_cursor->getErrorStr(code);
        if (error) *error = m_errorText;
    }

    long long m_reserved = 0;     // not used by the wrapper
    std::unique_ptr<X> m_cursor;  // the procedure object
    DBtran* m_tran = nullptr;     // not owned
    bool m_isOpen = false;        // nothing in the service sets it
    const char* m_callerName = nullptr;
    std::string m_text;  // not used by the wrapper
    const char* m_kind = nullptr;
    std::string m_errorText;
    long long m_reserved2 = 0;  // not used by the wrapper
};

template <class X, class X_t>
class SprocWrapper : public CursorWrapper<X, X_t> {
public:
    SprocWrapper(const char* callerName, DBtran* tran) {
        this->m_callerName = callerName;
        this->m_tran = tran;
        this->m_isOpen = false;
        this->m_kind = "SProcedure";
        this->m_cursor = std::make_unique<X>(tran);
        this->m_text.clear();
        this->m_errorText.clear();
    }
};
