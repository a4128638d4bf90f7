#include "signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform.h"

namespace velmora::client {
namespace {

// Signal handlers only note the signal and wake the loop through a pipe.
volatile std::sig_atomic_t g_stop_signal = 0;
int g_signal_pipe = -1;

void on_signal(int signo) {
  int saved_errno = errno;
  if (signo == SIGTERM || signo == SIGHUP || signo == SIGINT || signo == SIGQUIT)
    g_stop_signal = signo;
  unsigned char byte = static_cast<unsigned char>(signo);
  ssize_t ignored = ::write(g_signal_pipe, &byte, 1);
  (void)ignored;
  errno = saved_errno;
}

}  // namespace

int stop_signal() { return g_stop_signal; }

Result<std::unique_ptr<SignalPipe>> SignalPipe::install() {
  auto pipe = std::unique_ptr<SignalPipe>(new SignalPipe());
  if (auto made = open_pipe(pipe->m_ends); !made) return made.error();
  for (auto& end : pipe->m_ends)
    ::fcntl(end.get(), F_SETFL, ::fcntl(end.get(), F_GETFL) | O_NONBLOCK);
  g_stop_signal = 0;
  g_signal_pipe = pipe->m_ends[1].get();
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write to a stuck terminal must return so that SIGTERM can end us.
  action.sa_flags = 0;
  for (std::size_t i = 0; i < std::size(HANDLED_SIGNALS); ++i)
    ::sigaction(HANDLED_SIGNALS[i], &action, &pipe->m_previous[i]);
  return pipe;
}

SignalPipe::~SignalPipe() {
  for (std::size_t i = 0; i < std::size(HANDLED_SIGNALS); ++i)
    ::sigaction(HANDLED_SIGNALS[i], &m_previous[i], nullptr);
  g_signal_pipe = -1;
}

std::vector<int> SignalPipe::take() {
  std::vector<int> seen;
  unsigned char bytes[64];
  ssize_t n;
  while ((n = ::read(m_ends[0].get(), bytes, sizeof bytes)) > 0)
    for (ssize_t i = 0; i < n; ++i)
      if (std::find(seen.begin(), seen.end(), bytes[i]) == seen.end()) seen.push_back(bytes[i]);
  return seen;
}

}  // namespace velmora::client
