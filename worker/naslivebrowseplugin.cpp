#include "worker/naslivebrowseplugin.h"

#include <dlfcn.h>

CNASLiveBrowsePlugin& CNASLiveBrowsePlugin::instance() {
    // Made (and the library loaded) once, whichever thread comes first.
    static CNASLiveBrowsePlugin* plugin = new CNASLiveBrowsePlugin();
    return *plugin;
}

CNASLiveBrowsePlugin::CNASLiveBrowsePlugin() {
    m_handle = dlopen(NASLIVEBROWSE_LIBRARY_NAME, RTLD_LAZY);
    if (!m_handle) {
        m_loadError = "Could not load DLL NASLiveBrowse";
        return;
    }
    m_init = reinterpret_cast<InitNASLiveBrowseObject_fn>(dlsym(m_handle, NASLIVEBROWSE_INIT_SYMBOL));
    if (!m_init) {
        m_loadError = "Failed to Get address of InitNASLiveBrowseObject()";
        return;
    }
    m_mount =
        reinterpret_cast<GetNASLiveBrowseSnapMountParams_fn>(dlsym(m_handle, NASLIVEBROWSE_MOUNT_SYMBOL));
    if (!m_mount) {
        m_init = nullptr;
        m_loadError = "Failed to Get address of GetNASLiveBrowseSnapMountParams()";
        return;
    }
    m_release =
        reinterpret_cast<ReleaseNASLiveBrowseObject_fn>(dlsym(m_handle, NASLIVEBROWSE_RELEASE_SYMBOL));
}

int CNASLiveBrowsePlugin::getSnapMountParams(unsigned int subclientId, unsigned int copyPrecedence,
                                             long long snapArchFileId, std::string& mountParams) {
    if (!isLoaded()) return -1;
    void* object = m_init();
    if (!object) return -1;
    const char* text = nullptr;
    const int rc = m_mount(object, 2, subclientId, copyPrecedence, snapArchFileId, 1, &text);
    mountParams = text ? text : "";
    if (m_release) m_release(object);
    return rc;
}
