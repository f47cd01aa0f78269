// serve: the image's disks as NBD exports, by running nbdkit in the
// foreground with this project's plugin. Everything that could make the
// server fail is checked first (the image, the writer's lock, the exports
// the layer would serve, the socket), then serve binds the listening socket
// itself, prints the exports and how to reach them, and becomes nbdkit,
// which takes the socket over (socket activation). A small watcher process
// stays beside it for the terminal: it says what a Ctrl-C is waiting for,
// stops the server at once on a second Ctrl-C, and removes the unix socket
// when the server is gone.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli_common.h"
#include "listen_socket.h"
#include "nyx_nftl/nyx_nftl.h"
#include "platform/mtd/writer_lock.h"

namespace cli {

namespace {

struct ServeArgs {
  ImageArgs image;
  std::vector<std::string> mtd;  // /dev/mtdN[=NAME]
  bool all_mtd = false;
  std::string socket;
  std::optional<uint16_t> port;
  std::string bind = "127.0.0.1";
  std::string tls;  // off, on, require; empty: require with a key, else off
  std::string tls_psk;
  std::string tls_certificates;
  bool insecure = false;
  bool readonly = false;
  bool dry_run = false;
};

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// What nbdkit's TLS will be, from the options: require when a key or
// certificates are given and no mode is, else off.
std::string tls_mode(const ServeArgs& args) {
  if (!args.tls.empty()) return args.tls;
  return args.tls_psk.empty() && args.tls_certificates.empty() ? "off" : "require";
}

Status check_tls(const ServeArgs& args) {
  const std::string mode = tls_mode(args);
  const bool keyed = !args.tls_psk.empty() || !args.tls_certificates.empty();
  if (mode != "off" && !keyed) {
    return Status::Usage("--tls " + mode + " needs --tls-psk FILE or --tls-certificates DIR");
  }
  if (!args.tls_psk.empty() && ::access(args.tls_psk.c_str(), R_OK) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "--tls-psk " + args.tls_psk + ": " + std::strerror(err));
  }
  if (!args.tls_certificates.empty() && !std::filesystem::is_directory(args.tls_certificates)) {
    return Status::NotFound("--tls-certificates " + args.tls_certificates + ": not a directory");
  }
  if (args.port.has_value() && mode != "require" && !args.insecure) {
    auto loopback = is_loopback(args.bind);
    if (!loopback.ok()) return loopback.status();
    if (!loopback.value()) {
      return Status::Usage("--bind " + args.bind +
                           " is not a loopback address: whoever reaches it could read and write "
                           "the flash. Require TLS (--tls-psk FILE or --tls-certificates DIR), "
                           "or give --insecure");
    }
  }
  return Status::Ok();
}

// The flash to serve opened privately (nothing it does reaches the flash),
// attached, and asked which disks the layer makes of it: what the server
// will export. A partition the layer does not serve, or none at all, is
// refused here.
Result<std::vector<BlockDiskInfo>> exports_of(const ServeArgs& args,
                                              const std::vector<std::string>& mtd, bool devices) {
  std::unique_ptr<frontend::NandStack> stack;
  if (devices) {
    frontend::DeviceOptions options;
    options.all_mtd = args.all_mtd;
    options.mode = linuxmtd::Mode::Private;
    nyx_nftl_gc_policy_by_name(args.image.gc_policy.c_str(), &options.gc_policy);
    for (const std::string& m : mtd) {
      auto ref = linuxmtd::parse_device_ref(m);
      if (!ref.ok()) return Status::Usage("--mtd " + m + ": " + ref.message());
      options.devices.push_back(ref.value());
    }
    auto opened = frontend::NandStack::open_devices(options);
    if (!opened.ok()) return opened.status();
    stack = std::move(opened).value();
    for (const frontend::StackPart& part : stack->parts()) {
      if (disk_base_name(part.name).empty()) {
        return Status::InvalidArgument(part.device + " is named \"" + part.name +
                                       "\", which the translation layer does not serve; "
                                       "serve it as one of " +
                                       frontend::served_names() + " with --mtd " + part.device +
                                       "=NAME");
      }
    }
  } else {
    auto opened = open_stack(args.image, nandsim::OpenMode::Private);
    if (!opened.ok()) return opened.status();
    stack = std::move(opened).value();
  }
  if (Status started = stack->start(); !started.ok()) return started;
  std::vector<BlockDiskInfo> disks = stack->disks();
  (void)stack->shutdown();
  if (disks.empty()) {
    return Status::InvalidArgument(
        "no partition of the flash is one the translation layer serves (names beginning with " +
        frontend::served_names() + "), or none could be attached; nothing to serve");
  }
  return disks;
}

// Refuses to start a writer beside another: the image, or each device.
Status check_writable(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    Status free = nandsim::probe_writer(path);
    if (free.kind() == StatusKind::kReadOnly) {
      return Status::ReadOnly(free.message() + "; serve it with --readonly");
    }
    if (!free.ok()) return free;
  }
  return Status::Ok();
}

volatile sig_atomic_t interrupts = 0;
void count_interrupt(int) { interrupts = interrupts + 1; }

// The watcher: a child left beside nbdkit (its parent once serve has become
// nbdkit). It only talks to the terminal and tidies up; it holds neither
// the flash nor the listening socket.
[[noreturn]] void watch(pid_t server, const ListenSocket& sock) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  struct sigaction sa {};
  sa.sa_handler = count_interrupt;
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGTERM, [](int) { interrupts = 100; });
  bool told = false;
  while (::getppid() == server && interrupts < 100) {
    if (interrupts == 1 && !told) {
      // nbdkit got the same Ctrl-C; give it a moment to stop by itself.
      for (int i = 0; i < 10 && ::getppid() == server; ++i) ::usleep(100000);
      if (::getppid() != server) break;
      std::fprintf(stderr,
                   "\nserve: waiting for the connected clients to disconnect; the disks are "
                   "flushed and the image synced when they have. Press Ctrl-C again to stop "
                   "now: the clients are cut off, and writes they have not flushed are lost "
                   "(the flash stays consistent, as after a power cut).\n");
      told = true;
    } else if (interrupts >= 2 && interrupts < 100) {
      std::fprintf(stderr, "\nserve: stopping now; unflushed writes are lost\n");
      ::kill(server, SIGKILL);
      break;
    }
    ::usleep(100000);
  }
  for (int i = 0; i < 50 && ::getppid() == server; ++i) ::usleep(100000);
  if (!sock.unix_path.empty() && same_socket_file(sock, sock.unix_path)) {
    ::unlink(sock.unix_path.c_str());
  }
  ::_exit(0);
}

Status run_serve(const ServeArgs& given, const GlobalOptions& global) {
  ServeArgs args = given;
  if (!args.socket.empty() && args.port.has_value()) {
    // nbdkit listens either on a unix socket or on TCP, not both at once.
    return Status::Usage("serve takes either --socket PATH or --port N, not both");
  }
  std::vector<std::string> mtd = args.mtd;
  if (is_device(args.image)) mtd.insert(mtd.begin(), args.image.path);
  const bool devices = !mtd.empty() || args.all_mtd;
  if (devices == (!args.image.path.empty() && !is_device(args.image))) {
    return Status::Usage("serve needs either an IMAGE or Linux MTD devices (--mtd, --all-mtd)");
  }
  if (Status tls = check_tls(args); !tls.ok()) return tls;
  if (!args.port.has_value() && args.socket.empty()) {
    auto path = default_socket_path();
    if (!path.ok()) return path.status();
    args.socket = path.value();
  }
  if (!args.socket.empty()) args.socket = std::filesystem::absolute(args.socket).string();
  auto found = find_plugin();
  if (!found.ok()) return found.status();
  const std::string plugin = found.value();

  // Everything the plugin will be told is checked here first, so a wrong
  // geometry, partition list, device, a flash another process writes or a
  // socket another server holds is reported before anything is announced.
  std::optional<frontend::ImageOptions> options;
  if (!devices) {
    auto resolved = resolve_image(args.image, nandsim::OpenMode::Private);
    if (!resolved.ok()) return resolved.status();
    options = resolved.value();
  }
  if (!args.readonly) {
    std::vector<std::string> paths;
    if (!devices) paths.push_back(args.image.path);
    for (const std::string& m : mtd) {
      auto ref = linuxmtd::parse_device_ref(m);
      if (ref.ok()) paths.push_back(ref.value().path);
    }
    if (Status free = check_writable(paths); !free.ok()) return free;
  }
  std::vector<BlockDiskInfo> disks;
  {
    SystemLog log(global.verbose);
    auto found = exports_of(args, mtd, devices);
    if (!found.ok()) return found.status();
    disks = std::move(found).value();
  }
  if (!args.socket.empty()) {
    if (Status free = check_unix_path(args.socket); !free.ok()) return free;
  }
  ListenSocket sock;
  if (!args.dry_run) {
    auto listening =
        args.port.has_value() ? listen_tcp(args.bind, *args.port) : listen_unix(args.socket);
    if (!listening.ok()) return listening.status();
    sock = listening.value();
  } else {
    sock.unix_path = args.socket;
    sock.host = args.bind;
    sock.port = args.port.value_or(0);
  }

  const std::string tls = tls_mode(args);
  std::vector<std::string> argv = {"nbdkit", "--foreground"};
  if (global.verbose) argv.push_back("--verbose");
  if (args.readonly) argv.push_back("--readonly");
  if (tls != "off") argv.push_back("--tls=" + tls);
  if (!args.tls_psk.empty()) {
    argv.push_back("--tls-psk=" + std::filesystem::absolute(args.tls_psk).string());
  }
  if (!args.tls_certificates.empty()) {
    argv.push_back("--tls-certificates=" +
                   std::filesystem::absolute(args.tls_certificates).string());
  }
  argv.push_back(plugin);
  if (devices) {
    for (const std::string& m : mtd) argv.push_back("mtd=" + m);
    if (args.all_mtd) argv.push_back("all-mtd=true");
  } else {
    argv.push_back("image=" + std::filesystem::absolute(args.image.path).string());
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

  std::string what = devices ? "" : args.image.path;
  for (const std::string& m : mtd) what += (what.empty() ? "" : ", ") + m;
  if (args.all_mtd) what += std::string(what.empty() ? "" : ", ") + "every accepted MTD device";
  std::printf("serving %s%s\n", what.c_str(), args.readonly ? " read-only" : "");
  for (const BlockDiskInfo& d : disks) {
    std::printf("  export %-8s %s (%llu sectors), partition %s%s\n", d.name.c_str(),
                frontend::human_size(d.sectors * 512).c_str(),
                static_cast<unsigned long long>(d.sectors), d.mtd_name.c_str(),
                d.readonly || args.readonly ? ", read-only" : "");
  }
  const std::string first = disks.front().name;
  std::string base;
  std::string query;
  if (args.port.has_value()) {
    const bool v6 = sock.host.find(':') != std::string::npos;
    base = std::string(tls == "off" ? "nbd" : "nbds") + "://" + (v6 ? "[" : "") + sock.host +
           (v6 ? "]" : "") + ":" + std::to_string(sock.port) + "/";
    std::printf("listening on %s port %u%s\n", sock.host.c_str(), unsigned(sock.port),
                tls == "off" ? "" : (" (TLS " + tls + ")").c_str());
  } else {
    base = std::string(tls == "off" ? "nbd+unix" : "nbds+unix") + ":///";
    query = "?socket=" + sock.unix_path;
    std::printf("listening on %s (this user and root may connect)\n", sock.unix_path.c_str());
  }
  if (!args.tls_psk.empty()) {
    query += (query.empty() ? "?" : "&") + std::string("tls-psk-file=") +
             std::filesystem::absolute(args.tls_psk).string();
  }
  std::printf("  list:  nbdinfo --list '%s%s'\n", base.c_str(), query.c_str());
  std::printf("  copy:  nbdcopy '%s%s%s' %s.img\n", base.c_str(), first.c_str(), query.c_str(),
              first.c_str());
  std::printf("  probe: qemu-io -f raw '%s%s%s' -c 'read -v 0 512'\n", base.c_str(), first.c_str(),
              query.c_str());
  std::printf("stop with Ctrl-C (the disks are flushed and the image synced)\n");
  std::string line;
  for (const auto& a : argv) line += (line.empty() ? "" : " ") + shell_quote(a);
  std::printf("running: %s\n", line.c_str());
  std::fflush(stdout);
  if (args.dry_run) return Status::Ok();

  // nbdkit takes the socket over as file descriptor 3 (socket activation).
  if (sock.fd != 3) {
    if (::dup2(sock.fd, 3) < 0) return Status::IOError("cannot pass the socket to nbdkit");
    ::close(sock.fd);
  } else {
    ::fcntl(3, F_SETFD, 0);
  }
  const pid_t server = ::getpid();
  const pid_t watcher = ::fork();
  if (watcher == 0) {
    ::close(3);
    watch(server, sock);
  }
  ::setenv("LISTEN_PID", std::to_string(server).c_str(), 1);
  ::setenv("LISTEN_FDS", "1", 1);
  ::unsetenv("LISTEN_FDNAMES");
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  ::execvp("nbdkit", cargv.data());
  const int err = errno;
  if (watcher > 0) ::kill(watcher, SIGTERM);
  if (!sock.unix_path.empty()) ::unlink(sock.unix_path.c_str());
  return Status::FromErrno(err, std::string("cannot run nbdkit: ") + std::strerror(err));
}

}  // namespace

Command add_serve(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<ServeArgs>();
  CLI::App* sub = app.add_subcommand(
      "serve",
      "Serve the disks of an image or of Linux MTD devices over NBD (runs nbdkit). "
      "On a unix socket (default: $XDG_RUNTIME_DIR/nyx-nftl.sock, else "
      "/tmp/nyx-nftl-UID/nyx-nftl.sock) only this user and root may connect; on TCP "
      "(--port) anyone who reaches the address may read and write the flash, unless TLS is "
      "required");
  add_image_options(sub, args->image, /*image_required=*/false);
  sub->add_option("--mtd", args->mtd,
                  "Serve a Linux MTD device /dev/mtdN[=NAME], under NAME (one of " +
                      frontend::served_names() + ") or its own name; repeatable");
  sub->add_flag(
      "--all-mtd", args->all_mtd,
      "Serve every NAND MTD device whose name begins with one of " + frontend::served_names());
  sub->add_option("-s,--socket", args->socket,
                  "Unix socket to listen on (a stale one of this user is replaced)");
  sub->add_option("--port", args->port, "TCP port to listen on instead (0: any free port)");
  sub->add_option("--bind", args->bind, "Address to listen on with --port")->capture_default_str();
  sub->add_option("--tls", args->tls,
                  "TLS: off, on (offered) or require (default: require with --tls-psk or "
                  "--tls-certificates, else off)")
      ->check(CLI::IsMember({"off", "on", "require"}));
  sub->add_option("--tls-psk", args->tls_psk, "TLS pre-shared keys file (psktool's format)");
  sub->add_option("--tls-certificates", args->tls_certificates,
                  "Directory of TLS certificates (nbdkit's --tls-certificates)");
  sub->add_flag("--insecure", args->insecure,
                "Allow --bind on a non-loopback address without TLS required");
  sub->add_flag("--readonly", args->readonly, "Refuse writes");
  sub->add_flag("--dry-run", args->dry_run,
                "Check everything, print the nbdkit command line, stop");
  sub->footer(plugin_lookup_help());
  return {sub, [args, &global] { return run_serve(*args, global); }};
}

}  // namespace cli
