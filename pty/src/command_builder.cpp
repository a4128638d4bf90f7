#include <utility>

#include "start_plan.h"
#include "velmora/pty/command.h"

namespace velmora::pty {

CommandBuilder::CommandBuilder(std::string program) : m_env_map(get_base_env()) {
  m_args.push_back(std::move(program));
}

void CommandBuilder::arg(std::string argument) { m_args.push_back(std::move(argument)); }

void CommandBuilder::env(std::string name, std::string value) {
  EnvEntry entry{false, name, std::move(value)};
  m_env_map.insert_or_assign(std::move(name), std::move(entry));
}

std::optional<std::string> CommandBuilder::get_env(const std::string& name) const {
  auto found = m_env_map.find(name);
  if (found == m_env_map.end()) return std::nullopt;
  return found->second.value;
}

void CommandBuilder::cwd(std::string directory) { m_cwd = std::move(directory); }

}  // namespace velmora::pty
