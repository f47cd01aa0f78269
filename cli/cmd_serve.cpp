// serve: the image's disks as NBD exports, by running nbdkit in the
// foreground with this project's plugin, on a unix socket and/or loopback
// TCP. Prints how to connect, then becomes nbdkit.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli_common.h"

namespace cli {

namespace {

struct ServeArgs {
  ImageArgs image;
  std::vector<std::string> mtd;  // /dev/mtdN[=NAME]
  bool all_mtd = false;
  std::string socket;
  std::optional<uint16_t> port;
  bool readonly = false;
  bool dry_run = false;
};

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Opens the devices to serve, only to read them, so that a missing device,
// one that is not NAND, or a name the layer does not serve is reported here.
Status check_devices(const std::vector<std::string>& mtd, bool all_mtd) {
  frontend::DeviceOptions options;
  options.all_mtd = all_mtd;
  options.mode = linuxmtd::Mode::Private;
  for (const std::string& m : mtd) {
    auto ref = linuxmtd::parse_device_ref(m);
    if (!ref.ok()) return Status::Usage("--mtd " + m + ": " + ref.message());
    options.devices.push_back(ref.value());
  }
  auto stack = frontend::NandStack::open_devices(options);
  if (!stack.ok()) return stack.status();
  for (const frontend::StackPart& part : stack.value()->parts()) {
    if (disk_base_name(part.name).empty()) {
      return Status::InvalidArgument(part.device + " is named \"" + part.name +
                                     "\", which the translation layer does not serve; "
                                     "serve it as one of " +
                                     frontend::served_names() + " with --mtd " + part.device +
                                     "=NAME");
    }
  }
  return Status::Ok();
}

Status run_serve(const ServeArgs& args, const GlobalOptions& global) {
  if (args.socket.empty() == !args.port.has_value()) {
    // nbdkit listens either on a unix socket or on TCP, not both at once.
    return Status::Usage("serve needs either --socket PATH or --port N");
  }
  std::vector<std::string> mtd = args.mtd;
  if (is_device(args.image)) mtd.insert(mtd.begin(), args.image.path);
  const bool devices = !mtd.empty() || args.all_mtd;
  if (devices == (!args.image.path.empty() && !is_device(args.image))) {
    return Status::Usage("serve needs either an IMAGE or Linux MTD devices (--mtd, --all-mtd)");
  }
  // Everything the plugin will be told is checked here first, so a wrong
  // geometry, partition list or device is reported before nbdkit starts.
  std::optional<frontend::ImageOptions> options;
  if (devices) {
    if (Status checked = check_devices(mtd, args.all_mtd); !checked.ok()) return checked;
  } else {
    auto resolved = resolve_image(args.image, nandsim::OpenMode::Private);
    if (!resolved.ok()) return resolved.status();
    options = resolved.value();
  }
  auto found = find_plugin();
  if (!found.ok()) return found.status();
  const std::string plugin = found.value();
  std::string image = devices ? "" : std::filesystem::absolute(args.image.path).string();

  std::vector<std::string> argv = {"nbdkit", "--foreground"};
  if (global.verbose) argv.push_back("--verbose");
  if (args.readonly) argv.push_back("--readonly");
  if (!args.socket.empty()) {
    argv.push_back("-U");
    argv.push_back(std::filesystem::absolute(args.socket).string());
  }
  if (args.port.has_value()) {
    argv.push_back("-i");
    argv.push_back("127.0.0.1");
    argv.push_back("-p");
    argv.push_back(std::to_string(*args.port));
  }
  argv.push_back(plugin);
  if (devices) {
    for (const std::string& m : mtd) argv.push_back("mtd=" + m);
    if (args.all_mtd) argv.push_back("all-mtd=true");
  } else {
    argv.push_back("image=" + image);
    argv.push_back("mtdparts=" + args.image.mtdparts);
    argv.push_back("page-size=" + std::to_string(args.image.page_size));
    argv.push_back("oob-size=" + std::to_string(args.image.oob_size));
    argv.push_back("pages-per-block=" + std::to_string(args.image.pages_per_block));
    argv.push_back("spare-offset=" + std::to_string(args.image.spare_offset));
    argv.push_back("blocks=" + std::to_string(options->geometry.blocks));
  }
  argv.push_back("gc-policy=" + args.image.gc_policy);
  // nbdkit's own --readonly only refuses client writes; readonly=true also
  // maps the image privately, so not even the format of a blank partition
  // at attach reaches the file.
  if (args.readonly) argv.push_back("readonly=true");

  std::string what = image;
  if (devices) {
    for (const std::string& m : mtd) what += (what.empty() ? "" : ", ") + m;
    if (args.all_mtd) what += std::string(what.empty() ? "" : ", ") + "every accepted MTD device";
  }
  std::printf("serving %s%s; exports: system, cache, media, data (as the partitions allow)\n",
              what.c_str(), args.readonly ? " read-only" : "");
  if (!args.socket.empty()) {
    const std::string sock = std::filesystem::absolute(args.socket).string();
    std::printf("  list:  nbdinfo --list 'nbd+unix:///?socket=%s'\n", sock.c_str());
    std::printf("  copy:  nbdcopy 'nbd+unix:///data?socket=%s' data.img\n", sock.c_str());
    std::printf("  probe: qemu-io -f raw 'nbd+unix:///data?socket=%s' -c 'read -v 0 512'\n",
                sock.c_str());
  }
  if (args.port.has_value()) {
    std::printf("  list:  nbdinfo --list nbd://127.0.0.1:%u\n", unsigned(*args.port));
    std::printf("  copy:  nbdcopy nbd://127.0.0.1:%u/data data.img\n", unsigned(*args.port));
    std::printf("  probe: qemu-io -f raw nbd://127.0.0.1:%u/data -c 'read -v 0 512'\n",
                unsigned(*args.port));
  }
  std::printf("stop with Ctrl-C (the disks are flushed and the image synced)\n");
  std::string line;
  for (const auto& a : argv) line += (line.empty() ? "" : " ") + shell_quote(a);
  std::printf("running: %s\n", line.c_str());
  std::fflush(stdout);
  if (args.dry_run) return Status::Ok();

  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  ::execvp("nbdkit", cargv.data());
  const int err = errno;
  return Status::FromErrno(err, std::string("cannot run nbdkit: ") + std::strerror(err));
}

}  // namespace

Command add_serve(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<ServeArgs>();
  CLI::App* sub = app.add_subcommand(
      "serve", "Serve the disks of an image or of Linux MTD devices over NBD (runs nbdkit)");
  add_image_options(sub, args->image, /*image_required=*/false);
  sub->add_option("--mtd", args->mtd,
                  "Serve a Linux MTD device /dev/mtdN[=NAME], under NAME (one of " +
                      frontend::served_names() + ") or its own name; repeatable");
  sub->add_flag(
      "--all-mtd", args->all_mtd,
      "Serve every NAND MTD device whose name begins with one of " + frontend::served_names());
  sub->add_option("-s,--socket", args->socket, "Unix socket to listen on (or --port)");
  sub->add_option("--port", args->port, "TCP port on 127.0.0.1 (loopback only)");
  sub->add_flag("--readonly", args->readonly, "Refuse writes");
  sub->add_flag("--dry-run", args->dry_run, "Print the nbdkit command line and stop");
  sub->footer(plugin_lookup_help());
  return {sub, [args, &global] { return run_serve(*args, global); }};
}

}  // namespace cli
