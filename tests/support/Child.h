#pragma once
// A program of ours or a peer's, started as a child process with pipes on its standard input
// and output: the simulators print their port path on the first line and take commands on
// standard input, ending when it closes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace support {

// The path of a tool built in this tree, for example Tool("korvidan-sim").
inline std::string Tool(const std::string& name) {
  return std::string(KORVIDAN_BINARY_DIR) + "/tools/" + name + "/" + name;
}

// How a child is started, beyond its program and arguments.
struct ChildOptions {
  int stdinFd = -1;   // its standard input: this descriptor instead of a pipe from us
  int stdoutFd = -1;  // its standard output: this descriptor instead of a pipe to us
  bool stderrToNull = false;
  std::string stderrFile;   // its standard error into this file (created, truncated)
  std::string directory;    // its working directory
  bool newSession = false;  // a session of its own (no controlling terminal of ours)
};

class ChildProcess {
 public:
  // program: a path, or a name looked up on PATH. stderrToNull keeps a chatty peer quiet.
  explicit ChildProcess(const std::string& program, std::vector<std::string> args = {},
                        bool stderrToNull = false)
      : ChildProcess(program, std::move(args), QuietIf(stderrToNull)) {}
  ChildProcess(const std::string& program, std::vector<std::string> args, const ChildOptions& o) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if ((o.stdinFd < 0 && ::pipe2(in, O_CLOEXEC) != 0) || (o.stdoutFd < 0 && ::pipe2(out, O_CLOEXEC) != 0))
      throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      if (o.newSession) ::setsid();
      ::dup2(o.stdinFd >= 0 ? o.stdinFd : in[0], STDIN_FILENO);
      ::dup2(o.stdoutFd >= 0 ? o.stdoutFd : out[1], STDOUT_FILENO);
      int err = -1;
      if (!o.stderrFile.empty())
        err = ::open(o.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      else if (o.stderrToNull)
        err = ::open("/dev/null", O_WRONLY);
      if (err >= 0) ::dup2(err, STDERR_FILENO);
      if (!o.directory.empty() && ::chdir(o.directory.c_str()) != 0) ::_exit(126);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(program.c_str(), argv.data());
      ::_exit(127);
    }
    if (in[0] >= 0) ::close(in[0]);
    if (out[1] >= 0) ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~ChildProcess() {
    CloseInput();  // the end of its input ends a simulator
    if (!Wait(2000)) Kill();
    if (output_ >= 0) ::close(output_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  int output() const { return output_; }

  // One line of its output without the line end; empty when nothing came within timeoutMs.
  std::string ReadLine(int timeoutMs = 5000) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char c;
    for (;;) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count());
      pollfd p{output_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, left) <= 0 || ::read(output_, &c, 1) != 1) break;
      if (c == '\n') break;
      line += c;
    }
    return line;
  }
  bool Write(const std::string& text) {
    return input_ >= 0 && ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  void CloseInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  // Waits for the child to end; false when it still runs after timeoutMs.
  bool Wait(int timeoutMs) {
    if (exited_) return true;
    for (int waited = 0;; waited += 5) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = status;
        return true;
      }
      if (waited >= timeoutMs) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Asks the child to end (SIGTERM) and waits for it; kills it when it is still there after
  // timeoutMs.
  void Stop(int timeoutMs = 2000) {
    if (exited_) return;
    ::kill(pid_, SIGTERM);
    if (!Wait(timeoutMs)) Kill();
  }
  // Sends SIGTERM without waiting.
  void Terminate() {
    if (!exited_) ::kill(pid_, SIGTERM);
  }
  // Ends the child at once: its side of the line is gone.
  void Kill() {
    if (exited_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    status_ = status;
  }
  // Once it has ended: its exit code, or 128 + the signal that ended it; -1 while it runs.
  int ExitCode() const {
    if (!exited_) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

 private:
  static ChildOptions QuietIf(bool stderrToNull) {
    ChildOptions o;
    o.stderrToNull = stderrToNull;
    return o;
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// A simulator of ours: started with its arguments, its port path read from its first line and
// mapped to COM<com> when com > 0.
class Simulator : public ChildProcess {
 public:
  Simulator(const std::string& tool, std::vector<std::string> args, int com = 0)
      : ChildProcess(Tool(tool), std::move(args)) {
    path_ = ReadLine(10000);
    if (path_.empty()) throw std::runtime_error(tool + " gave no port (is it built?)");
    if (com > 0) ::setenv(("SIO_COM" + std::to_string(com)).c_str(), path_.c_str(), 1);
  }
  const std::string& Path() const { return path_; }
  // Sends a command line and waits for its "ok" or "error ..." answer.
  bool Command(const std::string& line) {
    if (!Write(line + "\n")) return false;
    for (std::string answer; !(answer = ReadLine()).empty();)
      if (answer == "ok" || answer.rfind("error", 0) == 0) return answer == "ok";
    return false;
  }

 private:
  std::string path_;
};

}  // namespace support
