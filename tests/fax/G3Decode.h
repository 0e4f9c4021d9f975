#pragma once
// Test helper: decodes a G3 stream (code bits least significant first) with netpbm's
// g3topbm and returns its rows, one bool a pixel (true = black); empty when g3topbm refuses.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using PixelRow = std::vector<bool>;

inline std::vector<PixelRow> G3Decode(const std::vector<std::uint8_t>& g3, int width) {
  char name[] = "/tmp/g3decodeXXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return {};
  bool written = write(fd, g3.data(), g3.size()) == static_cast<ssize_t>(g3.size());
  close(fd);
  std::vector<std::uint8_t> pbm;
  int status = -1;
  if (written) {
    std::string cmd = "g3topbm -quiet -reversebits -stop_error -width=" + std::to_string(width) + " " + name;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[65536];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) pbm.insert(pbm.end(), buf, buf + n);
    status = pclose(p);
  }
  unlink(name);
  if (status != 0) return {};
  pbm.push_back(0);
  int w = 0, h = 0, consumed = 0;
  if (std::sscanf(reinterpret_cast<const char*>(pbm.data()), "P4 %d %d%n", &w, &h, &consumed) != 2) return {};
  const std::size_t pos = static_cast<std::size_t>(consumed) + 1,
                    rowBytes = static_cast<std::size_t>((w + 7) / 8);
  if (pbm.size() < pos + rowBytes * static_cast<std::size_t>(h)) return {};
  std::vector<PixelRow> rows;
  for (int y = 0; y < h; ++y) {
    PixelRow r(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x)
      r[static_cast<std::size_t>(x)] =
          (pbm[pos + static_cast<std::size_t>(y) * rowBytes + static_cast<std::size_t>(x / 8)] >>
           (7 - x % 8)) &
          1;
    rows.push_back(std::move(r));
  }
  return rows;
}
