// wear: the wear picture of a partition (SVG by default, PNG if asked) and a
// text histogram of its erase counts on stdout. The image is mapped
// privately: nothing reaches the file.
#include <cstdio>

#include "cli_common.h"
#include "output_file.h"
#include "wear_picture.h"

namespace cli {

namespace {

struct WearArgs {
  ImageArgs image;
  std::string partition = "userdata";
  std::string output;  // default: <image>.<partition>.wear.<format>
  std::string format;  // svg or png; default from the output's extension, else svg
  bool force = false;  // an existing output may be replaced
};

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Status run_wear(const WearArgs& args, const GlobalOptions& global) {
  SystemLog log(global.verbose);
  std::string format = args.format;
  if (format.empty()) format = ends_with(args.output, ".png") ? "png" : "svg";

  auto stack = open_stack(args.image, nandsim::OpenMode::Private);
  if (!stack.ok()) return stack.status();
  auto part = find_partition(*stack.value(), args.partition);
  if (!part.ok()) return part.status();
  const std::string name = part.value()->name;
  const std::string disk = disk_base_name(name);
  if (Status served = check_served(name); !served.ok()) return served;
  auto marked = probe_head_mark(part.value()->mtd);
  if (!marked.ok()) return marked.status();
  if (!marked.value()) {
    return Status::InvalidArgument("partition " + name + " is unformatted; it has no wear to show");
  }
  auto attached = AttachedPart::attach(part.value()->mtd);
  if (!attached.ok()) return attached.status();
  WearPicture picture{name + " (disk " + disk + ")", collect_stats(attached.value().get())};

  const std::string output =
      args.output.empty() ? args.image.path + "." + name + ".wear." + format : args.output;
  auto out = OutputFile::open(output, {image_file(args.image.path)},
                              {.force = args.force, .binary = format == "png"});
  if (!out.ok()) return out.status();
  if (format == "png") {
    if (Status written = write_wear_png(picture, out.value()->stream(), out.value()->name());
        !written.ok()) {
      return written;
    }
  } else {
    const std::string svg = render_wear_svg(picture);
    if (Status written = out.value()->write(svg.data(), svg.size()); !written.ok()) return written;
  }
  if (Status committed = out.value()->commit(); !committed.ok()) return committed;
  // The picture alone goes to standard output when it is the output.
  std::FILE* report = out.value()->to_stdout() ? stderr : stdout;
  std::fputs(wear_histogram(picture.stats).c_str(), report);
  std::fprintf(report, "wrote %s (%zu blocks)\n", out.value()->name().c_str(),
               picture.stats.blocks.size());
  return Status::Ok();
}

}  // namespace

Command add_wear(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<WearArgs>();
  CLI::App* sub = app.add_subcommand("wear", "Draw a partition's wear picture (read-only)");
  add_image_options(sub, args->image);
  sub->add_option("-p,--partition", args->partition, "Partition: MTD name or disk name")
      ->capture_default_str();
  sub->add_option("-o,--output", args->output,
                  "Picture file, - for standard output (default: IMAGE.PARTITION.wear.svg or "
                  ".png)");
  sub->add_option("--format", args->format, "svg or png (default: from --output, else svg)")
      ->check(CLI::IsMember({"svg", "png"}));
  sub->add_flag("--force", args->force, "Replace an existing picture file");
  return {sub, [args, &global] { return run_wear(*args, global); }};
}

}  // namespace cli
