// What the browse-rights checks of a request share: the request's access text, the error a refused
// browse reports and the browse-access alert it raises. Used by the worker's authentication step and
// the VM end-user access check on the request's thread; no state.
#pragma once

#include <string>

#include "platform/msg/msg_classes.h"

class EvRestoreTask;
class EvSecurityMgr;

// The error of a refusal.
struct TBrowseDenial {
    databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_NONE;
    std::string text;
};

// The request's password-protected access text (element 29), empty when unset.
std::string browseAccessText(databrowse::BrowseRequest& request);

// The error the caller sees for a refusal by `checker`: the checker's own code and text when it has
// them, else code 3 with message evmsg::kBrowseAccessDenied rendered in `locale`.
TBrowseDenial browseDenialError(EvSecurityMgr& checker, unsigned long locale);

// Alert 3002, condition 4, about the task's Kelmarch, client, instance, app type and backup set, for
// user `userId`, with "\n<explanation>\n" as its text; recorded in the alert store.
void raiseBrowseAccessAlert(const EvRestoreTask& task, long userId, const char* explanation);
