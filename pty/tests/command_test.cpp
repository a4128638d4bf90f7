#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "start_plan.h"
#include "test_support.h"

namespace velmora::pty {
namespace {

using namespace test_support;

// Changes the process's working directory for one test.
class InDirectory {
 public:
  explicit InDirectory(const std::string& path) : m_saved(::open(".", O_RDONLY | O_CLOEXEC)) {
    EXPECT_EQ(::chdir(path.c_str()), 0);
  }
  ~InDirectory() { EXPECT_EQ(::fchdir(m_saved.get()), 0); }

 private:
  OwnedFd m_saved;
};

TEST(CommandBuilder, StartsFromTheProcessEnvironmentWithTheAccountShell) {
  const char* own_shell = std::getenv("SHELL");
  const std::string saved_shell = own_shell ? own_shell : "";
  ASSERT_EQ(::setenv("VELMORA_BASE_PROBE", "base", 1), 0);
  ASSERT_EQ(::setenv("SHELL", "/not/the/account/shell", 1), 0);
  CommandBuilder command("prog");
  ::unsetenv("VELMORA_BASE_PROBE");
  if (own_shell) ::setenv("SHELL", saved_shell.c_str(), 1);
  EXPECT_EQ(command.args(), std::vector<std::string>{"prog"});
  EXPECT_FALSE(command.get_cwd());
  EXPECT_EQ(command.get_env("VELMORA_BASE_PROBE"), "base");
  EXPECT_EQ(command.get_env("velmora_base_probe"), std::nullopt);  // names are exact
  EXPECT_TRUE(command.env_map().at("VELMORA_BASE_PROBE").from_base);

  struct passwd* entry = ::getpwuid(::getuid());
  std::string shell = entry && entry->pw_shell ? entry->pw_shell : "";
  if (shell.empty() || ::access(shell.c_str(), X_OK) != 0) shell = "/bin/sh";
  EXPECT_EQ(command.get_env("SHELL"), shell);
  command.env("SHELL", "/bin/custom");
  EXPECT_FALSE(command.env_map().at("SHELL").from_base);
}

TEST(StartPlan, HomeComesFromTheEnvironmentUnlessItIsNotUtf8) {
  TempDir home;
  CommandBuilder command("/bin/true");
  command.env("HOME", home.path());
  command.cwd(home.path() + "/missing");
  auto plan = as_command(command);
  ASSERT_TRUE(plan) << plan.error().text();
  EXPECT_EQ(plan->cwd, home.path());

  command.env("HOME", "/tmp/\xFF");
  plan = as_command(command);
  ASSERT_TRUE(plan);
  struct passwd* entry = ::getpwuid(::getuid());
  EXPECT_EQ(plan->cwd, entry ? entry->pw_dir : "/");
}

TEST(StartPlan, WritesEnvironmentNamesUnchecked) {
  CommandBuilder command("/bin/true");
  command.env("b", "2");
  command.env("B", "1");
  command.env("", "empty name");
  command.env("x=y", "z");
  auto plan = as_command(command);
  ASSERT_TRUE(plan);
  std::vector<std::string> mine;
  for (const std::string& entry : plan->env) {
    if (entry == "=empty name" || entry == "B=1" || entry == "b=2" || entry == "x=y=z") {
      mine.push_back(entry);
    }
  }
  EXPECT_EQ(mine, (std::vector<std::string>{"=empty name", "B=1", "b=2", "x=y=z"}));
}

TEST(StartPlan, RelativeProgramsResolveToPathsThatSurviveTheDirectoryChange) {
  TempDir here;
  here.file("tool", "#!/bin/sh\n", 0755);
  ASSERT_EQ(::mkdir((here.path() + "/sub").c_str(), 0755), 0);
  here.file("sub/data", "", 0644);
  InDirectory in_here(here.path());

  // An empty PATH element names the process's own directory.
  CommandBuilder from_path("tool");
  from_path.env("PATH", "/nonexistent::/bin");
  from_path.cwd("/");
  auto plan = as_command(from_path);
  ASSERT_TRUE(plan) << plan.error().text();
  EXPECT_EQ(plan->program_path, here.path() + "/tool");
  EXPECT_EQ(plan->argv, std::vector<std::string>{"tool"});

  // A relative working directory; any file there is taken, executable or not.
  CommandBuilder in_sub("data");
  in_sub.cwd("sub");
  plan = as_command(in_sub);
  ASSERT_TRUE(plan) << plan.error().text();
  EXPECT_EQ(plan->cwd, "sub");
  EXPECT_EQ(plan->program_path, here.path() + "/sub/data");

  // Without PATH only the working directory is searched.
  std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::unsetenv("PATH");
  CommandBuilder no_path("sh");
  ::setenv("PATH", saved_path.c_str(), 1);
  no_path.cwd("/bin");
  plan = as_command(no_path);
  ASSERT_TRUE(plan) << plan.error().text();
  EXPECT_EQ(plan->program_path, "/bin/sh");
  no_path.cwd("/");
  plan = as_command(no_path);
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error().text(),
            "Unable to spawn sh because it doesn't exist on the filesystem and was not found "
            "in PATH");
}

}  // namespace
}  // namespace velmora::pty
