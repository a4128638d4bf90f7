#include "cli.h"

#include <gtest/gtest.h>

#include "detach_key.h"

namespace velmora::client {
namespace {

template <typename T>
T command_of(const std::vector<std::string>& args) {
  Parsed parsed = parse_command_line(args);
  const auto* command = std::get_if<Command>(&parsed);
  EXPECT_NE(command, nullptr) << "usage error for " << (args.empty() ? "" : args[0]);
  if (command == nullptr || !std::holds_alternative<T>(*command)) {
    ADD_FAILURE() << "unexpected command kind";
    return T{};
  }
  return std::get<T>(*command);
}

UsageError usage_of(const std::vector<std::string>& args) {
  Parsed parsed = parse_command_line(args);
  const auto* error = std::get_if<UsageError>(&parsed);
  EXPECT_NE(error, nullptr);
  return error != nullptr ? *error : UsageError{};
}

TEST(CommandLine, NoArgumentsAttachesToMainWithCtrlBackslash) {
  auto attach = command_of<AttachCommand>({});
  EXPECT_EQ(attach.key, "main");
  EXPECT_EQ(attach.detach_key, std::optional<unsigned char>(0x1c));
  EXPECT_EQ(attach.redraw, Redraw::nudge);
}

TEST(CommandLine, AttachOptionsMayStandOnEitherSideOfTheKey) {
  auto attach = command_of<AttachCommand>({"attach", "work", "-e", "^a", "--no-redraw"});
  EXPECT_EQ(attach.key, "work");
  EXPECT_EQ(attach.detach_key, std::optional<unsigned char>(0x01));
  EXPECT_EQ(attach.redraw, Redraw::skip);
  EXPECT_EQ(attach.history, History::push);
  EXPECT_EQ(command_of<AttachCommand>({"attach", "--no-history", "w"}).history, History::skip);

  auto joined = command_of<AttachCommand>({"attach", "-e^]", "w"});
  EXPECT_EQ(joined.detach_key, std::optional<unsigned char>(0x1d));

  // Without the command name, options still mean attach to main.
  auto bare = command_of<AttachCommand>({"-E"});
  EXPECT_EQ(bare.key, "main");
  EXPECT_EQ(bare.detach_key, std::nullopt);

  // "--" lets a key start with a dash; the empty key is a key like any other.
  EXPECT_EQ(command_of<AttachCommand>({"attach", "--", "-odd"}).key, "-odd");
  EXPECT_EQ(command_of<AttachCommand>({"attach", ""}).key, "");
}

TEST(CommandLine, AttachRejectsMissingOrBadDetachKeysAndSecondKeys) {
  EXPECT_EQ(usage_of({"attach", "-e"}).topic, "attach");
  EXPECT_NE(usage_of({"attach", "-e", "ctrl-a"}).problem.find("ctrl-a"), std::string::npos);
  EXPECT_EQ(usage_of({"attach", "a", "b"}).topic, "attach");
  EXPECT_EQ(usage_of({"attach", "--bogus"}).topic, "attach");
}

TEST(CommandLine, SendJoinsWordsAndPressesEnterUnlessTold) {
  auto send = command_of<SendCommand>({"send", "main", "echo", "hi there"});
  EXPECT_EQ(send.key, "main");
  EXPECT_EQ(send.text, "echo hi there\r");

  // Words after the key are text even when they look like options.
  auto dashes = command_of<SendCommand>({"send", "-n", "k", "ls", "-la", "-n"});
  EXPECT_EQ(dashes.key, "k");
  EXPECT_EQ(dashes.text, "ls -la -n");

  EXPECT_EQ(command_of<SendCommand>({"send", "k"}).text, "\r");
  EXPECT_EQ(command_of<SendCommand>({"send", "--", "-k", "x"}).key, "-k");
  EXPECT_EQ(usage_of({"send"}).topic, "send");
  EXPECT_EQ(usage_of({"send", "-x", "k"}).topic, "send");
}

TEST(CommandLine, SendDropsOneDoubleDashBeforeOrRightAfterTheKey) {
  auto after = command_of<SendCommand>({"send", "s", "--", "echo", "x"});
  EXPECT_EQ(after.key, "s");
  EXPECT_EQ(after.text, "echo x\r");
  EXPECT_EQ(command_of<SendCommand>({"send", "-n", "s", "--", "-rf"}).text, "-rf");
  // Both places: each separator is dropped once; a further one is text.
  EXPECT_EQ(command_of<SendCommand>({"send", "--", "s", "--", "x"}).text, "x\r");
  EXPECT_EQ(command_of<SendCommand>({"send", "s", "--", "--", "x"}).text, "-- x\r");
  EXPECT_EQ(command_of<SendCommand>({"send", "s", "a", "--", "b"}).text, "a -- b\r");
  EXPECT_EQ(command_of<SendCommand>({"send", "s", "--"}).text, "\r");
}

TEST(CommandLine, AttachExistingOnlyWithDashX) {
  EXPECT_EQ(command_of<AttachCommand>({"attach", "w"}).require, Require::any);
  EXPECT_EQ(command_of<AttachCommand>({"attach", "-x", "w"}).require, Require::existing);
  auto long_form = command_of<AttachCommand>({"attach", "w", "--existing", "-e", "^b"});
  EXPECT_EQ(long_form.require, Require::existing);
  EXPECT_EQ(long_form.key, "w");
  EXPECT_EQ(long_form.detach_key, std::optional<unsigned char>(0x02));
  EXPECT_EQ(command_of<AttachCommand>({"-x"}).require, Require::existing);
}

TEST(CommandLine, NewTakesAKeyAttachOptionsAndACommandAfterDoubleDash) {
  auto plain = command_of<NewCommand>({"new", "work"});
  EXPECT_EQ(plain.attach.key, "work");
  EXPECT_EQ(plain.start, Start::attached);
  EXPECT_EQ(plain.typed, "");
  EXPECT_EQ(plain.attach.require, Require::any);

  auto build = command_of<NewCommand>({"new", "-d", "build", "--", "make", "-j8"});
  EXPECT_EQ(build.attach.key, "build");
  EXPECT_EQ(build.start, Start::detached);
  EXPECT_EQ(build.typed, "make -j8\r");

  auto options = command_of<NewCommand>({"new", "k", "--detached", "-e", "^a", "--no-redraw"});
  EXPECT_EQ(options.start, Start::detached);
  EXPECT_EQ(options.attach.detach_key, std::optional<unsigned char>(0x01));
  EXPECT_EQ(options.attach.redraw, Redraw::skip);
  EXPECT_EQ(command_of<NewCommand>({"new", "-E", "k"}).attach.detach_key, std::nullopt);

  // A key that starts with a dash comes after "--"; a second "--" may separate the command.
  auto dashed = command_of<NewCommand>({"new", "--", "-k", "vim", "-R"});
  EXPECT_EQ(dashed.attach.key, "-k");
  EXPECT_EQ(dashed.typed, "vim -R\r");
  EXPECT_EQ(command_of<NewCommand>({"new", "--", "-k", "--", "ls"}).typed, "ls\r");
  // Words after the command's "--" are the command's, options and dashes included.
  EXPECT_EQ(command_of<NewCommand>({"new", "k", "--", "ls", "-d", "--"}).typed, "ls -d --\r");
  EXPECT_EQ(command_of<NewCommand>({"new", "k", "--"}).typed, "");
}

TEST(CommandLine, NewRejectsWhatItCannotPlace) {
  EXPECT_EQ(usage_of({"new"}).problem, "new needs a session key");
  EXPECT_EQ(usage_of({"new", "-d"}).problem, "new needs a session key");
  UsageError stray = usage_of({"new", "k", "make"});
  EXPECT_EQ(stray.topic, "new");
  EXPECT_NE(stray.problem.find("after --"), std::string::npos) << stray.problem;
  EXPECT_EQ(usage_of({"new", "-q", "k"}).topic, "new");
  EXPECT_EQ(usage_of({"new", "k", "-e"}).topic, "new");
  EXPECT_EQ(usage_of({"new", "bad\xff"}).topic, "new");
  EXPECT_EQ(command_of<HelpCommand>({"new", "--help"}).topic, "new");
}

TEST(CommandLine, KeysMustBeUtf8BecauseTheyTravelAsJsonText) {
  EXPECT_EQ(usage_of({"attach", "bad\xff"}).topic, "attach");
  EXPECT_EQ(usage_of({"kill", "\xc3"}).topic, "kill");
  EXPECT_EQ(usage_of({"send", "\xe2\x82", "x"}).topic, "send");
  EXPECT_EQ(command_of<AttachCommand>({"attach", "caf\xc3\xa9"}).key, "caf\xc3\xa9");
}

TEST(CommandLine, OtherCommandsCheckTheirArguments) {
  EXPECT_EQ(command_of<KillCommand>({"kill", "old"}).key, "old");
  EXPECT_EQ(usage_of({"kill"}).topic, "kill");
  EXPECT_EQ(usage_of({"kill", "a", "b"}).topic, "kill");
  EXPECT_EQ(command_of<ListCommand>({"ls", "--json"}).format, Format::json);
  EXPECT_EQ(command_of<ListCommand>({"ls"}).format, Format::table);
  EXPECT_EQ(usage_of({"ls", "-l"}).topic, "ls");
  EXPECT_EQ(usage_of({"shutdown", "now"}).topic, "shutdown");
  EXPECT_EQ(usage_of({"decode", "x"}).topic, "decode");
  command_of<VersionCommand>({"--version"});
}

TEST(CommandLine, EveryCommandHasHelpAndUnknownOnesGetAHint) {
  for (std::string name :
       {"attach", "new", "ls", "kill", "send", "shutdown", "version", "decode"}) {
    EXPECT_EQ(command_of<HelpCommand>({name, "--help"}).topic, name);
    auto text = help_text(name);
    ASSERT_TRUE(text.has_value()) << name;
    EXPECT_EQ(text->rfind("usage: velmora " + name, 0), 0u) << name;
  }
  EXPECT_EQ(command_of<HelpCommand>({"-h"}).topic, "");
  EXPECT_EQ(command_of<HelpCommand>({"help", "send"}).topic, "send");

  UsageError unknown = usage_of({"atach"});
  EXPECT_EQ(usage_line(unknown), "velmora: unknown command 'atach' (try 'velmora --help')");
  EXPECT_EQ(usage_line(usage_of({"kill"})),
            "velmora: kill needs a session key (try 'velmora kill --help')");
}

TEST(CommandLine, HelpNamesTheInheritedVariablesAndWhereTheDaemonIsFound) {
  auto text = help_text("attach");
  ASSERT_TRUE(text.has_value());
  for (const char* word : {"TERM", "COLORTERM", "LANG", "LC_*", "SSH_AUTH_SOCK", "SSH_CONNECTION",
                           "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "../daemon/", "PATH"})
    EXPECT_NE(text->find(word), std::string::npos) << word;
  // The doubled detach key is documented where people look for keys.
  EXPECT_NE(text->find("twice"), std::string::npos);
  EXPECT_NE(help_text("")->find("Ctrl-\\ Ctrl-\\"), std::string::npos);
}

TEST(DetachKey, ReadsCaretFormsAndSingleCharacters) {
  struct Case {
    const char* text;
    std::optional<unsigned char> key;
  };
  const Case cases[] = {
      {"^a", 0x01},         {"^A", 0x01},
      {"^\\", 0x1c},        {"^]", 0x1d},
      {"^[", 0x1b},         {"^@", 0x00},
      {"^_", 0x1f},         {"^?", 0x7f},
      {"x", 'x'},           {"^", '^'},
      {"", std::nullopt},   {"ab", std::nullopt},
      {"^1", std::nullopt}, {"^ab", std::nullopt},
      {"\t", std::nullopt}, {"\xc3\xa9", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_detach_key(c.text), c.key) << c.text;
}

}  // namespace
}  // namespace velmora::client
