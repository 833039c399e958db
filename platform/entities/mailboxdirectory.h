// The mailbox directory of the application manager (stand-in): whose mailbox is which (mailbox GUID
// and the older triplet path), who may browse a mailbox as a delegate, and whether a mailbox client was
// upgraded. Over APP_EmailConfigPolicyAssoc, APP_MailboxDelegate and the client's upgrade record; any
// thread, each call on the calling thread's connection.
#pragma once

#include <string>

// The byte between the parts of a mailbox triplet (server, store, mailbox alias).
constexpr char kMailboxTripletSeparator = '\x12';

// The mailbox of a user: the newest association whose owner is `userId`, or, for user 0 (a
// resource-domain user), the one whose GUID is `mailboxGuid`. Fills `mailboxGuid` and `triplet` where
// they are empty (the triplet stays empty when its server, store or alias is not recorded). True when
// the mailbox was found.
bool GetMailboxDetails(long userId, std::string& mailboxGuid, std::string& triplet);
// The same, telling a user the directory records no mailbox of from a directory that cannot be read.
enum class EMailboxFound { kFound, kNone, kUnreadable };
EMailboxFound findMailboxDetails(long userId, std::string& mailboxGuid, std::string& triplet);

// Whether `userId` (or, for user 0, the resource-domain user whose mailbox GUID is `ownMailboxGuid`)
// may browse `folder` of the mailbox `pathMailboxGuid` as a delegate: a delegation of the whole
// mailbox ("\"), of that folder or of a folder above it. GUIDs compare without braces and letter case,
// folders without letter case. False also when the delegations cannot be read.
bool canAccessExchDelegates(int userId, std::string ownMailboxGuid, std::string pathMailboxGuid,
                            std::string folder);

// Whether the client's agent was upgraded and when (seconds since 1970; 0 when never), from the
// client's upgrade record. `release` names the release the question is about; the record keeps one
// upgrade, the last. True when the answer is known (the client exists and its record can be read).
bool isClientUpgraded(int release, int clientId, bool& upgraded, unsigned long& upgradeTime);
