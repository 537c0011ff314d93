#include "topology/topology_cache_manager_basic.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/file.hpp"
#include "common/json_filter.hpp"
#include "common/syslog.hpp"
#include "topology/topology-parser.hpp"

using nlohmann::json;

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result: a failed close can be a failed write.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string directory_of(const std::string& name) {
    auto slash = name.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return name.substr(0, slash);
}

// Replaces `target` with `bytes` so that, whatever happens, the target holds either its old
// content or the whole new one: the bytes go to a temporary file in the same directory,
// which is synced and then renamed over the target. A failure logs, keeps the old file and
// gives false.
bool replace_file(const std::string& target, std::string_view bytes) {
    const std::string temporary = target + ".tmp";
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        framework::Syslog::log(framework::Syslog::kError, "ARBITER_CACHE: Unable to open file \"%s\"!", target.c_str());
        return false;
    }
    bool ok = write_all(fd.get(), bytes) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        framework::Syslog::log(framework::Syslog::kError, "ARBITER_CACHE: Unable to write to file \"%s\"!", target.c_str());
        return false;
    }
    // Make the rename itself durable.
    Fd dir(::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

}  // namespace

TopologyCacheManagerBasic::TopologyCacheManagerBasic(const json_tools::filter::Node& filter,
                                                     std::string_view root,
                                                     const std::string& current,
                                                     const std::string& previous,
                                                     const std::string& initial)
    : filter(&filter), root(root), current_file(current), previous_file(previous),
      initial_file(initial) {
    load_initial_topology();
    active = !current_file.empty() && !previous_file.empty() && current_file != previous_file;
}

void TopologyCacheManagerBasic::load_initial_topology() {
    current_good = !current_file.empty() && try_load_topology_from_file(current_file);
    if (current_good) return;
    if (!previous_file.empty() && try_load_topology_from_file(previous_file)) return;
    if (!initial_file.empty()) try_load_topology_from_file(initial_file);
}

bool TopologyCacheManagerBasic::try_load_topology_from_file(const std::string& name) {
    const framework::MappedFile file = framework::map_file(name);
    if (file.text.empty()) {
        // A file that is not there is the normal first start; one that is there and does
        // not read is worth a word, since the start falls back to an older topology.
        if (!file.error.empty()) log_unreadable(name, file.error);
        return false;
    }
    TopologyParser parser(*filter, root);
    if (!parser.parse(file.text)) {
        log_unreadable(name, parser.error);
        return false;
    }
    contours = std::move(parser.contours);
    return true;
}

void TopologyCacheManagerBasic::log_unreadable(const std::string& name, const std::string& reason) {
    framework::Syslog::log(framework::Syslog::kWarning, "ARBITER_CACHE: Unable to load file \"%s\": %s", name.c_str(),
                           reason.c_str());
}

std::list<Contour>& TopologyCacheManagerBasic::get() {
    return contours;
}

bool TopologyCacheManagerBasic::is_active() const {
    return active;
}

std::string TopologyCacheManagerBasic::to_file_text(const json& envelope) {
    std::string text = envelope.dump(4);
    text += '\n';
    return text;
}

void TopologyCacheManagerBasic::update(const json& envelope) {
    if (!active) return;
    const std::string text = to_file_text(envelope);
    if (current_good) {
        // Rotation: the previous file takes the current file's bytes. A current file that
        // did not load at start (missing, empty, torn, refused) is not rotated: the previous
        // file may be the only good fallback left.
        const framework::MappedFile current = framework::map_file(current_file);
        if (!current.text.empty()) replace_file(previous_file, current.text);
    }
    // Once written here, the current file holds a whole envelope worth keeping; a failed
    // rewrite leaves the old file, and so the old judgement, in place.
    if (replace_file(current_file, text)) current_good = true;
}
