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

class ChildProcess {
 public:
  // program: a path, or a name looked up on PATH. stderrToNull keeps a chatty peer quiet.
  explicit ChildProcess(const std::string& program, std::vector<std::string> args = {},
                        bool stderrToNull = false) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      if (stderrToNull) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
      }
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
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
  // Ends the child at once: its side of the line is gone.
  void Kill() {
    if (exited_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    status_ = status;
  }
  // The exit code once it has ended (-1 for a signal).
  int ExitCode() const { return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

 private:
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
