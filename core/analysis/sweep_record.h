// How a sweep was made, kept beside its CSV in FILE.json so that the CSV
// itself stays plain (its first line is the header, every other line a
// point) for every reader: spreadsheets, pandas, our own --ref.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/analysis/sweep.h"

namespace snt {

struct SweepRecord {
    std::string created;                  // UTC, ISO 8601 ("2026-12-08T01:10:53Z")
    std::vector<std::string> command;     // the command line, program name first
    std::string device;                   // the serial port, or "virtual (snt-sim)"
    std::string identification;           // what the tester answered to `w`
    std::optional<std::uint32_t> crystal; // announced in its start-up banner, if seen
    std::string dut;                      // --dut of the virtual tester
    std::string reference;                // --ref, empty: dB against full scale
    SweepPlan plan;
    std::uint32_t measured = 0; // points measured (fewer than planned when partial)
    bool partial = false;       // interrupted or lost device: FILE.partial

    // A time as `created` wants it, from whole seconds since 1970-01-01
    // 00:00 UTC (the caller reads the clock).
    static std::string utc(std::int64_t unix_seconds);
    // A JSON object, one key a line, ending with a line feed.
    std::string json() const;
};

// Where the record of the CSV at `csv_path` goes: the same name plus ".json".
std::string record_path(const std::string &csv_path);

// `text` as a JSON string, quotes included; bytes that are not printable
// ASCII become \uXXXX escapes (a byte above 0x7f as U+0080..U+00FF).
std::string json_string(std::string_view text);

} // namespace snt
