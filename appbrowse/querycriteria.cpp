#include "appbrowse/querycriteria.h"

databrowse::Criteria singleValueCriterion(int attribute, int criteriaOperator, const std::string& value) {
    databrowse::FilteredBrowseCriteriaValue filter;
    filter.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, attribute);
    filter.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator, criteriaOperator);
    filter.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {value});
    databrowse::Criteria criterion;
    criterion.setObjectAccessor(filter, databrowse::Criteria::f::criteria);
    criterion.setint64(databrowse::Criteria::f::c_79f44d, 0);
    return criterion;
}

size_t addToDataQueries(databrowse::Querylist& list, const databrowse::Criteria& criterion) {
    auto* queries = list.getlistobject(databrowse::Querylist::f::queries, false);
    if (!queries) return 0;
    size_t added = 0;
    for (CNMessageBase& query : *queries) {
        if (query.getint64(databrowse::Query::f::type) != 0) continue;
        query.getlistobject(databrowse::Query::f::criteriaList, true)->push_back(criterion);
        ++added;
    }
    return added;
}
