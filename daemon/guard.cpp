#include "daemon/guard.hpp"

#include "daemon/reply.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {
// The request of the guarded operation running on this thread; cleared once answered.
thread_local fuse_req_t current_request = nullptr;
}  // namespace

void mark_answered(fuse_req_t req) {
  if (req != nullptr && req == current_request) current_request = nullptr;
}

GuardedRequest::GuardedRequest(fuse_req_t req) : previous(current_request) {
  current_request = req;
}

GuardedRequest::~GuardedRequest() {
  current_request = previous;
}

bool GuardedRequest::unanswered() const {
  return current_request != nullptr;
}

void report_runtime_error(const RuntimeError& error) {
  auto out = open_crash_report();
  *out << "INTERNAL ERROR: " << error.what() << std::endl;
  *out << "Backtrace (decode with devtools/decode_backtrace):" << std::endl;
  *out << error.backtrace() << std::endl;
}

void report_unhandled_exception(const std::string& name) {
  auto out = open_crash_report();
  *out << "INTERNAL ERROR: Unhandled exception in " << name << "():" << std::endl;
  *out << boost::current_exception_diagnostic_information(true) << std::endl;
}

void report_unknown_inode(const std::string& name, const UnknownInode& error) {
  log_warning(boost::format("%s(): %s, replying ESTALE") % name % error.what());
}

}  // namespace quarnix
