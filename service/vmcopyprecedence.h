// Copy precedence of a virtual-machine browse at the router: an end user's browse of a Linux VM whose
// hypervisor instance cannot browse its preferred copy (instance type 402) is moved from copy
// precedence 0 to -4 (the backup copy), as the registry value "~Indexing"/"PREFER_BACKUP_COPY" allows.
// A step of the router's task preparation, on its callback thread.
#pragma once

#include <string>

struct TDirectTask;

// The copy precedence the task takes for `copyPrecedence` of t's completed request (application
// type, operation, options and entity as t holds them); the instance-type route also writes -4 into
// the request's advanced options.
int resolveVmCopyPrecedence(TDirectTask& t, int copyPrecedence);
