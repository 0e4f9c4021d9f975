#pragma once
// The line of a simulator or peer in tools/: a pseudo-terminal whose port side (the path the
// program prints) the system under test opens. The port side stays open here too, so that the
// line survives the other side closing and opening it again; both sides are raw, and the
// program's own side does not block.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

struct HostPty {
  int master = -1;
  int slave = -1;
  std::string path;
  std::string error;  // why Open failed

  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* name =
        master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ? nullptr : ptsname(master);
    if (name == nullptr) {
      error = "no pseudo-terminal";
      return false;
    }
    path = name;
    slave = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
      error = "cannot open " + path;
      return false;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
  }
  ~HostPty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
};
