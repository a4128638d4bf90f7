#include "decode_command.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io_util.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/unicode.h"

namespace velmora::client {

std::string describe_request_line(std::string_view line) {
  if (!is_valid_utf8(line))
    return "{\"error\":\"line is not valid UTF-8 (the daemon closes the connection)\"}";
  auto request = decode_line(line);
  if (!request) return "{\"error\":" + json_quote(request.error().text()) + "}";
  std::string normalized = encode_request(*request);
  if (!normalized.empty() && normalized.back() == '\n') normalized.pop_back();
  return "{\"request\":" + normalized + "}";
}

int run_decode(int in_fd, int out_fd) {
  std::string pending;
  std::string out;
  char chunk[65536];
  bool at_end = false;
  while (!at_end) {
    ssize_t n = ::read(in_fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "velmora: cannot read standard input: %s\n", std::strerror(errno));
      return 1;
    }
    if (n == 0) {
      at_end = true;
    } else {
      pending.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t start = 0;
    while (true) {
      std::size_t newline = pending.find('\n', start);
      std::string_view line;
      if (newline != std::string::npos) {
        line = std::string_view(pending).substr(start, newline - start);
      } else if (at_end && start < pending.size()) {
        line = std::string_view(pending).substr(start);
        newline = pending.size();
      } else {
        break;
      }
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      out += describe_request_line(line);
      out += '\n';
      start = newline + 1;
    }
    pending.erase(0, std::min(start, pending.size()));
    // Answer each batch at once, so that the command can be used interactively.
    if (!out.empty()) {
      if (!write_all(out_fd, out)) {
        std::fprintf(stderr, "velmora: cannot write standard output: %s\n", std::strerror(errno));
        return 1;
      }
      out.clear();
    }
  }
  return 0;
}

}  // namespace velmora::client
