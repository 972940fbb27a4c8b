// In-process benchmark of the reply pipeline on generated discussion pages and filter tables,
// timed next to one memcpy of the same page in the same iterations.
#include "core/proxy.h"
#include "filterlist/config.h"
#include "http/message.h"
#include "pagefilter/comments.h"
#include "pagefilter/embedded.h"
#include "pagefilter/links.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char reply_header[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
constexpr int header_length = sizeof reply_header - 1;

struct input_page {
    std::string label;
    std::string body;
};

struct input_table {
    std::string label;
    std::string text;
};

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(2);
    }
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void load_table(const input_table &t) {
    filter_count = 0;
    std::vector<char> text(t.text.begin(), t.text.end());
    text.push_back('\0');
    parse_config(text.data(), static_cast<int>(t.text.size()));
}

void place_reply(const std::string &body) {
    std::memcpy(message_buffer, reply_header, header_length);
    std::memcpy(message_buffer + header_length, body.data(), body.size());
    message_info.header_length = header_length;
    message_info.body_start = message_buffer + header_length;
    message_info.body_length = static_cast<int>(body.size());
    message_info.total_length = header_length + message_info.body_length;
    message_info.body_start[message_info.body_length] = '\0';
}

// The statistics lines of the pipeline go to /dev/null while timing.
struct quiet_stdout {
    int saved;
    quiet_stdout() {
        std::fflush(stdout);
        saved = dup(1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        close(null_fd);
    }
    ~quiet_stdout() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

using clock_type = std::chrono::steady_clock;

void bm_pipeline(benchmark::State &state, const input_page *page, const input_table *table) {
    load_table(*table);
    double memcpy_seconds = 0;
    double pipeline_seconds = 0;
    double stage_seconds[3] = {0, 0, 0};
    int out_length = 0;
    {
        quiet_stdout quiet;
        for (auto _ : state) {
            auto t0 = clock_type::now();
            std::memcpy(message_buffer + header_length, page->body.data(), page->body.size());
            benchmark::ClobberMemory();
            auto t1 = clock_type::now();
            message_info.body_start = message_buffer + header_length;
            message_info.body_length = static_cast<int>(page->body.size());
            // the steps of run_reply_pipeline(), timed one by one
            message_info.body_start[message_info.body_length] = '\0';
            rewrite_links();
            auto ta = clock_type::now();
            remove_embedded_objects();
            auto tb = clock_type::now();
            filter_comments();
            benchmark::ClobberMemory();
            auto t2 = clock_type::now();
            stage_seconds[0] += std::chrono::duration<double>(ta - t1).count();
            stage_seconds[1] += std::chrono::duration<double>(tb - ta).count();
            stage_seconds[2] += std::chrono::duration<double>(t2 - tb).count();
            double pipeline = std::chrono::duration<double>(t2 - t1).count();
            memcpy_seconds += std::chrono::duration<double>(t1 - t0).count();
            pipeline_seconds += pipeline;
            out_length = message_info.body_length;
            state.SetIterationTime(pipeline);
        }
    }
    const double n = static_cast<double>(state.iterations());
    const double mb = static_cast<double>(page->body.size()) / 1e6;
    state.counters["page_MB"] = mb;
    state.counters["out_MB"] = out_length / 1e6;
    state.counters["memcpy_us"] = memcpy_seconds / n * 1e6;
    state.counters["us_per_MB"] = pipeline_seconds / n * 1e6 / mb;
    state.counters["x_memcpy"] = pipeline_seconds / memcpy_seconds;
    state.counters["links_us"] = stage_seconds[0] / n * 1e6;
    state.counters["objects_us"] = stage_seconds[1] / n * 1e6;
    state.counters["comments_us"] = stage_seconds[2] / n * 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(page->body.size()) * state.iterations());
}

double statistic_min(const std::vector<double> &v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

double statistic_max(const std::vector<double> &v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// Keeps the aggregates so that a summary can be printed after the console table.
class summary_reporter : public benchmark::ConsoleReporter {
  public:
    struct figures {
        double us_per_mb = 0;
        double x_memcpy = 0;
        double pipeline_us = 0;
        double memcpy_us = 0;
    };
    std::map<std::string, std::map<std::string, figures>> by_name; // name -> aggregate -> figures

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Aggregate) {
                continue;
            }
            figures f;
            auto get = [&](const char *key) {
                auto it = r.counters.find(key);
                return it == r.counters.end() ? 0.0 : it->second.value;
            };
            f.us_per_mb = get("us_per_MB");
            f.x_memcpy = get("x_memcpy");
            f.memcpy_us = get("memcpy_us");
            f.pipeline_us = r.GetAdjustedRealTime();
            by_name[r.run_name.function_name][r.aggregate_name] = f;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv) {
    std::string data_dir = MIVREL_BENCH_DATA;
    int repetitions = 5;
    std::string profile_case;
    int profile_runs = 10;
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--data=", 7) == 0) {
            data_dir = argv[i] + 7;
        } else if (std::strncmp(argv[i], "--profile=", 10) == 0) {
            // --profile=PAGE/TABLE[:RUNS], e.g. --profile=1500k/typical:20
            profile_case = argv[i] + 10;
            size_t colon = profile_case.find(':');
            if (colon != std::string::npos) {
                profile_runs = std::atoi(profile_case.c_str() + colon + 1);
                profile_case.resize(colon);
            }
        } else if (std::strncmp(argv[i], "--reps=", 7) == 0) {
            repetitions = std::atoi(argv[i] + 7);
        } else {
            rest.push_back(argv[i]);
        }
    }
    int rest_count = static_cast<int>(rest.size());

    std::snprintf(proxy_settings.listen_host, sizeof proxy_settings.listen_host, "127.0.0.1");
    proxy_settings.listen_port = 4004;

    static std::vector<input_page> pages;
    for (const char *label : {"50k", "500k", "1500k"}) {
        pages.push_back({label, read_file(data_dir + "/discussion-" + label + ".html")});
    }
    static std::vector<input_table> tables;
    for (const char *label : {"typical", "full"}) {
        tables.push_back({label, read_file(data_dir + "/" + label + ".conf")});
    }

    if (!profile_case.empty()) {
        // a plain loop over one page and table, for profilers
        for (const input_table &t : tables) {
            for (const input_page &p : pages) {
                if (p.label + "/" + t.label != profile_case) {
                    continue;
                }
                load_table(t);
                quiet_stdout quiet;
                for (int i = 0; i < profile_runs; ++i) {
                    place_reply(p.body);
                    run_reply_pipeline();
                }
                return 0;
            }
        }
        std::fprintf(stderr, "no page/table %s\n", profile_case.c_str());
        return 2;
    }

    // one untimed run of each, to show what the pipeline does to the pages
    for (const input_table &t : tables) {
        load_table(t);
        for (const input_page &p : pages) {
            std::printf("%s/%s: %zu bytes in\n", p.label.c_str(), t.label.c_str(), p.body.size());
            place_reply(p.body);
            run_reply_pipeline();
            std::printf("  %d bytes out\n", message_info.body_length);
        }
    }
    std::printf("\n");

    for (const input_table &t : tables) {
        for (const input_page &p : pages) {
            std::string name = "pipeline/" + p.label + "/" + t.label;
            benchmark::RegisterBenchmark(name.c_str(), bm_pipeline, &p, &t)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond)
                ->MinTime(0.2)
                ->Repetitions(repetitions)
                ->ReportAggregatesOnly(true)
                ->ComputeStatistics("min", statistic_min)
                ->ComputeStatistics("max", statistic_max);
        }
    }
    benchmark::Initialize(&rest_count, rest.data());
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nSummary (over %d repetitions: min / median / max)\n", repetitions);
    std::printf("%-24s %-28s %-28s %s\n", "benchmark", "pipeline us", "us per MB", "x memcpy");
    for (auto &[name, aggregates] : reporter.by_name) {
        auto &lo = aggregates["min"];
        auto &md = aggregates["median"];
        auto &hi = aggregates["max"];
        std::printf("%-24s %8.1f %8.1f %8.1f   %8.1f %8.1f %8.1f   %6.2f %6.2f %6.2f\n",
                    name.c_str(), lo.pipeline_us, md.pipeline_us, hi.pipeline_us, lo.us_per_mb,
                    md.us_per_mb, hi.us_per_mb, lo.x_memcpy, md.x_memcpy, hi.x_memcpy);
    }
    for (const input_table &t : tables) {
        auto small = reporter.by_name.find("pipeline/50k/" + t.label);
        auto large = reporter.by_name.find("pipeline/1500k/" + t.label);
        if (small == reporter.by_name.end() || large == reporter.by_name.end()) {
            continue;
        }
        for (const char *which : {"min", "median", "max"}) {
            double growth = large->second[which].us_per_mb / small->second[which].us_per_mb;
            std::printf("growth %-8s time per MB at 1.5 MB / at 50 KB (%s): %.2f (goal <= 1.30)\n",
                        t.label.c_str(), which, growth);
        }
    }
    benchmark::Shutdown();
    return 0;
}
