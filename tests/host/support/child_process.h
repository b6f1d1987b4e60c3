// Programs started by the host tests: the project's binaries, scripts and
// system tools, each with its output in a file and every wait bounded.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace kvtest {

// The folder of the running test program (where the project's binaries are
// built too).
std::string BinaryDir();

// Starts `args` (args[0] a path) with stdin from /dev/null, stdout and
// stderr into `out_path`; `env` ("NAME=value") is added to this process's
// environment.  Its pid, or -1 when it could not be started.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out_path,
            const std::vector<std::string>& env = {});

// Waits up to `ms` for the process, then kills it.  Its exit code, -2 when a
// signal ended it, -1 when it had to be killed, -3 for a pid of 0 or below
// (never a process: nothing is signalled).
int Reap(pid_t pid, int ms);

// Spawn and Reap in one: -3 when the program could not be started.
int RunProgram(const std::vector<std::string>& args, const std::string& out_path, const std::vector<std::string>& env,
               int ms);

}  // namespace kvtest
