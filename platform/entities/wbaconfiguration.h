// WBAConfiguration: the replication (WBA) configuration of a client's replication set as it was at a
// point in time: where the replicated data of each source path is kept. A browse configuration keeps one
// for the life of its session; it is used by one thread at a time.
#pragma once

#include <string>
#include <utility>
#include <vector>

class WBAConfiguration {
public:
    // toTime: the configuration in force at that time; 0 or 0x7fffffff: the current one (no limit).
    WBAConfiguration(unsigned long clientId, unsigned long backupSetId, unsigned int toTime);
    ~WBAConfiguration();

    // Reads the replication pairs of the client's replication set (the backup set given, or the
    // client's only one when 0). 0 when loaded; 1 when the client has no replication set in force;
    // 2 when its pairs name more than one destination; another value: the database error.
    int Load();

    // The pairs (source prefix, destination prefix) whose source prefix holds `path` (equal, or followed
    // by a separator; '/' and '\' are the same). True when at least one matched; `pairs` then holds
    // them. ignoreCase: compare without regard to letter case.
    bool Match(std::string path, std::vector<std::pair<std::string, std::string>>& pairs, bool ignoreCase);

    unsigned long long GetSourceRepSet() const { return m_sourceRepSet; }
    int GetDestHost() const { return m_destHost; }
    unsigned long long GetDestBackupSet() const { return m_destBackupSet; }
    unsigned long long GetDestFileSystemAppType() const { return m_destAppType; }

private:
    unsigned long m_clientId;
    unsigned long m_backupSetId;
    unsigned int m_toTime;
    unsigned long long m_sourceRepSet = 0;
    int m_destHost = 0;
    unsigned long long m_destBackupSet = 0;
    unsigned long long m_destAppType = 0;
    std::vector<std::pair<std::string, std::string>> m_pairs;  // loaded by Load()
};
