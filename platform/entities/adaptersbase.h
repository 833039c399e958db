// AdaptersBase: the base of the application-manager adapters (access control, miscellaneous options,
// stored-procedure runner, ...). It keeps the text of the adapter's last error. An adapter is a local of
// one thread, made for one or two calls.
#pragma once

#include <string>

class AdaptersBase {
public:
    AdaptersBase();
    virtual ~AdaptersBase();
    AdaptersBase(const AdaptersBase&) = delete;
    AdaptersBase& operator=(const AdaptersBase&) = delete;

    virtual AdaptersBase* getAdaptersInterface() { return this; }
    // The text of the last error; empty when the last call succeeded.
    virtual std::string getErrorString() const { return m_errorString; }

protected:
    void setErrorString(const std::string& text) { m_errorString = text; }
    void clearErrorString() { m_errorString.clear(); }

private:
    std::string m_errorString;
};
