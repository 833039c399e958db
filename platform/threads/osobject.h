// Common root of the thread and event wrappers, so that owners can hold and delete them alike.
// No state; safe from any thread.
#pragma once

class OSObject {
public:
    OSObject() = default;
    virtual ~OSObject() = default;
    OSObject(const OSObject&) = delete;
    OSObject& operator=(const OSObject&) = delete;
};
