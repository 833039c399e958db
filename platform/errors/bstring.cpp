#include "platform/errors/bstring.h"

// Out of line so that the class's virtual table lives in one object file.
bstring::~bstring() = default;
