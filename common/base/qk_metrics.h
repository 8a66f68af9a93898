// A registry of named counters and gauges, rendered in the Prometheus text exposition format
// 0.0.4 ("# HELP" and "# TYPE" lines, then one line per series).
//
// A metric is registered once, usually at start-up, and the reference returned stays valid
// for the registry's life; the process-wide registry lives until the process ends, so its
// counters survive the listeners that are restarted when parameters change. Updating a
// counter or a gauge is one relaxed atomic operation and takes no lock: they sit on the
// transfer's path. Registration and rendering take the registry's mutex.
//
// A family has either no label or one label (for instance "reason"); each of its label
// values is a series registered on its own, so that known values are rendered as 0 before
// the first event. Registering a name again returns the series already there. A name that is
// not a valid metric name, or one registered again with another type or label, is a
// programming error: std::invalid_argument.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

class CQKCounter {
public:
    void inc(std::uint64_t n = 1) noexcept { m_value.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t value() const noexcept { return m_value.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> m_value{0};
};

class CQKGauge {
public:
    void set(double value) noexcept { m_value.store(value, std::memory_order_relaxed); }
    void add(double delta) noexcept;
    double value() const noexcept { return m_value.load(std::memory_order_relaxed); }

private:
    std::atomic<double> m_value{0.0};
    static_assert(std::atomic<double>::is_always_lock_free, "a gauge must not take a lock");
};

class CQKMetricsRegistry {
public:
    CQKMetricsRegistry() = default;
    CQKMetricsRegistry(const CQKMetricsRegistry&) = delete;
    CQKMetricsRegistry& operator=(const CQKMetricsRegistry&) = delete;

    // The process's registry; its first use registers process_start_time_seconds with the
    // time of that use (the programs touch it at the start of main).
    static CQKMetricsRegistry& instance();

    CQKCounter& counter(const std::string& name, const std::string& help);
    CQKCounter& counter(const std::string& name, const std::string& help, const std::string& label,
                        const std::string& label_value);
    CQKGauge& gauge(const std::string& name, const std::string& help);

    // Every family in the order of registration.
    std::string render() const;

private:
    enum class Type { Counter, Gauge };
    struct Series {
        explicit Series(std::string value) : label_value(std::move(value)) {}
        const std::string label_value;
        CQKCounter counter;
        CQKGauge gauge;
    };
    struct Family {
        Family(std::string n, std::string h, Type t, std::string l)
            : name(std::move(n)), help(std::move(h)), type(t), label(std::move(l)) {}
        const std::string name;
        const std::string help;
        const Type type;
        const std::string label;
        std::deque<Series> series;  // a deque: references to its elements stay valid
    };

    Series& series(const std::string& name, const std::string& help, Type type,
                   const std::string& label, const std::string& label_value);

    mutable std::mutex m_mutex;
    std::deque<Family> m_families;
};
