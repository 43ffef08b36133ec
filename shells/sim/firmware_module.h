// One loaded copy of the firmware's host build. Each copy has its own
// globals, all at their reset values when it is loaded, so every board
// starts from reset just as the chip does.
#pragma once

#include <stdexcept>
#include <string>

namespace sim {

class FirmwareModule {
public:
    // The module built next to the running program, or $SNT_FW_MODULE.
    static std::string default_path();

    explicit FirmwareModule(const std::string &path = default_path());
    ~FirmwareModule();
    FirmwareModule(const FirmwareModule &) = delete;
    FirmwareModule &operator=(const FirmwareModule &) = delete;

    // Address of a global or function with C linkage, or nullptr.
    void *find(const char *name) const;

    template <typename T>
    T *get(const char *name) const
    {
        void *p = find(name);
        if (p == nullptr) throw std::runtime_error(std::string("firmware has no symbol ") + name);
        return reinterpret_cast<T *>(p);
    }

private:
    void *handle_ = nullptr;
    int fd_ = -1;
};

} // namespace sim
