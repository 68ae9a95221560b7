// Changes to the directory of the cache file that must survive a crash or a
// power loss, not only the end of the process.
#pragma once

#include <string>

namespace quarnix {

// Makes the entries of the directory that holds `path` durable. Failures
// throw RuntimeError(failure_message, errno).
void sync_directory_of(const std::string& path, const std::string& failure_message);

// Removes `path`, when it exists, for good. Failures throw
// RuntimeError(failure_message, errno).
void remove_durably(const std::string& path, const std::string& failure_message);

}  // namespace quarnix
