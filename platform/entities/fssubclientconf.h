// FSSubclientConf: the subclient configuration of one file-system backup set as it was at a point in
// time: its subclients in number order with their content lists (the paths each backs up and the paths
// it leaves out), and the directory list that says which subclient a browse path belongs to.
// Made and used by one thread (a browse configuration loads one per session and then only reads it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/entities/apptypes.h"

class ApplicationId;

// Receives content lines one by one (FSSubclientConf::nodirs).
class FSCallback {
public:
    virtual ~FSCallback();
    // 0 to go on; anything else stops the listing.
    virtual int putLine(const char* line) = 0;
};

// One entry of a directory list.
struct TBrowseItem {
    std::string path;
    std::string displayName;
    uint8_t excluded = 0;        // the path is left out of its subclient's content
    uint8_t otherSubclient = 0;  // the path belongs to another subclient (subclientNumber)
    uint32_t subclientNumber = 0;
    int32_t lineNumber = 0;  // the content line the entry comes from
};

// One directory of a subclient's content: its path and the suffix the content line adds to it.
struct FSSubclientDir {
    std::string path;
    std::string suffix;
};

// Which subclient a browse path belongs to, and the content entries under it.
class FSSubclientDirlist {
public:
    FSSubclientDirlist(int root, std::vector<TBrowseItem> items) : m_root(root), m_items(std::move(items)) {}
    // The number of the subclient the path belongs to.
    int getRoot() const { return m_root; }
    // False when there is no (further) entry; `item` is left alone then.
    bool getFirstBrowseItem(TBrowseItem& item);
    bool getNextBrowseItem(TBrowseItem& item);

private:
    int m_root;
    std::vector<TBrowseItem> m_items;
    size_t m_next = 0;
};

class FSSubclientConf {
public:
    explicit FSSubclientConf(unsigned long appType);
    ~FSSubclientConf();
    FSSubclientConf(const FSSubclientConf&) = delete;
    FSSubclientConf& operator=(const FSSubclientConf&) = delete;

    // On: load() reads the configuration as it was at its time (what a restore to that time sees);
    // off (the default): the current one.
    void setCalledFromStartRestore(bool on) { m_fromRestore = on; }

    // Reads the subclients of the application's backup set (its client and this application type) and
    // their content lines, as they were at `toTime` when called from a restore (0 or 0x7FFFFFFF: now).
    // The number of subclients, or a negative value: -1 no such backup set or no subclient, -2 a
    // database error.
    int load(ApplicationId* application, unsigned long toTime, bool withContent);
    int getNumSubclients() const { return static_cast<int>(m_subclients.size()); }
    // The name of subclient `number` (1-based), or null.
    const char* numberToName(int number) const;
    // The content paths (not the exclusions) of subclient `number`, in line order: the line count, or
    // -1 for an unknown subclient or a callback that stopped the listing.
    int nodirs(FSCallback* callback, int number);
    // The directory list of `path`: the subclient it belongs to (the one whose content line covers it
    // most closely, else the first with content under it) and the entries at or under it: the path
    // itself or the content lines under it, the exclusions of that subclient and the content of other
    // subclients under it. Null when no subclient's content is at, above or under the path.
    FSSubclientDirlist* createDirlist(const char* path, bool withExclusions);

    // Whether the paths of `appType` compare with regard to letter case: 0 with `caseSensitive` set
    // (false for the file systems whose names ignore case), never an error today.
    int checkCaseSensitivity(apptype::EAppType appType, bool& caseSensitive) const;
    // How this configuration's paths compare; case-sensitive until switched.
    void caseSensitive() { m_caseSensitive = true; }
    void caseInsensitive() { m_caseSensitive = false; }
    bool isCaseSensitive() const { return m_caseSensitive; }

private:
    struct Line {
        std::string path;
        std::string canonical;  // for comparisons: '\' as '/', lower case, no trailing separator
        std::string displayName;
        int lineNumber;
        bool exclusion;
    };
    struct Subclient {
        unsigned long id;
        std::string name;
        std::vector<Line> lines;
    };

    unsigned long m_appType;
    bool m_fromRestore = false;
    bool m_caseSensitive = true;
    std::vector<Subclient> m_subclients;
};
