// The job that ties child processes to their owner: closing its last handle ends every
// process in it, so none outlives an owner that ends, even one that crashes.
#pragma once

#include "base/Platform.h"

// A new job that ends every process in it when its last handle closes, or null when the
// platform makes none. Its handle is not inheritable: a copy in a child would keep the
// job, and so the child, alive after its owner.
HANDLE CreateKillOnCloseJob();
