// The metrics registry: its text exposition and the rules of registration.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "base/qk_metrics.h"

namespace {

// One family per kind, a labelled family whose series are rendered under one HELP and TYPE,
// escapes, and numbers: whole gauges without a fraction, counters as integers.
TEST(MetricsRegistry, RendersTheTextExpositionFormat) {
    CQKMetricsRegistry registry;
    registry.counter("qk_test_files_total", "Files.\nSecond line \\ here").inc(3);
    CQKCounter& checksum =
        registry.counter("qk_test_refused_total", "Refused.", "reason", "checksum");
    registry.counter("qk_test_refused_total", "Refused.", "reason", "a\"b\\c\nd");
    checksum.inc();
    registry.gauge("qk_test_open", "Open.").add(2);
    registry.gauge("qk_test_seconds", "Seconds.").set(0.012205);
    registry.gauge("qk_test_big", "Big.").set(1796757633.0);

    EXPECT_EQ(registry.render(),
              "# HELP qk_test_files_total Files.\\nSecond line \\\\ here\n"
              "# TYPE qk_test_files_total counter\n"
              "qk_test_files_total 3\n"
              "# HELP qk_test_refused_total Refused.\n"
              "# TYPE qk_test_refused_total counter\n"
              "qk_test_refused_total{reason=\"checksum\"} 1\n"
              "qk_test_refused_total{reason=\"a\\\"b\\\\c\\nd\"} 0\n"
              "# HELP qk_test_open Open.\n"
              "# TYPE qk_test_open gauge\n"
              "qk_test_open 2\n"
              "# HELP qk_test_seconds Seconds.\n"
              "# TYPE qk_test_seconds gauge\n"
              "qk_test_seconds 0.012205\n"
              "# HELP qk_test_big Big.\n"
              "# TYPE qk_test_big gauge\n"
              "qk_test_big 1796757633\n");
}

TEST(MetricsRegistry, ANameRegisteredAgainIsTheSameSeriesOrRefused) {
    CQKMetricsRegistry registry;
    CQKCounter& first = registry.counter("qk_test_total", "Help.");
    EXPECT_EQ(&registry.counter("qk_test_total", "Help."), &first);
    EXPECT_THROW(registry.gauge("qk_test_total", "Help."), std::invalid_argument);
    EXPECT_THROW(registry.counter("qk_test_total", "Help.", "reason", "x"), std::invalid_argument);
    EXPECT_THROW(registry.counter("9bad", "Help."), std::invalid_argument);
    EXPECT_THROW(registry.counter("qk_ok_total", "Help.", "bad-label", "x"), std::invalid_argument);
}

// Updates from many threads at once lose nothing, also while another thread renders.
TEST(MetricsRegistry, ConcurrentUpdatesAreAllCounted) {
    CQKMetricsRegistry registry;
    CQKCounter& counter = registry.counter("qk_test_total", "Help.");
    CQKGauge& gauge = registry.gauge("qk_test_open", "Help.");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) {
                counter.inc();
                gauge.add(1);
                gauge.add(-1);
            }
        });
    }
    for (int i = 0; i < 50; ++i)
        registry.render();
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter.value(), 400000u);
    EXPECT_EQ(gauge.value(), 0.0);
}

}  // namespace
