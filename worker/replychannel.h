// CReplyChannel: how one request's answer to its caller ends. It keeps back the end of a fast browse
// while a count pass may follow (so the caller gets one end for a page and its count), marks the count
// pass, and closes the answer once its end went out. Owned by one worker; touched only by the thread
// holding that worker's lock.
#pragma once

#include <optional>
#include <string>

class CReplyChannel {
public:
    // An end kept back: the serialised end response, or none when the end came without a text.
    // No default member initialisers: std::optional of a nested class must see it constructible while
    // this class is still being defined.
    struct THeldEnd {
        bool hasText;
        std::string xml;
        const char* text() const { return hasText ? xml.c_str() : nullptr; }
    };

    // ---- the end that went out
    // Whether one more answer may still go to the caller: not once its end went out (the answer is
    // logged as dropped then, as it would arrive after the caller closed the browse).
    bool admits(const std::string& xml) const;
    void markEndSent() { m_endSent = true; }
    bool endSent() const { return m_endSent; }

    // ---- an end held back while a count pass may follow
    // From now on an end that arrives is kept instead of processed.
    void holdEnd() { m_holding = true; }
    // True when the end was kept (the caller processes nothing now); false when it is not held back.
    // A later end replaces one kept before.
    bool keepEnd(const char* endXml);
    // Stops holding and hands back the end kept meanwhile, once; none when no end arrived.
    std::optional<THeldEnd> releaseEnd();
    // Stops holding and forgets a kept end: the caller's end comes from elsewhere.
    void dropEnd();

    // ---- the count pass: a second fast browse whose items are counts
    // The count pass has an end of its own, which supersedes one kept from the page.
    void beginCountPass();
    void endCountPass() { m_countPass = false; }
    bool countPass() const { return m_countPass; }

private:
    bool m_endSent = false;          // the end response went out: nothing more is written
    bool m_holding = false;          // an end that arrives is kept back
    std::optional<THeldEnd> m_held;  // the end kept back, if one arrived
    bool m_countPass = false;        // the running fast browse is the count pass
};
