// nyx-nftl: the command-line tool over NAND images of the translation layer.
// One binary, one subcommand per job; exit codes 0 ok, 1 a problem found or
// the operation failed, 2 a wrong command line.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli_common.h"
#include "nyx_build_info.h"

namespace cli {

// The one place where a command's outcome becomes the tool's exit code.
int exit_code(const Status& status) {
  constexpr int kExitOk = 0;
  constexpr int kExitFailed = 1;  // a problem found, or the operation failed
  constexpr int kExitUsage = 2;   // the command line is wrong
  switch (status.kind()) {
    case StatusKind::kOk:
      return kExitOk;
    case StatusKind::kUsage:
      return kExitUsage;
    case StatusKind::kInvalidArgument:
    case StatusKind::kNotFound:
    case StatusKind::kCorruption:
    case StatusKind::kIOError:
    case StatusKind::kBusy:
    case StatusKind::kReadOnly:
      return kExitFailed;
  }
  return kExitFailed;
}

namespace {

// Prints a failure's message as "nyx-nftl: <message>" on stderr (nothing
// for a command that reported the failure itself) and gives the exit code.
int finish(const Status& status) {
  if (!status.ok() && !status.message().empty()) {
    std::fprintf(stderr, "nyx-nftl: %s\n", status.message().c_str());
  }
  return exit_code(status);
}

}  // namespace

}  // namespace cli

int main(int argc, char** argv) {
  CLI::App app{
      "nyx-nftl: make, inspect, check and serve NAND images of the nyx_nftl "
      "flash translation layer"};
  app.name("nyx-nftl");
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Help for every subcommand");
  app.set_version_flag("--version", "nyx-nftl " NYX_NFTL_VERSION);

  cli::GlobalOptions global;
  app.add_flag("-v,--verbose", global.verbose, "Show the system's log lines on stderr");

  std::vector<cli::Command> commands = {
      cli::add_mkimage(app, global), cli::add_info(app, global),     cli::add_export(app, global),
      cli::add_import(app, global),  cli::add_trim(app, global),     cli::add_check(app, global),
      cli::add_debug(app, global),   cli::add_selftest(app, global), cli::add_wear(app, global),
      cli::add_serve(app, global),
  };
  // --verbose is accepted after the subcommand too.
  for (auto& command : commands) {
    command.app->add_flag("-v,--verbose", global.verbose, "Show the system's log lines on stderr");
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // A word where the command belongs is named, with the commands there are.
    for (const std::string& word : app.remaining()) {
      if (!app.get_subcommands().empty() || word.starts_with("-")) continue;
      std::string names;
      for (const auto& command : commands) names += " " + command.app->get_name();
      std::fprintf(stderr, "nyx-nftl: '%s' is not a command; commands:%s\n", word.c_str(),
                   names.c_str());
      return cli::exit_code(Status::Usage(""));
    }
    // CLI11 prints its own message. Help and version requests end well;
    // every other parse error is usage.
    const int code = app.exit(e);
    return cli::exit_code(code == 0 ? Status::Ok() : Status::Usage(""));
  }

  // The system's log lines reach stderr only with --verbose, in every
  // command (those that print or count them keep their own on top).
  cli::SystemLog log(global.verbose);
  try {
    for (auto& command : commands) {
      if (command.app->parsed()) return cli::finish(command.run());
    }
  } catch (const std::exception& e) {
    // Something the commands do not report themselves (memory ran out, say):
    // the operation failed.
    return cli::finish(Status::IOError(e.what()));
  }
  // require_subcommand(1) leaves no way here but a wrong command line.
  return cli::finish(Status::Usage(""));
}
