// Every FUSE operation runs inside guarded_call: an exception becomes a crash
// report and, for an operation with a request not yet answered, an EIO reply.
#pragma once

#include <boost/exception/diagnostic_information.hpp>
#include <string>

#include "daemon/crash_report.hpp"
#include "daemon/daemon_state.hpp"
#include "support/errors.hpp"

namespace quarnix {

// Tracks the request of the operation running on this thread.
class GuardedRequest {
 public:
  explicit GuardedRequest(fuse_req_t req);
  ~GuardedRequest();
  GuardedRequest(const GuardedRequest&) = delete;
  GuardedRequest& operator=(const GuardedRequest&) = delete;

  // True when the request exists and nothing has answered it yet.
  bool unanswered() const;

 private:
  fuse_req_t previous;
};

void report_runtime_error(const RuntimeError& error);
void report_unhandled_exception(const std::string& name);
void report_unknown_inode(const std::string& name, const UnknownInode& error);

template <typename F>
void guarded_call(const std::string& name, fuse_req_t req, F& fn) {
  GuardedRequest guarded(req);
  int error = 0;
  try {
    fn();
    return;
  } catch (const UnknownInode& unknown) {
    // The kernel named an inode that is gone (an old export handle): stale.
    report_unknown_inode(name, unknown);
    error = ESTALE;
  } catch (const RuntimeError& runtime_error) {
    report_runtime_error(runtime_error);
    error = EIO;
  } catch (...) {
    report_unhandled_exception(name);
    error = EIO;
  }
  if (guarded.unanswered()) fuse_reply_err(req, error);
}

}  // namespace quarnix
