// Exchange mailbox paths: the pure path utilities of mailbox browses (mailbox GUIDs and folders of
// "\MB\{guid}\folder" paths, triplet paths of the older layout). The worker's members that check a
// user's access to a mailbox and confine the browse (handleExchangeRequest, handleExchangeRequest2)
// live in mailboxaccess.cpp and run on the request's thread under the worker's lock; these functions
// are pure and run on any thread.
#pragma once

#include <string>

#include "platform/entities/apptypes.h"

// `in` with every triplet separator (byte 0x12) written as '*', as logs show a triplet. A filter keeps
// the separators themselves: as a pattern '*' would match more than the one mailbox.
void replaceOldExchDelim(const std::string& in, std::string& out);
// Equal after upper-casing every character.
bool CaseInsensitiveStringCompare(std::string a, std::string b);
// The folder of a mailbox path: the text after the mailbox GUID's closing brace without its leading
// separator and a trailing '\', "\" for the mailbox itself; the wildcard tails ("\**\*", "\**\", "\*")
// are left out. False when the path holds no closing brace.
bool getMbxFolderfromPath(std::string path, std::string& folder);
// The mailbox GUID of a path, from its first '{' through its first '}'; false (and empty) without one.
bool getMbxGUIDfromPath(std::string path, std::string& guid);
// The GUID without one pair of surrounding braces; any other text unchanged.
std::string getMbxGUID(std::string guid);

// Whether `path` is the mailbox `guid` (as getMbxGUIDfromPath gives it) or a path in it: "\MB\", the GUID,
// then the end or a separator ('\' or '/' throughout). The GUID of a path that names it elsewhere (below
// another's folder) is no mailbox the path is in.
bool isMailboxPathOf(const std::string& path, const std::string& guid);

// Application types browsed as mailboxes: 54, the older layout 56 and Monorun 137.
bool isMailboxAppType(apptype::EAppType appType);

// Root forms of a mailbox browse: "", "\", "\MB", "\MB\", "\MB\**\*" and a find below the top, "\**\*".
bool isMailboxRootPath(const std::string& path);
// A root form, or a path that ends right after its mailbox GUID (or one '\' after it).
bool isMailboxLevelPath(const std::string& path);
// Whether a path of the older layout lies in the mailbox of `triplet`: its parts (separated by '\' or
// the triplet separator) begin with the triplet's three parts, without regard to letter case.
bool isPathInTriplet(const std::string& path, const std::string& triplet);
