#include "shells/snt/sweep_io.h"

#include <sys/stat.h>

#include <ctime>

#include "core/analysis/sweep_record.h"
#include "shells/snt/line_reader.h"

namespace snt {

SweepResult read_sweep_csv(const std::string &path, SweepCsv kind)
{
    LineReader in(path, kSweepCsvLimits);
    SweepCsvParser parser(path, kind);
    while (const auto line = in.next()) parser.line(*line, in.line_number());
    return parser.result();
}

bool gets_record(const std::string &csv_path)
{
    struct stat st {};
    if (::stat(csv_path.c_str(), &st) == 0) return S_ISREG(st.st_mode);
    return csv_path.rfind("/dev/", 0) != 0 && csv_path.rfind("/proc/", 0) != 0;
}

std::string now_utc() { return SweepRecord::utc(static_cast<std::int64_t>(std::time(nullptr))); }

} // namespace snt
