#include "decode_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io_util.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/line_reader.h"
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
  LineBuffer lines;
  std::string out;
  auto answer = [&](LineBuffer::Next next) {
    if (next.kind == LineBuffer::Kind::too_long) {
      out += "{\"error\":" + json_quote(too_long_line_text()) + "}\n";
    } else if (next.kind == LineBuffer::Kind::line) {
      // The daemon passes over blank lines without a word.
      if (is_valid_utf8(next.line) && is_blank(next.line)) return;
      out += describe_request_line(next.line);
      out += '\n';
    }
  };
  while (true) {
    ssize_t n = lines.fill(in_fd);
    if (n < 0) {
      std::fprintf(stderr, "velmora: cannot read standard input: %s\n", std::strerror(errno));
      return 1;
    }
    for (auto next = lines.next(); next.kind != LineBuffer::Kind::none; next = lines.next())
      answer(next);
    if (n == 0) answer(lines.take_rest());
    // Answer each batch at once, so that the command can be used interactively.
    if (!out.empty()) {
      if (!write_all(out_fd, out)) {
        std::fprintf(stderr, "velmora: cannot write standard output: %s\n", std::strerror(errno));
        return 1;
      }
      out.clear();
    }
    if (n == 0) return 0;
  }
}

}  // namespace velmora::client
