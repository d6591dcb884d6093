#include "bench/recorder.h"

#include <algorithm>

namespace bench {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<double> Recorder::values_of(double (*get)(const Measure&)) const {
    std::vector<double> values;
    for (const auto& m : measures) values.push_back(get(m));
    return values;
}

double Recorder::min_of(double (*get)(const Measure&)) const {
    const auto values = values_of(get);
    return *std::min_element(values.begin(), values.end());
}

double Recorder::max_of(double (*get)(const Measure&)) const {
    const auto values = values_of(get);
    return *std::max_element(values.begin(), values.end());
}

std::vector<Recorder> all_recorders(const Options& options) {
    std::vector<Recorder> recorders = {
        {"helper",
         [](RecorderRuns& b, const StopAt& s, Source) { return b.run_helper(b.options.helper, s); },
         {},
         {},
         {}},
        {"ffmpeg",
         [](RecorderRuns& b, const StopAt& s, Source source) {
             return b.run_ffmpeg(false, s, source);
         },
         {},
         {},
         {}},
        {"ffmpeg 10 ms",
         [](RecorderRuns& b, const StopAt& s, Source source) {
             return b.run_ffmpeg(true, s, source);
         },
         {},
         {},
         {}},
        {options.pipewire ? "pw-record | opusenc" : "parec | opusenc",
         [](RecorderRuns& b, const StopAt& s, Source source) { return b.run_pipeline(s, source); },
         {},
         {},
         {}},
    };
    if (!options.baseline.empty()) {
        recorders.push_back({"helper baseline",
                             [](RecorderRuns& b, const StopAt& s, Source) {
                                 return b.run_helper(b.options.baseline, s);
                             },
                             {},
                             {},
                             {}});
    }
    return recorders;
}

}  // namespace bench
