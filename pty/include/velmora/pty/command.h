#pragma once

// Describing a command to start on a pseudo-terminal.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::pty {

struct EnvEntry {
  bool from_base = false;  // taken from the base environment rather than set with env()
  std::string name;
  std::string value;
};

class CommandBuilder {
 public:
  // The program; the environment starts as the process's own, with SHELL set to the account's
  // shell from the user database.
  explicit CommandBuilder(std::string program);

  void arg(std::string argument);
  // Replaces any entry of that name.
  void env(std::string name, std::string value);
  std::optional<std::string> get_env(const std::string& name) const;
  void cwd(std::string directory);

  const std::vector<std::string>& args() const { return m_args; }
  const std::optional<std::string>& get_cwd() const { return m_cwd; }
  // Ordered by name in ascending byte order.
  const std::map<std::string, EnvEntry>& env_map() const { return m_env_map; }

 private:
  std::vector<std::string> m_args;
  std::optional<std::string> m_cwd;
  std::map<std::string, EnvEntry> m_env_map;
};

}  // namespace velmora::pty
