#include "base/ProcessJob.h"

#include "base/ScopedWin.h"

HANDLE CreateKillOnCloseJob()
{
    // No security attributes: the handle is not inheritable.
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return nullptr;
    return job.release();
}
