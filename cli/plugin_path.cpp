// Where serve finds the nbdkit plugin it hands to nbdkit: the one named by
// $NYX_NFTL_PLUGIN, else the one installed with this tool (its place relative
// to the tool's own directory is fixed when the build is configured, so any
// install prefix works), else the one of the build tree the tool runs from.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "cli_common.h"
#include "nyx_build_info.h"

namespace cli {

namespace {

constexpr const char* kPluginFile = "nbdkit-nyx-plugin.so";

}  // namespace

std::string plugin_lookup_help() {
  return std::string("The nbdkit plugin is $NYX_NFTL_PLUGIN when set, else, in this order:\n") +
         "  <directory of nyx-nftl>/" + NYX_NFTL_PLUGIN_FROM_BINDIR + "/" + kPluginFile +
         " (installed)\n  <directory of nyx-nftl>/../nbd/" + kPluginFile + " (build tree)";
}

Result<std::string> find_plugin() {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (const char* env = std::getenv("NYX_NFTL_PLUGIN"); env != nullptr && *env != '\0') {
    // nbdkit takes a name without a slash for one of its own plugins: the
    // path handed on is always absolute.
    const fs::path path = fs::absolute(env, ec);
    if (!ec && fs::is_regular_file(path, ec)) return path.string();
    return Status::NotFound(std::string("nbdkit plugin not found at NYX_NFTL_PLUGIN=") + env);
  }
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return Status::NotFound("nbdkit plugin not found: cannot tell where nyx-nftl is (" +
                            ec.message() + "); set NYX_NFTL_PLUGIN to the plugin's path");
  }
  const fs::path dir = self.parent_path();
  std::string looked;
  for (const fs::path& candidate :
       {dir / NYX_NFTL_PLUGIN_FROM_BINDIR / kPluginFile, dir / ".." / "nbd" / kPluginFile}) {
    const fs::path path = candidate.lexically_normal();
    if (fs::is_regular_file(path, ec)) return path.string();
    looked += (looked.empty() ? "" : ", ") + path.string();
  }
  return Status::NotFound("nbdkit plugin not found; looked in " + looked +
                          " (set NYX_NFTL_PLUGIN to its path)");
}

}  // namespace cli
