// The index service's answer to an indexing-V2 browse request (the caller's databrowse::BrowseRequest
// as the Hubmaster completed it): for the subclients that the chosen index database lists, the items
// of the request's path at its point in time or over its range, narrowed by each subclient's retention
// sub-query, answered from the media agent's item index through the "BrowseRouter" the routing block
// names; and a one-line summary of what the request carries, for the service's journal. Pure over the
// index object it is given (one thread at a time, like the index).
#pragma once

#include <cstdint>
#include <string>

#include "platform/msg/msg_classes.h"
#include "tools/mediaagent/superbrowseanswer.h"

namespace mediaagent {

// "ma=<media agent> db=<chosen database> dbs=<databases listed> subclients=<ids,...>
// retention=<sub-queries> vmcriteria=<VM criteria> jobs=<job-list flags>"; empty fields when absent.
std::string describeV2Request(databrowse::BrowseRequest& request);

// True when the request carries a routing block with a chosen index database.
bool isV2IndexRequest(databrowse::BrowseRequest& request);

// Whom the request names as its session's owner: the user id of its advanced options (when set) and
// its user name (which a stop from the Hubmaster sets to the owner's user text).
TAnswerOwner ownerOfV2Request(databrowse::BrowseRequest& request);

// Reads the request into `plan`: one query per subclient of the chosen database that the index holds
// (for each data query of the request, or one for the path when it has none); false (with `why`) when
// the index holds none of them.
bool planV2Browse(databrowse::BrowseRequest& request, CItemIndex& index, TIndexBrowsePlan& plan,
                  std::string& why);

// Answers one request from the index file at `indexPath` over a connection to the "BrowseRouter" its
// routing block names (a request the index cannot plan gets an error and the end); false when the
// router cannot be reached. `outcome` says what was done. With `caller`, on the caller's connection.
bool sendV2BrowseAnswer(databrowse::BrowseRequest& request, const std::string& indexPath, uint32_t batchSize,
                        std::string& outcome, CZyNetwork* caller = nullptr);

// As a media agent that predicts the media of a restore does: sends the "BrowseRouter" the request's
// routing block names one databrowse::MediaPredictionConvReq and one Indexing::PredictionConversionReqList,
// both holding the logical media of the archive files (up to the request's to time) of the chosen
// database's subclients that the index holds, and reads the reply to each on the same connection. False
// when the router cannot be reached or a reply does not come; `outcome` names the replies and what they
// hold.
bool sendPredictionConversions(databrowse::BrowseRequest& request, const std::string& indexPath,
                               std::string& outcome);

}  // namespace mediaagent
