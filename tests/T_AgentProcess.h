// SPDX-License-Identifier: Apache-2.0
// TAgentProcess: the kelvra-agent executable run as a child process, as a
// user would run it, with its own folders and its output in files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

// A child agent whose output goes to files in its own folder.
class TAgentProcess {
 public:
  // `runtimeDir` is the child's XDG_RUNTIME_DIR (its instance lock); the
  // test's folder unless given. Each "NAME=value" of `extraEnvironment`
  // sets or replaces a variable; a bare "NAME" leaves it unset. `executable`
  // replaces the agent built with the tests (a copy elsewhere).
  TAgentProcess(const TTempDir& dir, std::vector<std::string> arguments, bool closeStandardOutputs = false,
                const std::string& runtimeDir = "", const std::vector<std::string>& extraEnvironment = {},
                const std::string& executable = KELVRA_AGENT_PATH)
      : Dir(dir) {
    std::vector<std::string> environment = {"XDG_DATA_HOME=" + (dir / "data"), "XDG_STATE_HOME=" + (dir / "state"),
                                            "XDG_RUNTIME_DIR=" + (runtimeDir.empty() ? dir.Get() : runtimeDir),
                                            "HOME=" + dir.Get(), "PATH=/usr/bin:/bin"};
    for (const std::string& extra : extraEnvironment) {
      const std::string name = extra.substr(0, extra.find('='));
      std::erase_if(environment, [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
      if (extra.find('=') != std::string::npos) environment.push_back(extra);
    }
    arguments.insert(arguments.begin(), executable);
    std::vector<char*> argv, envp;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (closeStandardOutputs) {
      posix_spawn_file_actions_addclose(&actions, 1);
      posix_spawn_file_actions_addclose(&actions, 2);
    }
    int error = posix_spawn(&Pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("posix_spawn failed");
  }
  ~TAgentProcess() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
  }

  // The exit status once the child has ended within `limit`, else -1. Once
  // the child has been reaped, its exit status again at once.
  int WaitExit(std::chrono::milliseconds limit) {
    if (Pid <= 0) return ExitStatus;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(Pid, &status, WNOHANG) == Pid) {
        Pid = -1;
        ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return ExitStatus;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  // Only to the child while it has not been reaped: kill() with a process
  // id of 0 or -1 would signal a whole group or every process there is.
  void Signal(int number) {
    if (Pid > 0) ::kill(Pid, number);
  }
  pid_t Id() const { return Pid; }
  std::string Out() const { return ReadTextFile(Dir / "stdout"); }
  std::string Err() const { return ReadTextFile(Dir / "stderr"); }
  // Whether a library whose file name has `name` in it is mapped into the
  // running child.
  // Whether the agent or one of its session processes maps `name`.
  bool Maps(const std::string& name) const {
    for (pid_t process : ProcessTree())
      if (ReadTextFile("/proc/" + std::to_string(process) + "/maps").find(name) != std::string::npos) return true;
    return false;
  }
  // The agent and its child processes (its session processes).
  std::vector<pid_t> ProcessTree() const {
    std::vector<pid_t> tree{Pid};
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(Pid) + "/task", ignored)) {
      std::istringstream children(ReadTextFile(task.path() / "children"));
      for (pid_t child = 0; children >> child;) tree.push_back(child);
    }
    return tree;
  }

 private:
  const TTempDir& Dir;
  pid_t Pid = -1;
  int ExitStatus = -1;  // once reaped
};


