/* The C interface of the NAS live-browse plug-in, the shared library "NASLiveBrowse.dll" that the
 * browse worker loads once per process with the dynamic loader. A plug-in exports the two entry points
 * below; it may also export the release entry point, which the worker then calls for every object it
 * made. Any thread may call; a plug-in object is used by one thread at a time. */
#ifndef NASLIVEBROWSE_ABI_H
#define NASLIVEBROWSE_ABI_H

#ifdef __cplusplus
extern "C" {
#endif

#define NASLIVEBROWSE_LIBRARY_NAME "NASLiveBrowse.dll"
#define NASLIVEBROWSE_INIT_SYMBOL "InitNASLiveBrowseObject"
#define NASLIVEBROWSE_MOUNT_SYMBOL "GetNASLiveBrowseSnapMountParams"
#define NASLIVEBROWSE_RELEASE_SYMBOL "ReleaseNASLiveBrowseObject"

/* Results of GetNASLiveBrowseSnapMountParams. */
enum {
    NASLIVEBROWSE_OK = 0,             /* *mountParams holds the mount description */
    NASLIVEBROWSE_NO_SNAPSHOT = 1,    /* no snapshot to mount */
    NASLIVEBROWSE_NO_CREDENTIALS = 3, /* no NDMP credentials for the file server */
};

/* A new plug-in object; null when none can be made. */
typedef void* (*InitNASLiveBrowseObject_fn)(void);

/* The snapshot mount description of a subclient's snapshot archive file. mode: 2 (live browse);
 * flag: 1. On NASLIVEBROWSE_OK, *mountParams points to NUL-terminated text owned by the object, valid
 * until the object's next call or its release. */
typedef int (*GetNASLiveBrowseSnapMountParams_fn)(void* object, int mode, unsigned int subclientId,
                                                  unsigned int copyPrecedence, long long snapArchFileId,
                                                  int flag, const char** mountParams);

/* Frees an object made by InitNASLiveBrowseObject (optional entry point). */
typedef void (*ReleaseNASLiveBrowseObject_fn)(void* object);

#ifdef __cplusplus
}
#endif

#endif
