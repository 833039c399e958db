#include "platform/entities/adaptersbase.h"

AdaptersBase::AdaptersBase() = default;
AdaptersBase::~AdaptersBase() = default;
