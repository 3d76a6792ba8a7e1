// Where the host program writes: its lines, events file, plug-in's stdout.
#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "host_error.h"

namespace host {
namespace {

// A file as the kernel knows it (device and inode), or for one that does
// not exist yet its path with every existing folder resolved.
struct Target {
  std::string label;
  bool ours = false;  // opened for writing by this program
  bool exists = false;
  bool terminal_or_device = false;  // e.g. /dev/null: sharing it is harmless
  dev_t dev = 0;
  ino_t ino = 0;
  std::string path;
};

Target FromStat(const std::string& label, bool ours, const struct stat& st) {
  Target t;
  t.label = label;
  t.ours = ours;
  t.exists = true;
  t.terminal_or_device = S_ISCHR(st.st_mode);
  t.dev = st.st_dev;
  t.ino = st.st_ino;
  return t;
}

Target FromPath(const std::string& label, bool ours, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return FromStat(label, ours, st);
  Target t;
  t.label = label;
  t.ours = ours;
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path full = fs::absolute(path, error);
  const fs::path folder = fs::canonical(full.parent_path(), error);
  t.path = error ? full.lexically_normal().string()
                 : (folder / full.filename()).string();
  return t;
}

bool Same(const Target& a, const Target& b) {
  if (a.exists != b.exists) return false;
  if (!a.exists) return a.path == b.path;
  return !a.terminal_or_device && a.dev == b.dev && a.ino == b.ino;
}

void RefuseSharedFiles(const Options& options) {
  std::vector<Target> targets;
  if (!options.events.empty() && options.events != "-")
    targets.push_back(
        FromPath("--events " + options.events, true, options.events));
  if (!options.plugin_output.empty() && options.plugin_output != "-")
    targets.push_back(FromPath("--plugin-output " + options.plugin_output, true,
                               options.plugin_output));
  if (targets.empty()) return;
  struct stat st {};
  if (fstat(1, &st) == 0)
    targets.push_back(FromStat("standard output", false, st));
  if (fstat(2, &st) == 0)
    targets.push_back(FromStat("standard error", false, st));
  if (!options.config.empty())
    targets.push_back(
        FromPath("the configuration " + options.config, false, options.config));
  targets.push_back(
      FromPath("the plug-in " + options.plugin, false, options.plugin));
  for (std::size_t i = 0; i < targets.size(); ++i)
    for (std::size_t j = i + 1; j < targets.size(); ++j)
      if ((targets[i].ours || targets[j].ours) && Same(targets[i], targets[j]))
        throw BadInput(targets[i].label + " and " + targets[j].label +
                       " are the same file; give each output its own");
}

}  // namespace

Outputs::Outputs(const Options& options) {
  RefuseSharedFiles(options);
  const bool events_on_stdout = options.events == "-";
  const bool plugin_file =
      !options.plugin_output.empty() && options.plugin_output != "-";
  plugin_name_ = plugin_file        ? options.plugin_output
                 : events_on_stdout ? ""
                                    : "standard output";
  int plugin_fd = -1;
  if (plugin_file) {
    plugin_fd = open(options.plugin_output.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (plugin_fd < 0)
      throw BadInput("cannot write " + options.plugin_output + ": " +
                     std::strerror(errno));
  }
  if (!options.events.empty() && !events_on_stdout) {
    events_name_ = options.events;
    events_ = std::fopen(options.events.c_str(), "we");
    if (events_ == nullptr) {
      const int error = errno;
      if (plugin_fd >= 0) close(plugin_fd);
      throw BadInput("cannot write events file " + options.events + ": " +
                     std::strerror(error));
    }
  }
  if (plugin_fd < 0 && !events_on_stdout) return;

  // Standard output (fd 1, which the plug-in writes to) is redirected; the
  // host keeps the original for itself.
  std::fflush(stdout);
  std::cout.flush();
  const int original = fcntl(1, F_DUPFD_CLOEXEC, 3);
  std::FILE* saved = original >= 0 ? fdopen(original, "w") : nullptr;
  if (saved == nullptr) {
    if (plugin_fd >= 0) close(plugin_fd);
    throw Failure("cannot duplicate standard output");
  }
  dup2(plugin_fd >= 0 ? plugin_fd : 2, 1);
  if (plugin_fd >= 0) close(plugin_fd);
  if (events_on_stdout) {
    events_ = saved;
    events_name_ = "standard output";
    report_ = stderr;
  } else {
    report_ = saved;
  }
}

Outputs::~Outputs() {
  if (events_ != nullptr && events_ != report_) std::fclose(events_);
  if (report_ != stdout && report_ != stderr) std::fclose(report_);
}

std::string Outputs::WriteProblems(int events_error) {
  std::vector<std::string> failed;
  auto add = [&](const std::string& name, int error) {
    std::string text = "writing " + name + " failed";
    if (error > 0) text += std::string(": ") + std::strerror(error);
    for (const std::string& f : failed)
      if (f.rfind("writing " + name + " failed", 0) == 0) return;
    failed.push_back(text);
  };
  if (events_error != 0) add("the events to " + events_name_, events_error);
  if (report_ != stderr) {
    errno = 0;
    const bool flushed = std::fflush(report_) == 0;
    const int error = flushed ? 0 : errno;
    if (!flushed || std::ferror(report_)) add("standard output", error);
  }
  // The plug-in writes to fd 1 through stdio and std::cout.
  std::cout.flush();
  const bool plugin_failed =
      std::fflush(stdout) != 0 || std::ferror(stdout) || std::cout.bad();
  if (plugin_failed && !plugin_name_.empty())
    add(plugin_name_ == "standard output"
            ? plugin_name_
            : "the plug-in's output to " + plugin_name_,
        0);
  std::string text;
  for (const std::string& f : failed) text += (text.empty() ? "" : "; ") + f;
  return text;
}

}  // namespace host
