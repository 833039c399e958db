// Browse by job and by archive file at the router: a request that names a job, or an archive file of
// the Hubmaster, becomes an ordinary request of that job's or file's subclient, with the time range of
// the file or of the job that wrote it. Steps of the router's direct road, on its callback thread.
#pragma once

#include <string>

#include "platform/msg/msg_classes.h"

// The job step: the job's subclient becomes the request's entity. False with `errorText` set when the
// job cannot be resolved; a job id below 1 changes nothing.
bool applyJobSelection(databrowse::BrowseRequest& request, std::string& errorText);
// The archive-file step: the file's subclient becomes the entity and the time range is bounded by the
// file (index files) or by its backup job. False with `errorText` set on failure; a reference without
// a file id or Kelmarch number changes nothing.
bool applyArchiveFileSelection(databrowse::BrowseRequest& request, std::string& errorText);
