#include "core/analysis/sweep_record.h"

#include <cstdio>

#include "core/analysis/version.h"

namespace snt {

std::string record_path(const std::string &csv_path) { return csv_path + ".json"; }

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

std::string SweepRecord::utc(std::int64_t unix_seconds)
{
    // The civil date of a day count (proleptic Gregorian calendar), as
    // gmtime gives it, in eras of 400 years.
    const std::int64_t days = (unix_seconds >= 0 ? unix_seconds : unix_seconds - 86399) / 86400;
    const std::int64_t second_of_day = unix_seconds - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t day_of_era = z - era * 146097;
    const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t mp = (5 * day_of_year + 2) / 153;
    const std::int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(second_of_day / 3600), static_cast<long long>(second_of_day / 60 % 60),
                  static_cast<long long>(second_of_day % 60));
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
