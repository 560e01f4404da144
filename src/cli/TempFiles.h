// Temporary output files that must not outlive an interrupted run.
//
// A file is registered while it exists under its temporary name. SIGINT,
// SIGTERM, SIGHUP and SIGPIPE (standard output closed by its reader) remove
// every registered file, then end the process by the same signal with its
// default action. Registering, unregistering and the
// renames that publish finished files happen with these signals blocked, so
// the handler never sees the list half changed and a set of outputs is renamed
// into place completely or not at all.
#pragma once

#include <signal.h>

#include <string>

namespace regionfeat {

// Installs the handler for the four signals; a signal that the process
// inherited as ignored stays ignored. Called once, early in main.
void InstallInterruptCleanup();

// Blocks the four signals for its lifetime; one that arrives meanwhile is
// delivered when the block ends.
class SignalBlock {
public:
    SignalBlock();
    ~SignalBlock();
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t m_saved;
};

// Call only inside a SignalBlock.
void RegisterTempFile(const std::string& path);
void UnregisterTempFile(const std::string& path);

// Removes every registered file at once; async-signal-safe, for handlers of
// other signals that end the process (MappedFile.cpp).
void RemoveTempFilesNow();

}  // namespace regionfeat
