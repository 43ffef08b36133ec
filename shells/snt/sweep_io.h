// What the analysis (core/analysis) needs from the system: sweep CSV files
// read within bounds, whether a CSV gets its record beside it, and the
// time a record is made.
#pragma once

#include <string>

#include "core/analysis/sweep.h"
#include "core/analysis/sweep_csv.h"

namespace snt {

// Reads a sweep CSV file (a regular file, a device or a pipe) within
// kSweepCsvLimits; Ctrl-C stops the read (Interrupted). Throws InputError
// naming the file and the line.
SweepResult read_sweep_csv(const std::string &path, SweepCsv kind);

// Whether the CSV at `csv_path` gets a record: a regular file does (or a
// path that does not exist yet), a device or a pipe does not.
bool gets_record(const std::string &csv_path);

// The current time, as SweepRecord::created wants it.
std::string now_utc();

} // namespace snt
