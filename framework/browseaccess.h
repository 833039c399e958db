// What the browse-rights checks of a request share: the request's access text and the caller's token,
// the error a refused browse reports and the browse-access alert it raises. Used by the worker's
// authentication step, the VM end-user access check and the roads that send a request on, on the
// request's thread; no state.
#pragma once

#include <string>
#include <vector>

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

// The additional-flag list of a request (advanced block, advanced settings, additional-flag block);
// null when any of them is absent.
std::vector<CNMessageBase>* requestAdditionalFlags(databrowse::BrowseRequest& request);

// An additional flag that carries the caller's token: flag type 2, or named "token".
bool isTokenFlag(const CNMessageBase& flag);

// Takes the caller's token out of `request`: its element 13 and its token additional flags. The token
// proves the caller to the Hubmaster and goes no further: what is sent or prepared for another machine
// (a media agent, a mining service, a machine's launcher) never carries it.
void dropCallerToken(databrowse::BrowseRequest& request);

// The error the caller sees for a refusal by `checker`: the checker's own code and text when it has
// them, else code 3 with message evmsg::kBrowseAccessDenied rendered in `locale`.
TBrowseDenial browseDenialError(EvSecurityMgr& checker, unsigned long locale);

// Alert 3002, condition 4, about the task's Kelmarch, client, instance, app type and backup set, for
// user `userId`, with "\n<explanation>\n" as its text; recorded in the alert store.
void raiseBrowseAccessAlert(const EvRestoreTask& task, long userId, const char* explanation);
