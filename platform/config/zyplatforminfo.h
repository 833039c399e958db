// ZYPlatformInfo: the product registry stand-in. Registry values are read by section and name from one
// plain text file; any thread may read at any time.
//
// Where the file is: the path the host sets with ZYPlatformInfo::setRegistryPath(), else the
// environment variable HUB_REGISTRY, else there is no registry and every key is absent.
//
// File format (INI-like, UTF-8 text):
//     # comment            ; comment
//     [EventManager]
//     DebugLevel = 2
//     nBrowseTimeout = 0x3c
// Section and name are matched without regard to letter case; surrounding blanks are trimmed; the value
// is the rest of the line after the first '='. A name outside any section belongs to the section "".
// A later line for the same section and name overrides an earlier one.
//
// Each read checks the file's identity and modification time (one stat) and re-parses it only when it
// changed, so callers may read afresh at every use; inside a CReadScope the thread looks once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ZYPlatformInfo {
public:
    // The 64-bit reader: stores the value and returns 1 when the key exists and holds a number
    // (decimal, optionally signed, or hex with 0x); returns 0 and leaves *value alone otherwise.
    // A negative number is stored as its two's complement; a number beyond 64 bits is clamped.
    static int getNumber(const char* section, const char* key, unsigned long* value);

    // The 32-bit wrapper every numeric switch goes through. Stores only when the key exists, so the
    // caller's initial value is its default. A value above 32 bits is clamped to 0xFFFFFFFF and the
    // clamping is logged (never silently cut to its low 32 bits). Returns the 64-bit reader's result.
    static int getNumber(const char* section, const char* key, unsigned int* value);

    // Signed reader: stores the value and returns 1 when the key exists and holds a number that fits
    // in an int (decimal or hex; negative allowed); a value outside the int range is clamped to it and
    // logged. Returns 0 and leaves *value (the caller's default) alone otherwise.
    static int getRegInt(const char* section, const char* key, int* value);

    // Text value of a key: returns 1 and stores the text when the key exists, else 0 and leaves *value.
    static int getString(const char* section, const char* key, std::string* value);

    // A secret (a key) held in the registry: as getString, but refused (0, logged as an error) while
    // the registry file is open to anyone but its owner, so a leaked key is never put to use.
    static int getSecret(const char* section, const char* key, std::string* value);

    // Writes (or replaces) one value in the registry file, creating the file and the section when
    // needed. For the host and tests; the file is replaced atomically, readable by its owner only
    // (mode 0600) and synced to disk before it replaces the old one. Returns true on success.
    static bool setString(const char* section, const char* key, const std::string& value);
    static bool setNumber(const char* section, const char* key, unsigned long value);
    // Removes one value; true when the file was rewritten (also when the key was absent).
    static bool removeValue(const char* section, const char* key);

    // A multi-string value (texts each closed by NUL, the run closed by an empty text), written in the
    // file as its texts separated by the two characters "\0". Copies at most `size` bytes of the run
    // into `buffer` and returns how many it copied (a value longer than the buffer is cut there, as a
    // registry read into a fixed buffer is); 0 when the key is absent.
    static size_t getMultiString(const char* section, const char* key, char* buffer, size_t size);

    // The kind of machine this process runs on: bit 2 set on the Hubmaster (the default), read from
    // "Base" / "nZYPlatformType".
    static unsigned int getZYPlatformType();

    // Where the registry file lives. An empty path goes back to HUB_REGISTRY.
    static void setRegistryPath(const std::string& path);
    static std::string getRegistryPath();

    // How the registry reports its own diagnostics (clamped values, unreadable numbers). The logger
    // installs itself here when it is linked (platform/log depends on this component, not the other
    // way round); without a sink the text goes to stderr.
    using DiagnosticSink = void (*)(int level, const char* text);
    static void setDiagnosticSink(DiagnosticSink sink);

    // While one is open on a thread, that thread's reads see the registry as the first of them found it
    // (the file is looked at once, not at every value), and a secret's file is checked once; a write
    // of the thread's own is seen by its next read. For the span of one request; a scope opened inside
    // another joins it. Opened and closed on the same thread.
    class CReadScope {
    public:
        CReadScope();
        ~CReadScope();
        CReadScope(const CReadScope&) = delete;
        CReadScope& operator=(const CReadScope&) = delete;

    private:
        std::unique_ptr<struct TZyRegistryPin> m_pin;  // null: joined an outer scope
    };
};
