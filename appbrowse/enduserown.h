// What an end user holds of her own in the data she sees only narrowed to it (apptype::family::
// kNarrowedForEndUser: her mailbox, her OneDrive folder; a virtual machine, which an end user's right does
// not cover at all), judged as a browse of that one entity judges it. A find across clients, which
// searches none of it for her, advises a find of the client alone only where that can answer her. Any
// thread; reads on the calling thread's connection.
#pragma once

#include <string>

#include "platform/entities/apptypes.h"

// "" when a browse of client `clientId`'s data of `appType` by end user `userId` is narrowed to something
// of hers, else why it shows her nothing (a sentence to follow "Client [c] holds data ...: ").
std::string endUserOwnDataMissing(long userId, long clientId, apptype::EAppType appType);

// Whether client `clientId`'s OneDrive data is indexed on V2 (where an end user is narrowed by her object
// id, else by her e-mail address); false when it cannot be told (logged).
bool oneDriveOnIndexingV2(long clientId, bool& v2);
// The e-mail address of user `userId` ("" when none is set); false when the user cannot be read.
bool userEmailAddress(long userId, std::string& email);
