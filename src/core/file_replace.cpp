#include "core/file_replace.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quibrel {

namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;
// Room left for the temporary name's prefix and suffix within NAME_MAX (255).
constexpr std::size_t kMaxNameInTemp = 200;
constexpr int kNameAttempts = 100;

struct Target {
    std::string path;
    bool exists = false;
    struct stat st{};
};

std::size_t last_slash(const std::string& path) { return path.rfind('/'); }

// The directory part of `path` with its trailing slash ("" for a bare name).
std::string directory_prefix(const std::string& path) {
    const std::size_t slash = last_slash(path);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a write through `path` lands in: symbolic links followed one by one
// (a dangling link names the file it would create). Empty when the chain
// cannot be followed; the in-place create then meets the same error as ever.
std::optional<Target> resolve_target(const std::string& path) {
    Target t;
    t.path = path;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        if (::lstat(t.path.c_str(), &t.st) != 0) {
            if (errno != ENOENT) return std::nullopt;
            t.exists = false;
            return t;
        }
        if (!S_ISLNK(t.st.st_mode)) {
            t.exists = true;
            return t;
        }
        std::string link(static_cast<std::size_t>(t.st.st_size) + 1, '\0');
        const ssize_t n = ::readlink(t.path.c_str(), link.data(), link.size());
        // A link that changed length since lstat: give up rather than race it.
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return std::nullopt;
        link.resize(static_cast<std::size_t>(n));
        t.path = link.front() == '/' ? link : directory_prefix(t.path) + link;
    }
    return std::nullopt;
}

// Errors that say the directory cannot take a new file while the target
// itself may still be writable.
bool no_new_file_here(int code) {
    return code == EACCES || code == EPERM || code == EROFS || code == ENAMETOOLONG;
}

std::string temp_name(const std::string& target) {
    static std::atomic<std::uint64_t> counter{0};
    // Unique enough to make collisions rare; O_EXCL makes them harmless.
    std::uint64_t x =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(::getpid()) << 32) ^
        (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix;
    for (int i = 0; i < 8; ++i, x /= 36) suffix += kDigits[x % 36];
    const std::size_t slash = last_slash(target);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return directory_prefix(target) + "." + name.substr(0, kMaxNameInTemp) + "." + suffix + ".tmp";
}

// A temporary file that is removed unless it was renamed into place.
struct TempFile {
    std::string path;
    FileHandle file;
    bool renamed = false;

    TempFile(std::string p, FileHandle f) : path(std::move(p)), file(std::move(f)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!renamed) ::unlink(path.c_str());
    }
};

// The new file, or the errno that made it impossible.
std::optional<TempFile> create_temp(const Target& target, int& error) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = temp_name(target.path);
        FileHandle file = FileHandle::create_new(name, error);
        if (error == EEXIST) continue;
        if (error != 0) return std::nullopt;
        return std::optional<TempFile>(std::in_place, std::move(name), std::move(file));
    }
    return std::nullopt;
}

// Gives the new file the old one's owner, group and permission bits. False
// when that is not allowed.
bool copy_attributes(const TempFile& temp, const struct stat& old) {
    const int fd = temp.file.descriptor();
    struct stat now{};
    if (::fstat(fd, &now) != 0) return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return false;
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

void sync_directory(const std::string& target) {
    const std::string dir = directory_prefix(target);
    const char* const path = dir.empty() ? "." : dir.c_str();
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Best effort: the file itself is already on the device.
    (void)::fsync(fd);
    ::close(fd);
}

void write_in_place(const std::string& path, const std::function<void(FileHandle&)>& write) {
    FileHandle file = FileHandle::create_for_write(path);
    write(file);
    file.close();
}

}  // namespace

void write_file_replacing(const std::string& path, const std::function<void(FileHandle&)>& write) {
    if (path.find('\0') != std::string::npos) return write_in_place(path, write);
    const std::optional<Target> target = resolve_target(path);
    if (!target) return write_in_place(path, write);
    if (target->exists && (!S_ISREG(target->st.st_mode) || target->st.st_nlink > 1 ||
                           ::faccessat(AT_FDCWD, target->path.c_str(), W_OK, AT_EACCESS) != 0))
        return write_in_place(path, write);

    int error = 0;
    std::optional<TempFile> temp = create_temp(*target, error);
    if (!temp) {
        if (error == EEXIST || no_new_file_here(error)) return write_in_place(path, write);
        throw_os_error(error);
    }
    if (target->exists && !copy_attributes(*temp, target->st)) {
        temp.reset();
        return write_in_place(path, write);
    }
    write(temp->file);
    temp->file.sync();
    temp->file.close();
    if (::rename(temp->path.c_str(), target->path.c_str()) != 0) {
        const int code = errno;
        temp.reset();
        // Allowed to write the file but not to replace it (a sticky directory).
        if (code == EACCES || code == EPERM) return write_in_place(path, write);
        throw_os_error(code);
    }
    temp->renamed = true;
    sync_directory(target->path);
}

}  // namespace quibrel
