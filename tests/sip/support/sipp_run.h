// SIPp as a child process for the tests and benchmarks that run it against
// our stack on loopback.  The shell runs "exec timeout <cap> sipp <args>"
// with both outputs in a log file, so that SIPp never outlives its cap even
// if we never reap it; a sipp_process still running when it goes out of
// scope is killed and reaped.  Header only: benchmarks build it in too.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

namespace sipp_test {

// Whether the sipp program is on the PATH.
inline bool have_sipp() { return std::system("command -v sipp >/dev/null 2>&1") == 0; }

// The log file of a SIPp run named `name` in the folder `dir` (ending in
// '/'), one per process so that parallel programs keep theirs apart.
inline std::string log_path(const std::string& dir, const std::string& name) {
  return dir + "sipp_" + name + "_" + std::to_string(getpid()) + ".log";
}

class sipp_process {
 public:
  static constexpr int RUNNING = -1;      // poll_exit: not yet exited
  static constexpr int NOT_STARTED = -2;  // poll_exit: nothing to wait for
  static constexpr int TIMED_OUT = -1;    // wait: the limit passed, SIPp killed

  sipp_process() = default;
  sipp_process(const sipp_process&) = delete;
  sipp_process& operator=(const sipp_process&) = delete;
  ~sipp_process() { kill_now(); }

  // Starts SIPp with `args`, its output into `log`; `cap_s` seconds at most.
  [[nodiscard]] bool start(const std::string& args, const std::string& log, int cap_s = 30) {
    kill_now();
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      const std::string cmd = "exec timeout " + std::to_string(cap_s) + " sipp " + args + " >" + log + " 2>&1";
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return true;
  }

  // RUNNING while SIPp runs; then its exit status (128 when a signal ended
  // it), once; NOT_STARTED when there is no SIPp to wait for.
  [[nodiscard]] int poll_exit() {
    if (pid_ <= 0) return NOT_STARTED;
    int ws = 0;
    if (waitpid(pid_, &ws, WNOHANG) != pid_) return RUNNING;
    pid_ = -1;
    return status_of(ws);
  }

  // Calls `turn` until SIPp exits or `limit` passes: its exit status, or
  // TIMED_OUT (SIPp killed then).
  int wait(std::chrono::milliseconds limit, const std::function<void()>& turn) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const int status = poll_exit();
      if (status != RUNNING) return status;
      turn();
    }
    kill_now();
    return TIMED_OUT;
  }

  // Waits for SIPp to exit (its own cap bounds the wait): its exit status.
  [[nodiscard]] int finish() {
    if (pid_ <= 0) return NOT_STARTED;
    int ws = 0;
    const pid_t got = waitpid(pid_, &ws, 0);
    pid_ = -1;
    return got > 0 ? status_of(ws) : NOT_STARTED;
  }

  // Ends SIPp at once if it still runs.
  void kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  static int status_of(int ws) { return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128; }
  pid_t pid_ = -1;
};

}  // namespace sipp_test
