#include "platform/hubdb/seed_planning.h"

namespace hubdb {

using namespace seedvalues;

int PlanningSeed::addVmProperty(int jobId, const std::string& name, const std::string& value) {
    return checked(
        m_seed.insertRow("APP_VMPROP", {{"jobid", I(jobId)}, {"attrName", T(name)}, {"attrVal", T(value)}}));
}

int PlanningSeed::addComponentProperty(int componentType, int componentId, int propertyTypeId,
                                       const std::string& value) {
    return checked(m_seed.insertRow("APP_ComponentProp", {{"componentType", I(componentType)},
                                                          {"componentId", I(componentId)},
                                                          {"propertyTypeId", I(propertyTypeId)},
                                                          {"stringVal", T(value)},
                                                          {"created", I(0)},
                                                          {"modified", I(0)}}));
}

int PlanningSeed::addJobAction(int clientId, int mediaAgentId, int appType, int opType, int appId,
                               int action) {
    return checked(m_seed.insertRow("JMJobAction", {{"clientId", I(clientId)},
                                                    {"mediaAgentID", I(mediaAgentId)},
                                                    {"appType", I(appType)},
                                                    {"optype", I(opType)},
                                                    {"appId", I(appId)},
                                                    {"action", I(action)}}));
}

}  // namespace hubdb
