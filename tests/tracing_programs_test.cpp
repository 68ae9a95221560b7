// What both tracing programs, quarnix_recorder and quarnix_prefetchd, do
// alike around their tracer: the names they create in a shared directory, a
// request to end them, and a tracer that crashes. Each runs on a real quarnix
// mount with quarnix_probe and the stand-in bpftrace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "profile/profile_file.hpp"
#include "support/unique_fd.hpp"
#include "tests/fixtures/process.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/standin_bpftrace.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr int exit_no_lock_file = 3;
constexpr int exit_tracer_failed = 9;

struct Program {
  std::string name;
  std::string binary;
  bool recorder;
};

const std::vector<Program>& programs() {
  static const std::vector<Program> all = {
      {"quarnix_recorder", quarnix_recorder_binary(), true},
      {"quarnix_prefetchd", QUARNIX_PREFETCHD_BINARY, false},
  };
  return all;
}

// One mounted file, a kernel-trace profile for the prefetch daemon and a root
// file that nothing may change; each run has a working directory of its own.
struct TracingGround {
  TracingGround() {
    write_file(ground.source / "a", random_bytes(16384, 1));
    write_file(precious, "precious\n");
    write_profile(profile.string(), ProfileSettings{true, 4096, 1}, {{hash_path("a"), "a"}},
                  BlockNode());
  }

  std::string read_of_a() const {
    struct stat status {};
    EXPECT_EQ(stat((ground.mountpoint / "a").c_str(), &status), 0);
    return "[2000] file_read_iter(ino=" + std::to_string(status.st_ino) +
           ", off=0, len=4096) -> 4096\n";
  }

  // A new working directory that everyone may write, as /tmp.
  fs::path shared_work() {
    const fs::path work = shared / ("work" + std::to_string(++runs));
    fs::create_directory(work);
    share_directory(shared.path(), work);
    return work;
  }

  std::vector<std::string> command(const Program& program,
                                   std::vector<std::string> options = {}) const {
    std::vector<std::string> words{program.binary};
    words.insert(words.end(), options.begin(), options.end());
    if (!program.recorder) words.push_back(profile.string());
    words.push_back(ground.mountpoint.string());
    return words;
  }

  // With a `fault` of tests/fixtures/tracing_faults_preload.cpp provoked in the program.
  Process start(const std::vector<std::string>& words, const StandinBpftrace& bpftrace,
                const fs::path& work, const std::string& fault = "", ProcessOptions options = {}) {
    options.working_directory = work;
    bpftrace.add_to(options);
    if (!fault.empty())
      options.environment.insert(
          options.environment.end(),
          {std::string("LD_PRELOAD=") + TRACING_FAULTS_PRELOAD, "QUARNIX_TRACING_FAULT=" + fault});
    return Process(words, outputs / ("run" + std::to_string(++runs)), options);
  }

  MountGround ground;
  QuarnixMount mount{ground.source, ground.mountpoint};
  // Where the working directories are, for nobody to plant names in; tests
  // that make nobody act skip where nobody reaches no temporary directory.
  TempDir shared{temp_parent_nobody_reaches().empty() ? fs::temp_directory_path()
                                                      : temp_parent_nobody_reaches()};
  fs::path precious = ground.root / "precious";
  fs::path profile = ground.root / "kernel_profile.ba";
  TempDir outputs;
  int runs = 0;
};

fs::path lock_file(const fs::path& work, const Program& program, pid_t pid) {
  return work / (program.name + "_" + std::to_string(pid) + ".lck");
}

// The raw trace that the recorder kept in `work`, among planted names.
std::vector<fs::path> own_traces(const fs::path& work) {
  std::vector<fs::path> own;
  for (const fs::path& trace : files_ending_in(work, ".trace"))
    if (!fs::is_symlink(trace)) own.push_back(trace);
  return own;
}

void expect_planted_file_unchanged(const fs::path& name) {
  struct stat status {};
  ASSERT_EQ(lstat(name.c_str(), &status), 0) << name;
  EXPECT_EQ(status.st_uid, nobody) << name;
  EXPECT_EQ(status.st_mode & 07777, 0666u) << name;
  EXPECT_EQ(read_file(name), planted_contents) << name;
}

// Run as root in a directory that another user can write, neither program
// writes through a name that user planted, nor reuses a file of theirs: a
// taken lock name stops the program before the tracer starts, a taken read
// log name moves the recorder on to the next second's name.
TEST(TracingPrograms, WriteNothingThroughNamesPlantedByAnotherUser) {
  if (temp_parent_nobody_reaches().empty()) GTEST_SKIP() << no_temp_parent_nobody_reaches;
  TracingGround g;
  ASSERT_TRUE(g.mount.started());
  // The lock file is named after the program's pid: the shell plants it, as
  // nobody, under its own pid and then becomes the program.
  const std::string plant_lock_then_run =
      "lock=\"$2_$$.lck\"; if [ -n \"$1\" ]; then $3 ln -s \"$1\" \"$lock\"; "
      "else $3 sh -c 'umask 0; printf \"planted\\n\" > \"$0\"' \"$lock\"; fi || exit 125; "
      "shift 3; exec \"$@\"";
  std::string setpriv;
  for (const std::string& word : as_nobody)
    setpriv += word + " ";
  for (const Program& program : programs())
    for (const bool link : {true, false}) {
      SCOPED_TRACE(program.name + (link ? " link" : " file"));
      const fs::path work = g.shared_work();
      StandinBpftrace bpftrace;
      bpftrace.print(g.read_of_a());
      std::vector<std::string> words{
          "sh",         "-c",   plant_lock_then_run, "sh", link ? g.precious.string() : "",
          program.name, setpriv};
      const std::vector<std::string> run = g.command(program);
      words.insert(words.end(), run.begin(), run.end());
      Process process = g.start(words, bpftrace, work);
      EXPECT_EQ(exit_status(process.wait()), exit_no_lock_file) << process.err();
      EXPECT_NE(process.err().find("lock file"), std::string::npos) << process.err();
      EXPECT_FALSE(bpftrace.ran());
      const fs::path planted = lock_file(work, program, process.pid());
      if (link) {
        EXPECT_TRUE(fs::is_symlink(planted));
      } else {
        expect_planted_file_unchanged(planted);
      }
      // Nothing of the program's own is left beside the planted name.
      EXPECT_EQ(std::distance(fs::directory_iterator(work), fs::directory_iterator()), 1);
    }

  const fs::path work = g.shared_work();
  const time_t now = time(nullptr);
  const std::string taken[] = {utc_base_name("bpf_oplog_", now),
                               utc_base_name("bpf_oplog_", now + 1),
                               utc_base_name("bpf_oplog_", now + 2)};
  plant_as_nobody(work / (taken[0] + ".trace"), g.precious);
  plant_as_nobody(work / (taken[1] + ".csv"));
  plant_as_nobody(work / (taken[2] + "_files.csv"), g.precious);
  StandinBpftrace bpftrace;
  bpftrace.print(g.read_of_a());
  Process recorder = g.start(g.command(programs()[0], {"--keep-raw"}), bpftrace, work);
  ASSERT_EQ(exit_status(recorder.wait()), 0) << recorder.err();
  // The recorder says which name it found taken, once (the earlier ones it
  // meets only when it started within their second).
  const std::string out = recorder.out(), last_taken = taken[2] + "_files.csv";
  EXPECT_NE(out.find(last_taken), std::string::npos) << out;
  EXPECT_EQ(out.find(last_taken), out.rfind(last_taken)) << out;
  expect_planted_file_unchanged(work / (taken[1] + ".csv"));
  const std::vector<fs::path> traces = own_traces(work);
  ASSERT_EQ(traces.size(), 1u);
  const std::string base = traces[0].stem().string();
  EXPECT_GT(base, taken[2]);
  struct stat trace {};
  ASSERT_EQ(stat(traces[0].c_str(), &trace), 0);
  EXPECT_EQ(trace.st_uid, 0u);
  EXPECT_EQ(trace.st_mode & 07777, 0600u);
  EXPECT_EQ(read_file(traces[0]), standin_handshake + g.read_of_a());
  EXPECT_NE(read_file(work / (base + ".csv")).find("\tread\t"), std::string::npos);
  EXPECT_EQ(read_file(g.precious), "precious\n");
}

// SIGTERM, SIGHUP or SIGQUIT to the program ends its tracer; the program
// handles that end as any other (the recorder translates its trace, the
// prefetch daemon prints its statistics), removes its lock file and exits
// with 128 + signal.
// Sent to the process group while the child has not yet become the tracer,
// it ends the child there.
TEST(TracingPrograms, ATerminatedProgramEndsItsTracerInOrder) {
  TracingGround g;
  ASSERT_TRUE(g.mount.started());
  for (const Program& program : programs())
    for (const int signal : {SIGTERM, SIGHUP, SIGQUIT})
      for (const bool at_fork : {false, true}) {
        SCOPED_TRACE(program.name + " " + std::to_string(signal) + (at_fork ? " at fork" : ""));
        const fs::path work = g.shared_work();
        StandinBpftrace bpftrace;
        bpftrace.print(g.read_of_a()).wait_for_unmount(g.ground.mountpoint);
        Process process = g.start(g.command(program), bpftrace, work,
                                  at_fork ? "signal-group-at-fork=" + std::to_string(signal) : "");
        const fs::path lock = lock_file(work, program, process.pid());
        pid_t tracer = -1;
        if (!at_fork) {
          tracer = bpftrace.wait_for_pid();
          ASSERT_GT(tracer, 0);
          ASSERT_EQ(wait_for_line(lock), std::to_string(tracer) + "\n");
          kill(process.pid(), signal);
        }

        ASSERT_EQ(exit_status(process.wait()), 128 + signal) << process.err();
        if (at_fork) {
          EXPECT_FALSE(bpftrace.ran());
        } else {
          EXPECT_EQ(kill(tracer, 0), -1) << "the tracer still runs";
        }
        EXPECT_FALSE(fs::exists(lock));
        if (program.recorder) {
          EXPECT_TRUE(files_ending_in(work, ".trace").empty());
          const auto logs = files_ending_in(work, "_files.csv");
          ASSERT_EQ(logs.size(), 1u);
          EXPECT_EQ(read_file(logs[0]).empty(), at_fork);
        } else if (at_fork) {
          EXPECT_NE(process.out().find("INFO: Tracer terminated, exiting."), std::string::npos)
              << process.out();
        } else {
          EXPECT_NE(process.err().find("INFO: Read-ahead stats:"), std::string::npos)
              << process.err();
        }
      }
}

// A request to end a program before its tracer starts ends it at once, with
// nothing of its own left, SIGINT and SIGQUIT as SIGTERM: the recorder held
// in its wait for a base name that another user holds for the coming
// seconds (a wait that also runs out, as a taken name), or in its scan; the
// prefetch daemon while its lock file exists and it does not yet ignore
// SIGINT.
TEST(TracingPrograms, ARequestBeforeTheTracerEndsTheProgramWithNothingLeft) {
  if (temp_parent_nobody_reaches().empty()) GTEST_SKIP() << no_temp_parent_nobody_reaches;
  TracingGround g;
  ASSERT_TRUE(g.mount.started());
  struct Case {
    bool recorder;
    std::string held;  // "names", or a hold of tests/fixtures/tracing_faults_preload.cpp
    int signal;        // 0: none, the wait for a name runs out
    int status;
  };
  const Case cases[] = {
      {true, "names", SIGTERM, 128 + SIGTERM},    {true, "names", 0, exit_no_lock_file},
      {true, "hold-scan", SIGINT, 128 + SIGINT},  {true, "hold-scan", SIGQUIT, 128 + SIGQUIT},
      {false, "hold-fork", SIGINT, 128 + SIGINT}, {false, "hold-fork", SIGQUIT, 128 + SIGQUIT}};
  for (const Case& c : cases) {
    const Program& program = programs()[c.recorder ? 0 : 1];
    SCOPED_TRACE(program.name + " " + c.held + " " + std::to_string(c.signal));
    const fs::path work = g.shared_work();
    const fs::path hold = g.outputs / ("held" + std::to_string(g.runs));
    std::string fault = c.held + "=" + hold.string();
    if (c.held == "names") {
      const time_t now = time(nullptr);
      for (time_t second = now; second <= now + 30; ++second)
        plant_as_nobody(work / (utc_base_name("bpf_oplog_", second) + ".trace"), g.precious);
      fault = c.signal == 0 ? "leap-monotonic-clock" : "";
    }
    StandinBpftrace bpftrace;
    bpftrace.print(g.read_of_a()).wait_for_unmount(g.ground.mountpoint);
    Process process = g.start(g.command(program), bpftrace, work, fault);
    if (c.signal != 0) {
      // The recorder's first line says that it waits for a name.
      ASSERT_TRUE(holds_within([&] {
        return c.held == "names" ? !process.out().empty() : fs::exists(hold);
      })) << "the program never got to its hold: "
          << process.err();
      kill(process.pid(), c.signal);
      fs::remove(hold);
    }
    const int status = process.wait(std::chrono::seconds(10));
    ASSERT_TRUE(WIFEXITED(status))
        << "killed by signal " << WTERMSIG(status) << " (SIGKILL: still running at the deadline)\n"
        << process.err();
    EXPECT_EQ(WEXITSTATUS(status), c.status) << process.err();
    if (c.signal == 0) {
      EXPECT_NE(process.err().find("ERROR: Unable to create "), std::string::npos) << process.err();
    }
    EXPECT_FALSE(bpftrace.ran());
    for (const auto& entry : fs::directory_iterator(work))
      EXPECT_TRUE(entry.is_symlink()) << entry.path() << " is left";
  }
}

// A closed output (the program piped into a `head` that has ended) is a
// request to end as well: at the program's next line its tracer is ended and
// reaped and the run ends in order, as after SIGTERM (the recorder writes its
// read log, the prefetch daemon its statistics), with exit status 128 +
// SIGPIPE, also when standard error is closed too. A pipe closed from the
// start ends the program before its tracer with nothing of its own left;
// the prefetch daemon's first line comes before it handles the request, which
// then ends it as SIGTERM would.
TEST(TracingPrograms, AClosedOutputEndsTheProgramInOrder) {
  TracingGround g;
  ASSERT_TRUE(g.mount.started());
  for (const Program& program : programs())
    for (const bool from_start : {true, false})
      for (const bool errors_too : {false, true}) {
        SCOPED_TRACE(program.name + (from_start ? " from the start" : " at the tracer's start") +
                     (errors_too ? ", standard error too" : ""));
        const fs::path work = g.shared_work();
        const fs::path hold = g.outputs / ("held" + std::to_string(g.runs));
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        UniqueFd reader(pipe_fds[0]), writer(pipe_fds[1]);
        if (from_start) reader.reset();
        ProcessOptions outputs;
        outputs.stdout_fd = writer.get();
        if (errors_too) outputs.stderr_fd = writer.get();
        StandinBpftrace bpftrace;
        bpftrace.print(g.read_of_a()).wait_for_unmount(g.ground.mountpoint);
        Process process = g.start(g.command(program), bpftrace, work,
                                  from_start ? "" : "hold-fork=" + hold.string(), outputs);
        writer.reset();
        if (!from_start) {
          // Held just before its fork, the program has written the lines up
          // to "Starting tracer...": the reader goes, the tracer starts.
          ASSERT_TRUE(holds_within([&] { return fs::exists(hold); }))
              << "the program never got to its fork: " << process.err();
          reader.reset();
          fs::remove(hold);
        }

        const int status = process.wait(std::chrono::seconds(20));
        if (program.recorder || !from_start) {
          ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status)
                                         << " (SIGKILL: still running at the deadline)";
        }
        EXPECT_EQ(exit_status(status), 128 + SIGPIPE) << process.err();
        EXPECT_FALSE(fs::exists(lock_file(work, program, process.pid())));
        ASSERT_EQ(bpftrace.ran(), !from_start);
        if (from_start) {
          EXPECT_TRUE(names_in(work).empty());
          continue;
        }
        EXPECT_EQ(kill(bpftrace.wait_for_pid(), 0), -1) << "the tracer still runs";
        if (program.recorder) {
          EXPECT_TRUE(files_ending_in(work, ".trace").empty());
          EXPECT_EQ(files_ending_in(work, "_files.csv").size(), 1u);
          EXPECT_EQ(files_ending_in(work, ".csv").size(), 2u);
        } else if (!errors_too) {
          EXPECT_NE(process.err().find("INFO: Read-ahead stats:"), std::string::npos)
              << process.err();
        }
      }
}

// Whether a process that is not our child has ended (gone, or a zombie of
// whoever adopted it) by a deadline.
bool ends_soon(pid_t pid) {
  return holds_within([pid] {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t name_end = stat.rfind(')');
    return name_end == std::string::npos || stat.compare(name_end, 3, ") Z") == 0;
  });
}

// A failure that ends a program (the terminate handler reports it and
// aborts) ends its tracer and removes its lock file and read log; the
// recorder keeps a raw trace that a tracer has written, as after a failed
// tracer.
TEST(TracingPrograms, AFailedRunEndsItsTracerAndRemovesItsFiles) {
  TracingGround g;
  ASSERT_TRUE(g.mount.started());
  struct Case {
    std::string fault;
    std::string error;
    bool traced;
  };
  const Case cases[] = {{"fail-fork", "INTERNAL ERROR: fork()", false},
                        {"fail-blocking-wait", "INTERNAL ERROR: waitpid()", true}};
  for (const Program& program : programs())
    for (const Case& c : cases) {
      SCOPED_TRACE(program.name + " " + c.fault);
      const fs::path work = g.shared_work();
      StandinBpftrace bpftrace;
      bpftrace.print(g.read_of_a());
      // The recorder waits blocking once the trace has started, the prefetch
      // daemon once it has ended.
      if (program.recorder) bpftrace.wait_for_unmount(g.ground.mountpoint);
      Process process = g.start(g.command(program), bpftrace, work, c.fault);
      ASSERT_EQ(exit_status(process.wait()), 128 + SIGABRT) << process.err();
      EXPECT_NE(process.err().find(c.error), std::string::npos) << process.err();
      EXPECT_EQ(bpftrace.ran(), c.traced);
      if (c.traced) {
        EXPECT_TRUE(ends_soon(bpftrace.wait_for_pid())) << "the tracer still runs";
      }
      EXPECT_TRUE(files_ending_in(work, ".lck").empty());
      EXPECT_TRUE(files_ending_in(work, ".csv").empty());
      EXPECT_EQ(files_ending_in(work, ".trace").size(), program.recorder && c.traced ? 1u : 0u);
    }
}

// A tracer that ends through a fault is a failed trace (exit 9, no read
// log); the signals with which a trace is ended on purpose, and a closed
// output, are a normal end.
TEST(TracingPrograms, ATracerKilledByAFaultIsAFailure) {
  TracingGround g;
  ASSERT_TRUE(g.mount.started());
  struct Case {
    const char* signal;
    int status;
  };
  const Case cases[] = {{"SEGV", exit_tracer_failed},
                        {"BUS", exit_tracer_failed},
                        {"ABRT", exit_tracer_failed},
                        {"ILL", exit_tracer_failed},
                        {"FPE", exit_tracer_failed},
                        {"TERM", 0},
                        {"KILL", 0},
                        {"PIPE", 0}};
  for (const Program& program : programs())
    for (const Case& c : cases) {
      SCOPED_TRACE(program.name + " " + c.signal);
      const fs::path work = g.shared_work();
      StandinBpftrace bpftrace;
      bpftrace.print(g.read_of_a()).kill_itself_with(c.signal);
      Process process = g.start(g.command(program), bpftrace, work);
      ASSERT_EQ(exit_status(process.wait()), c.status) << process.err();
      if (c.status != 0) {
        EXPECT_NE(process.err().find(std::string("ERROR: Tracer was killed by SIG") + c.signal),
                  std::string::npos)
            << process.err();
      }
      if (program.recorder) {
        EXPECT_EQ(files_ending_in(work, "_files.csv").size(), c.status == 0 ? 1u : 0u);
      }
      EXPECT_TRUE(files_ending_in(work, ".lck").empty());
    }
}

}  // namespace
}  // namespace quarnix::testing
