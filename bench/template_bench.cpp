// Rendering speed of the template processor on a 10 MB template with variable markers, unknown
// markers and (nested) repeat blocks, read from a string stream and from a file as the main page
// does. "MB" is the input rate in decimal megabytes per second of CPU time, so that other work on
// a busy machine does not count against the renderer; the Time column shows the wall clock.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "templateProcessor.h"

namespace {

constexpr std::size_t kTemplateBytes = 10'000'000;

std::string makeTemplate() {
    const std::string chunk =
        "<tr><td class=\"name\">Lounge</td><td>Refreshed at most every "
        "{%MIN-LOUNGE-UPDATE-INTERVAL%}; boards every {%MIN-MESSAGE-BOARDS-UPDATE-INTERVAL%}, "
        "articles every {%min-articles-update-interval%}.</td></tr>\r\n"
        "{%REPEAT% rows }<li>{%MIN-LOUNGE-UPDATE-INTERVAL%} {%UNKNOWN%} 100% {braces}</li>\r\n"
        "{%REPEAT%cells}<td>{%MIN-ARTICLES-UPDATE-INTERVAL%}</td>{%/repeat%}</ul>{%/REPEAT%}\r\n"
        "<p>Plain text makes up most of a page: paragraphs, headings, links and styles that are "
        "copied through unchanged, with the odd { or %} that is not a marker.</p>\r\n";
    std::string text;
    text.reserve(kTemplateBytes + chunk.size());
    while (text.size() < kTemplateBytes) {
        text += chunk;
    }
    return text;
}

const std::string& theTemplate() {
    static const std::string text = makeTemplate();
    return text;
}

// The template written once to a temporary file, removed at exit.
const std::string& templateFile() {
    static const std::string path = [] {
        std::string name = "/tmp/dovetrail-bench-XXXXXX";
        const int fd = mkstemp(name.data());
        if (fd < 0) {
            throw std::runtime_error("Can't create a temporary file: " + name);
        }
        close(fd);
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(theTemplate().data(), static_cast<std::streamsize>(theTemplate().size()));
        if (!out) {
            throw std::runtime_error("Can't write the benchmark template: " + name);
        }
        std::atexit([] { std::remove(templateFile().c_str()); });
        return name;
    }();
    return path;
}

void renderOnce(std::istream& in, std::ostream& out) {
    templateProcessor::TemplateProcessor processor;
    processor.setVariable("MIN-LOUNGE-UPDATE-INTERVAL", "15 minutes");
    processor.setVariable("MIN-MESSAGE-BOARDS-UPDATE-INTERVAL", "5 minutes");
    processor.setVariable("MIN-ARTICLES-UPDATE-INTERVAL", "60 minutes");
    processor.process(in, out);
}

void report(benchmark::State& state, std::size_t bytes) {
    const auto total = static_cast<double>(bytes) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(total));
    state.counters["MB"] =
        benchmark::Counter(total / 1e6, benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

void BM_RenderFromString(benchmark::State& state) {
    const std::string& text = theTemplate();
    for (auto _ : state) {
        std::istringstream in(text);
        std::ostringstream out;
        renderOnce(in, out);
        benchmark::DoNotOptimize(out.view().data());
    }
    report(state, text.size());
}
BENCHMARK(BM_RenderFromString)->Unit(benchmark::kMillisecond);

void BM_RenderFromFile(benchmark::State& state) {
    const std::string& path = templateFile();
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        renderOnce(in, out);
        benchmark::DoNotOptimize(out.view().data());
    }
    report(state, theTemplate().size());
}
BENCHMARK(BM_RenderFromFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
