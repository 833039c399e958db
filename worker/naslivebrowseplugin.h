// The NAS live-browse plug-in as the worker uses it: loaded once per process under its library name,
// with its entry points resolved once and kept. Any thread; the load happens once, under a once-flag.
#pragma once

#include <string>

#include "worker/naslivebrowse_abi.h"

class CNASLiveBrowsePlugin {
public:
    // The process's plug-in, loaded on first use; a failed load is remembered (and logged once).
    static CNASLiveBrowsePlugin& instance();

    // False when the library or one of its two entry points could not be had; `why` holds the log line.
    bool isLoaded() const { return m_init != nullptr && m_mount != nullptr; }
    const std::string& loadError() const { return m_loadError; }

    // One object's use: a fresh object, the mount description, the object released when the plug-in
    // can release it. -1 when no object could be made; else the plug-in's result with `mountParams`.
    int getSnapMountParams(unsigned int subclientId, unsigned int copyPrecedence, long long snapArchFileId,
                           std::string& mountParams);

private:
    CNASLiveBrowsePlugin();
    ~CNASLiveBrowsePlugin() = default;  // the library stays loaded for the process

    void* m_handle = nullptr;
    InitNASLiveBrowseObject_fn m_init = nullptr;
    GetNASLiveBrowseSnapMountParams_fn m_mount = nullptr;
    ReleaseNASLiveBrowseObject_fn m_release = nullptr;  // optional
    std::string m_loadError;
};
