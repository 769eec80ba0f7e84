#include "runner/RunnerSeams.h"

#include "backup/MirrorRun.h"
#include "client/ChatLocator.h"
#include "client/ProcessWatch.h"
#include "runner/Worker.h"
#include "shell/TrayWindow.h"

namespace {

bool RealLocalNow(std::tm* now)
{
    std::time_t seconds = std::time(nullptr);
    if (seconds == static_cast<std::time_t>(-1)) return false;
    // The C runtime keeps localtime's result per thread; copy it out at once.
    const std::tm* local = std::localtime(&seconds);
    if (!local) return false;
    *now = *local;
    return true;
}

} // namespace

RunnerSeams RealRunnerSeams()
{
    RunnerSeams seams{};
    seams.showBalloon = ShowBalloon;
    seams.setTrayAlert = SetTrayAlert;
    seams.launchCompanion = LaunchCompanion;
    seams.isProcessRunning = IsProcessRunning;
    seams.locateChatData = LocateChatData;
    seams.verifyCopyTool = VerifyCopyTool;
    seams.runMirror = RunMirror;
    seams.localNow = RealLocalNow;
    seams.startWorker = StartWorker;
    return seams;
}

RunnerSeams runnerSeams = RealRunnerSeams();
