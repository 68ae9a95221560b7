// Owners of the libfuse objects of one run: arguments, session, signal
// handlers and mount, each undone by its destructor.
#pragma once

#include "daemon/daemon_state.hpp"

namespace quarnix {

class FuseArguments {
 public:
  FuseArguments() = default;
  ~FuseArguments() { fuse_opt_free_args(&args); }
  FuseArguments(const FuseArguments&) = delete;
  FuseArguments& operator=(const FuseArguments&) = delete;

  // False when libfuse could not allocate the argument.
  bool add(const char* argument) { return fuse_opt_add_arg(&args, argument) == 0; }
  fuse_args* get() { return &args; }

 private:
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
};

class FuseSession {
 public:
  FuseSession(FuseArguments& args, const fuse_lowlevel_ops& ops, void* userdata)
      : session(fuse_session_new(args.get(), &ops, sizeof ops, userdata)) {}
  ~FuseSession() {
    if (mounted) fuse_session_unmount(session);
    if (handlers_installed) fuse_remove_signal_handlers(session);
    if (session) fuse_session_destroy(session);
  }
  FuseSession(const FuseSession&) = delete;
  FuseSession& operator=(const FuseSession&) = delete;

  bool exists() const { return session != nullptr; }
  bool install_signal_handlers() {
    handlers_installed = fuse_set_signal_handlers(session) == 0;
    return handlers_installed;
  }
  bool mount(const char* mountpoint) {
    mounted = fuse_session_mount(session, mountpoint) == 0;
    return mounted;
  }
  fuse_session* get() { return session; }

 private:
  fuse_session* session;
  bool handlers_installed = false;
  bool mounted = false;
};

}  // namespace quarnix
