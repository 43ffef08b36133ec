#include "shells/sim/firmware_module.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace sim {

std::string FirmwareModule::default_path()
{
    if (const char *env = std::getenv("SNT_FW_MODULE"); env != nullptr && *env != 0) {
        return env;
    }
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) throw std::runtime_error("cannot find the running program's folder");
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/'));
    return dir + "/libsnt_fw.so";
}

FirmwareModule::FirmwareModule(const std::string &path)
{
    // The dynamic loader shares a module that is already loaded, so each
    // board loads its own private copy from an anonymous file.
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read firmware module " + path);
    const std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    fd_ = memfd_create("snt-fw", MFD_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error(std::string("memfd_create: ") + std::strerror(errno));
    std::size_t done = 0;
    while (done < image.size()) {
        const ssize_t w = ::write(fd_, image.data() + done, image.size() - done);
        if (w <= 0) {
            ::close(fd_);
            throw std::runtime_error("cannot copy the firmware module");
        }
        done += static_cast<std::size_t>(w);
    }
    const std::string fd_path = "/proc/self/fd/" + std::to_string(fd_);
    handle_ = dlopen(fd_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const std::string err = dlerror();
        ::close(fd_);
        throw std::runtime_error("cannot load firmware module " + path + ": " + err);
    }
}

FirmwareModule::~FirmwareModule()
{
    if (handle_ != nullptr) dlclose(handle_);
    if (fd_ >= 0) ::close(fd_);
}

void *FirmwareModule::find(const char *name) const { return dlsym(handle_, name); }

} // namespace sim
