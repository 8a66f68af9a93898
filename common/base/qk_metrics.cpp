// The metrics registry and its text exposition.
#include "base/qk_metrics.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

bool is_metric_name(const std::string& name) {
    if (name.empty())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
        if (!letter && !(i > 0 && c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

// HELP text escapes backslash and line feed; label values also the double quote.
std::string escaped(const std::string& text, bool quote) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (quote && c == '"')
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

// Whole numbers without a fraction (counts, bytes, unix seconds), others with what a double
// holds.
std::string number_text(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0)
        std::snprintf(text, sizeof(text), "%.0f", value);
    else {
        // The shortest text that reads back as the same double.
        for (int digits = 15; digits <= 17; ++digits) {
            std::snprintf(text, sizeof(text), "%.*g", digits, value);
            if (std::strtod(text, nullptr) == value)
                break;
        }
    }
    return text;
}

double unix_seconds_now() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

void CQKGauge::add(double delta) noexcept {
    double current = m_value.load(std::memory_order_relaxed);
    while (!m_value.compare_exchange_weak(current, current + delta, std::memory_order_relaxed)) {
    }
}

CQKMetricsRegistry& CQKMetricsRegistry::instance() {
    static CQKMetricsRegistry* const registry = [] {
        // Never destroyed: connection threads may still count while the process ends.
        auto* created = new CQKMetricsRegistry;
        created
            ->gauge("process_start_time_seconds",
                    "Start time of the process since the unix epoch in seconds.")
            .set(std::floor(unix_seconds_now()));
        return created;
    }();
    return *registry;
}

CQKCounter& CQKMetricsRegistry::counter(const std::string& name, const std::string& help) {
    return series(name, help, Type::Counter, "", "").counter;
}

CQKCounter& CQKMetricsRegistry::counter(const std::string& name, const std::string& help,
                                        const std::string& label, const std::string& label_value) {
    if (!is_metric_name(label) || label.find(':') != std::string::npos)
        throw std::invalid_argument("Wrong label name: " + label);
    return series(name, help, Type::Counter, label, label_value).counter;
}

CQKGauge& CQKMetricsRegistry::gauge(const std::string& name, const std::string& help) {
    return series(name, help, Type::Gauge, "", "").gauge;
}

CQKMetricsRegistry::Series& CQKMetricsRegistry::series(const std::string& name,
                                                       const std::string& help, Type type,
                                                       const std::string& label,
                                                       const std::string& label_value) {
    if (!is_metric_name(name))
        throw std::invalid_argument("Wrong metric name: " + name);
    std::lock_guard<std::mutex> lock(m_mutex);
    Family* family = nullptr;
    for (Family& known : m_families) {
        if (known.name == name) {
            family = &known;
            break;
        }
    }
    if (family == nullptr) {
        family = &m_families.emplace_back(name, help, type, label);
    } else if (family->type != type || family->label != label) {
        throw std::invalid_argument("Metric " + name + " registered again as another kind");
    }
    for (Series& known : family->series) {
        if (known.label_value == label_value)
            return known;
    }
    return family->series.emplace_back(label_value);
}

std::string CQKMetricsRegistry::render() const {
    std::string out;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Family& family : m_families) {
        out += "# HELP " + family.name + " " + escaped(family.help, false) + "\n";
        out += "# TYPE " + family.name + (family.type == Type::Counter ? " counter\n" : " gauge\n");
        for (const Series& series : family.series) {
            out += family.name;
            if (!family.label.empty())
                out += "{" + family.label + "=\"" + escaped(series.label_value, true) + "\"}";
            out += " ";
            out += family.type == Type::Counter ? std::to_string(series.counter.value())
                                                : number_text(series.gauge.value());
            out += "\n";
        }
    }
    return out;
}
