// nyx-nftl: the command-line tool over NAND images of the translation layer.
// One binary, one subcommand per job; exit codes 0 ok, 1 a problem found or
// the operation failed, 2 a wrong command line.
#include <cstdio>
#include <exception>
#include <vector>

#include "cli_common.h"

int main(int argc, char** argv) {
  CLI::App app{"nyx-nftl: make, inspect, check and serve NAND images of the nyx_nftl "
               "flash translation layer"};
  app.name("nyx-nftl");
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Help for every subcommand");

  cli::GlobalOptions global;
  app.add_flag("-v,--verbose", global.verbose, "Show the system's log lines on stderr");

  std::vector<cli::Command> commands = {
      cli::add_mkimage(app, global), cli::add_info(app, global),
      cli::add_export(app, global),  cli::add_import(app, global),
      cli::add_check(app, global),   cli::add_debug(app, global),
      cli::add_selftest(app, global), cli::add_wear(app, global),
      cli::add_serve(app, global),
  };
  // --verbose is accepted after the subcommand too.
  for (auto& command : commands) {
    command.app->add_flag("-v,--verbose", global.verbose, "Show the system's log lines on stderr");
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    // Help and version requests end well; every other parse error is usage.
    return code == 0 ? cli::kExitOk : cli::kExitUsage;
  }

  try {
    for (auto& command : commands) {
      if (command.app->parsed()) return command.run();
    }
  } catch (const std::exception& e) {
    cli::print_error(e.what());
    return cli::kExitFailed;
  }
  return cli::kExitUsage;
}
