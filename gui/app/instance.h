// The guard that keeps one instance of the program per user.
//
// The first process takes an exclusive flock on "veltrana.lock" in the
// user's runtime folder (the data folder when the runtime folder cannot
// hold the file) and keeps it until it ends; the kernel drops the lock with
// the process however it ends, so a crash never leaves the program locked
// out. A second process finds the lock taken and is told so.
//
// Used by main on the main thread; one guard per process. Nothing throws.
#pragma once

#include <string>

enum PkInstanceState {
    PK_INSTANCE_FIRST,    // the lock is ours
    PK_INSTANCE_RUNNING,  // another process holds it
    PK_INSTANCE_FAILED,   // no lock file could be opened
};

class PkInstanceLock {
public:
    PkInstanceLock() = default;
    PkInstanceLock(const PkInstanceLock &) = delete;
    PkInstanceLock &operator=(const PkInstanceLock &) = delete;
    // Releases the lock (closes the file).
    ~PkInstanceLock();

    // Tries once; the file's folder is made when missing.
    PkInstanceState acquire(const std::string &name);
    void release();

    // The lock file in use; empty before acquire.
    std::string path;

private:
    int fd = -1;
};

// Tells the user a second instance is refused: a modal message box with
// the text, the caption and one OK button when a display can be opened,
// else a line on the standard error stream.
void pk_show_system_message(const std::string &caption, const std::string &text);
