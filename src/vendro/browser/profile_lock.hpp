#pragma once
// Chromium marks a profile directory as in use with a "SingletonLock" symlink whose target is
// "HOST-PID". A second browser started on that directory would hand its work to the first one and
// exit, which an automation driver must never do.

#include <filesystem>

namespace vendro::browser {

// Checks `profile_dir` before a launch. A lock held by a live process on this host throws
// ProfileInUseError naming the directory and the process; a lock left by a dead process is
// removed (with its "SingletonSocket" and "SingletonCookie" companions). A lock from another
// host is left to Chromium, which reports it itself.
void check_profile_lock(const std::filesystem::path& profile_dir);

}  // namespace vendro::browser
