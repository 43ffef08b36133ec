#include "core/analysis/sweep_record.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "core/analysis/version.h"

namespace snt {

std::string record_path(const std::string &csv_path) { return csv_path + ".json"; }

bool gets_record(const std::string &csv_path)
{
    struct stat st {};
    if (::stat(csv_path.c_str(), &st) == 0) return S_ISREG(st.st_mode);
    return csv_path.rfind("/dev/", 0) != 0 && csv_path.rfind("/proc/", 0) != 0;
}

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b >= 0x20 && b < 0x7f) {
            out += c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", b);
            out += buf;
        }
    }
    return out + "\"";
}

std::string SweepRecord::now_utc()
{
    const std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

std::string SweepRecord::json() const
{
    const auto number = [](std::uint64_t v) { return std::to_string(v); };
    const auto optional_string = [](const std::string &s) { return s.empty() ? std::string("null") : json_string(s); };
    std::string cmd = "[";
    for (std::size_t i = 0; i < command.size(); ++i) cmd += (i ? ", " : "") + json_string(command[i]);
    cmd += "]";
    std::string j = "{\n";
    j += "  \"tool\": \"snt\",\n";
    j += "  \"version\": " + json_string(kVersion) + ",\n";
    j += "  \"created\": " + json_string(created) + ",\n";
    j += "  \"command\": " + cmd + ",\n";
    j += "  \"device\": " + json_string(device) + ",\n";
    j += "  \"identification\": " + optional_string(identification) + ",\n";
    j += "  \"crystal_hz\": " + (crystal ? number(*crystal) : std::string("null")) + ",\n";
    j += "  \"dut\": " + optional_string(dut) + ",\n";
    j += "  \"reference\": " + optional_string(reference) + ",\n";
    j += "  \"spacing\": " + json_string(plan.log ? "log" : "linear") + ",\n";
    j += "  \"start_hz\": " + number(plan.start) + ",\n";
    j += "  \"stop_hz\": " + number(plan.last()) + ",\n";
    if (!plan.log) j += "  \"step_hz\": " + number(plan.step) + ",\n";
    j += "  \"points\": " + number(plan.points) + ",\n";
    j += "  \"measured\": " + number(measured) + ",\n";
    j += "  \"partial\": " + std::string(partial ? "true" : "false") + ",\n";
    j += "  \"columns\": {\"frequency_hz\": \"Hz\", \"level\": \"squared magnitude of the 1 kHz beat tone (empty: "
         "the synthesizer cannot make the frequency)\", \"db\": " +
        json_string(reference.empty() ? "10 log10(level / 3.6864e10), full scale"
                                      : "10 log10(level / level of the reference at the same frequency)") +
        "}\n";
    j += "}\n";
    return j;
}

} // namespace snt
