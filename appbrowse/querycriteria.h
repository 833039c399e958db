// Filters that application roads add to a request's queries: one criterion of one value, appended to
// every data query (kind 0). Pure functions over the caller's messages; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/msg/msg_classes.h"

// The operator 0 of the index service's criteria, the one the mailbox and OneDrive filters use.
constexpr int kCriteriaOperatorDefault = 0;

// A criterion on `attribute` with `criteriaOperator` and `value` as its only value.
databrowse::Criteria singleValueCriterion(int attribute, int criteriaOperator, const std::string& value);
// Appends `criterion` to the criteria of every query of kind 0 in `list`, in list order; the number
// of queries it was added to.
size_t addToDataQueries(databrowse::Querylist& list, const databrowse::Criteria& criterion);
