// Statistics, the table and the JSON file of the figures.
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <numeric>

#include "bench/bench.h"

namespace bench {

bool Options::wants(const std::string& name) const {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
}

Sizes sizes_for(const Options& options) {
    if (options.quick) return Sizes{10, 200, 100, 6, 3, 2, 1, 5, 3, 10};
    return Sizes{100, 3000, 1500, 240, 50, 60, 30, 30, 5, 50};
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sleep_ms(int64_t ms) {
    if (ms <= 0) return;
    timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L)};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

Summary summarize(std::vector<double> values) {
    Summary s;
    s.n = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    auto rank = [&](double p) {
        // Nearest rank: the smallest value with at least p of the samples
        // at or below it.
        size_t k = static_cast<size_t>(ceil(p * static_cast<double>(values.size())));
        if (k < 1) k = 1;
        return values[std::min(k, values.size()) - 1];
    };
    s.median = rank(0.5);
    s.p90 = rank(0.9);
    s.p99 = rank(0.99);
    s.min = values.front();
    s.max = values.back();
    s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    return s;
}

void Figure::summary(const std::string& prefix, const Summary& s, double scale) {
    num(prefix + "_n", static_cast<double>(s.n));
    num(prefix + "_median", s.median * scale);
    num(prefix + "_p90", s.p90 * scale);
    num(prefix + "_p99", s.p99 * scale);
    num(prefix + "_mean", s.mean * scale);
    num(prefix + "_min", s.min * scale);
    num(prefix + "_max", s.max * scale);
}

std::string fmt(const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0) return "";
    return std::string(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

std::string fmt_us(double ns) { return isnan(ns) ? "-" : fmt("%.1f us", ns / 1000.0); }
std::string fmt_ms(double ns) { return isnan(ns) ? "-" : fmt("%.1f ms", ns / 1e6); }

std::string json_escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += fmt("\\u%04x", c);
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

namespace {

const char* verdict_word(Verdict v) {
    switch (v) {
        case Verdict::met: return "met";
        case Verdict::missed: return "MISSED";
        case Verdict::info: return "info";
        case Verdict::unavailable: return "unavailable";
        case Verdict::error: return "ERROR";
    }
    return "?";
}

std::string json_number(double v) {
    // JSON has no NaN or infinity.
    if (!isfinite(v)) return "null";
    if (v == floor(v) && fabs(v) < 1e15) return fmt("%.0f", v);
    return fmt("%.6g", v);
}

// The JSON text is only ever appended to. A "literal" + std::string
// temporary inserts at the front of that temporary, and GCC 12 at -O3
// misreads the inlined insert as an overlapping memcpy (-Wrestrict).
void append_quoted(std::string* out, const std::string& s) {
    *out += '"';
    *out += json_escape(s);
    *out += '"';
}

// One text member of a figure, on its own line, with its trailing comma.
void append_member(std::string* out, const char* key, const std::string& value) {
    *out += "\n      \"";
    *out += key;
    *out += "\": ";
    append_quoted(out, value);
    *out += ',';
}

std::string clip(const std::string& s, size_t width) {
    if (s.size() <= width) return s;
    return s.substr(0, width - 1) + "~";
}

}  // namespace

void Report::add(Figure figure) {
    // Shown at once, so that a long run shows its progress.
    fprintf(stderr, "bench: %-44s %-22s %s\n", figure.title.c_str(), figure.result.c_str(),
            verdict_word(figure.verdict));
    figures_.push_back(std::move(figure));
}

int Report::gate_failures() const {
    return static_cast<int>(std::count_if(figures_.begin(), figures_.end(),
                                          [](const Figure& f) { return f.gate && f.verdict == Verdict::missed; }));
}

int Report::errors() const {
    return static_cast<int>(std::count_if(figures_.begin(), figures_.end(),
                                          [](const Figure& f) { return f.verdict == Verdict::error; }));
}

void Report::print_table() const {
    const int w_title = 44, w_result = 24, w_base = 24, w_ratio = 7, w_goal = 30;
    printf("\n%-*s %-*s %-*s %*s  %-*s %s\n", w_title, "measurement", w_result, "result", w_base,
           "baseline (same run)", w_ratio, "ratio", w_goal, "goal", "verdict");
    printf("%s\n", std::string(static_cast<size_t>(w_title + w_result + w_base + w_ratio + w_goal + 14), '-').c_str());
    for (const Figure& f : figures_) {
        std::string ratio = isnan(f.ratio) ? "" : fmt("%.2fx", f.ratio);
        printf("%-*s %-*s %-*s %*s  %-*s %s\n", w_title, clip(f.title, w_title).c_str(), w_result,
               clip(f.result, w_result).c_str(), w_base, clip(f.baseline, w_base).c_str(), w_ratio,
               ratio.c_str(), w_goal, clip(f.goal, w_goal).c_str(), verdict_word(f.verdict));
    }
    bool any_notes = false;
    for (const Figure& f : figures_) {
        if (f.notes.empty()) continue;
        if (!any_notes) printf("\nnotes:\n");
        any_notes = true;
        for (const std::string& n : f.notes) printf("  [%s] %s\n", f.id.c_str(), n.c_str());
    }
}

bool Report::write_json(const std::string& path, std::string* why) const {
    std::string out = "{\n  \"meta\": {";
    for (size_t i = 0; i < meta_.size(); ++i) {
        out += i ? ",\n    " : "\n    ";
        append_quoted(&out, meta_[i].first);
        out += ": ";
        append_quoted(&out, meta_[i].second);
    }
    out += "\n  },\n  \"figures\": {";
    for (size_t i = 0; i < figures_.size(); ++i) {
        const Figure& f = figures_[i];
        out += i ? ",\n    " : "\n    ";
        append_quoted(&out, f.id);
        out += ": {";
        append_member(&out, "title", f.title);
        append_member(&out, "result", f.result);
        append_member(&out, "baseline", f.baseline);
        out += "\n      \"ratio\": ";
        out += json_number(f.ratio);
        out += ',';
        append_member(&out, "goal", f.goal);
        append_member(&out, "verdict", verdict_word(f.verdict));
        out += "\n      \"numbers\": {";
        for (size_t k = 0; k < f.numbers.size(); ++k) {
            if (k) out += ", ";
            append_quoted(&out, f.numbers[k].first);
            out += ": ";
            out += json_number(f.numbers[k].second);
        }
        out += "},\n      \"details\": {";
        for (size_t k = 0; k < f.details.size(); ++k) {
            if (k) out += ", ";
            append_quoted(&out, f.details[k].first);
            out += ": ";
            append_quoted(&out, f.details[k].second);
        }
        out += "},\n      \"notes\": [";
        for (size_t k = 0; k < f.notes.size(); ++k) {
            if (k) out += ", ";
            append_quoted(&out, f.notes[k]);
        }
        out += "]\n    }";
    }
    out += "\n  }\n}\n";

    std::string tmp = path + ".tmp";
    FILE* file = fopen(tmp.c_str(), "w");
    if (!file) {
        *why = "cannot create " + tmp;
        return false;
    }
    bool ok = fwrite(out.data(), 1, out.size(), file) == out.size();
    ok = fclose(file) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        *why = "cannot write " + path;
        remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace bench
