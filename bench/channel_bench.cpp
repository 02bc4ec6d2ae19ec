// Times the channel path on generated web-service answers (32 and 256 MiB unless --size says):
// bare expat with empty handlers over the whole answer in memory (the floor), the same fed in
// 64 KiB pieces through expat's buffer (what streaming costs expat), and the full channel request
// through the loaded plug-in from a local file to the RSS text; then the HTML stripper
// alone over the author names. Every run is a child process of its own, so that its peak memory is
// its own; floor and full path alternate. Prints time / bare expat and peak memory / answer.
//
//   channel_bench [--size MiB]... [--plugin PATH] [--repeat ROUNDS] [--keep 1]
// --keep 1 leaves each answer and INI file in place (for profiling one path on its own).
#include <dlfcn.h>
#include <expat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dovetrail/dovetrail.h"
#include "htmlStripper.h"

namespace {

// CPU time of the calling thread (user and system, page faults included), so that other work on a
// busy machine does not count against the code being measured.
class CpuTimer {
  public:
    CpuTimer() : start_(now()) {}
    double seconds() const { return now() - start_; }

  private:
    static double now() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
    double start_;
};

// A realistic answer: message records with board names, entities, character references, replies
// and author names written as escaped markup.
std::string generateAnswer(std::size_t targetBytes, std::vector<std::string>* authors) {
    static const char* const kBoards[] = {"C++ / MFC", "C#", "Web Development", "The Lounge",
                                          "Algorithms &amp; Data"};
    static const char* const kWords[] = {
        "template",          "pointer",    "thread",         "lock",     "parser", "caf&#233;",
        "na&#239;ve",        "&#8364;uro", "&lt;vector&gt;", "question", "help",   "urgent",
        "&quot;quoted&quot;"};
    static const char* const kNames[] = {"John Simmons", "Ren&#233;e", "Chris M.", "Nish", "Marc"};
    std::mt19937 random(42);
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfMessageBrief "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";
    xml.reserve(targetBytes + 4096);
    for (unsigned id = 1; xml.size() < targetBytes; ++id) {
        const bool article = id % 7 == 0;
        xml += article ? "  <ArticleBrief>\n" : "  <MessageBrief>\n";
        xml += "    <MsgBoardName>";
        xml += kBoards[random() % 5];
        xml += "</MsgBoardName>\n    <Url>http://www.example.invalid/Messages/";
        xml += std::to_string(id);
        xml += "/?forum=1649&amp;select=";
        xml += std::to_string(id * 31);
        xml += "</Url>\n";
        xml += article ? "    <Title>" : "    <Subject>";
        for (unsigned w = 0, n = 3 + random() % 6; w < n; ++w) {
            xml += kWords[random() % 13];
            xml += ' ';
        }
        xml += article ? "</Title>\n" : "</Subject>\n";
        std::string author;
        if (id % 3 == 0) {
            author = std::string("&lt;a href=\"http://www.example.invalid/members/") +
                     std::to_string(id) + "\"&gt;&lt;b&gt;" + kNames[random() % 5] +
                     "&lt;/b&gt;&lt;/a&gt;";
        } else {
            author = kNames[random() % 5];
        }
        xml += "    <Author>" + author + "</Author>\n    <MsgsInThread>";
        xml += std::to_string(1 + random() % 40);
        xml += "</MsgsInThread>\n    <PostedDate>2026-12-08T15:06:29</PostedDate>\n";
        xml += article ? "  </ArticleBrief>\n" : "  </MessageBrief>\n";
        if (authors != nullptr) {
            authors->push_back(author);
        }
    }
    xml += "</ArrayOfMessageBrief>\n";
    return xml;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct PhaseResult {
    double seconds = 0;
    long peakKilobytes = 0;
    bool ok = false;
};

// Runs `phase` `repeat` times in a child process and returns its best time and the child's peak
// resident memory.
PhaseResult runInChild(int repeat, const std::function<double()>& phase) {
    int channel[2];
    if (pipe(channel) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        double best = 1e300;
        for (int i = 0; i < repeat; ++i) {
            best = std::min(best, phase());
        }
        const bool written = write(channel[1], &best, sizeof best) == sizeof best;
        _exit(written && best >= 0 ? 0 : 1);
    }
    close(channel[1]);
    PhaseResult result;
    const bool read_ok = read(channel[0], &result.seconds, sizeof result.seconds) ==
                         static_cast<ssize_t>(sizeof result.seconds);
    close(channel[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    result.peakKilobytes = usage.ru_maxrss;
    result.ok = read_ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

double bareExpat(const std::string& path) {
    const std::string answer = readAll(path);
    const CpuTimer timer;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetElementHandler(
        parser, [](void*, const XML_Char*, const XML_Char**) {}, [](void*, const XML_Char*) {});
    XML_SetCharacterDataHandler(parser, [](void*, const XML_Char*, int) {});
    const bool ok =
        XML_Parse(parser, answer.data(), static_cast<int>(answer.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    const double seconds = timer.seconds();
    return ok ? seconds : -1;
}

// The same events, the answer handed over in 64 KiB pieces through expat's own buffer as the
// channel path does: what streaming itself costs in expat, before any work of ours.
double bareExpatInPieces(const std::string& path) {
    const std::string answer = readAll(path);
    const CpuTimer timer;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetElementHandler(
        parser, [](void*, const XML_Char*, const XML_Char**) {}, [](void*, const XML_Char*) {});
    XML_SetCharacterDataHandler(parser, [](void*, const XML_Char*, int) {});
    bool ok = true;
    constexpr std::size_t kPiece = 0x10000;
    for (std::size_t offset = 0; ok && offset < answer.size(); offset += kPiece) {
        const std::size_t count = std::min(kPiece, answer.size() - offset);
        void* room = XML_GetBuffer(parser, static_cast<int>(count));
        ok = room != nullptr;
        if (ok) {
            std::memcpy(room, answer.data() + offset, count);
            ok = XML_ParseBuffer(parser, static_cast<int>(count), XML_FALSE) == XML_STATUS_OK;
        }
    }
    ok = ok && XML_Parse(parser, nullptr, 0, XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    const double seconds = timer.seconds();
    return ok ? seconds : -1;
}

double fullChannel(const std::string& plugin, const std::string& ini, std::size_t* rssBytes) {
    void* library = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen failed: %s\n", dlerror());
        return -1;
    }
    auto get = reinterpret_cast<get_app_plugin_info_fn>(dlsym(library, "get_app_plugin_info"));
    PluginInfo info{};
    get(&info);
    char area[DOVETRAIL_ERROR_TEXT_SIZE];
    if (info.plugin_init(ini.c_str(), area) != 0) {
        std::fprintf(stderr, "plugin_init failed: %s\n", area);
        return -1;
    }
    char* text = nullptr;
    uint32_t length = 0;
    const CpuTimer timer;
    const int32_t status = info.plugin_get_channel("Bench", 0, &text, &length, area);
    const double seconds = timer.seconds();
    if (status != 0) {
        std::fprintf(stderr, "plugin_get_channel failed (%d): %s\n", status, area);
        return -1;
    }
    if (rssBytes != nullptr) {
        *rssBytes = length;
    }
    info.plugin_free(text);
    info.plugin_term();
    return seconds;
}

double stripperAlone(const std::vector<std::string>& authors) {
    const CpuTimer timer;
    std::size_t total = 0;
    for (const std::string& author : authors) {
        htmlStripper::HtmlStripper stripper;
        stripper.process(author);
        total += stripper.result().size();
    }
    const double seconds = timer.seconds();
    return total > 0 ? seconds : -1;
}

struct Samples {
    std::vector<double> seconds;
    long peakKilobytes = 0;
    bool ok = true;

    void add(const PhaseResult& run) {
        seconds.push_back(run.seconds);
        peakKilobytes = std::max(peakKilobytes, run.peakKilobytes);
        ok = ok && run.ok;
    }
    double median() const {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double best() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double worst() const { return *std::max_element(seconds.begin(), seconds.end()); }
};

// Measures one answer size; returns false when a phase failed.
bool benchSize(std::size_t megabytes, int rounds, const std::string& plugin, bool keep) {
    char dirTemplate[] = "/tmp/dovetrail-bench-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        std::perror("mkdtemp");
        return false;
    }
    const std::filesystem::path dir = dirTemplate;
    const std::string answerPath = (dir / "answer.xml").string();
    const std::string iniPath = (dir / "bench.ini").string();
    std::size_t answerBytes = 0;
    std::size_t records = 0;
    {
        std::vector<std::string> authors;
        const std::string answer = generateAnswer(megabytes << 20, &authors);
        answerBytes = answer.size();
        records = authors.size();
        std::ofstream(answerPath, std::ios::binary) << answer;
        // No debug file: every log group is off, as in normal use.
        std::ofstream((dir / "interval.xml").string()) << "<int>15</int>";
        std::ofstream(iniPath) << "[Config]\nHostName=" << dir.string()
                               << "\nGetLoungeLatestUpdatePeriodUrl=interval.xml"
                                  "\nGetCommentLatestUpdatePeriodUrl=interval.xml"
                                  "\nGetArticleLatestUpdatePeriodUrl=interval.xml"
                               << "\n[Bench]\nChannelUrl=answer.xml\nIncludeMessageBoardNames=1\n"
                                  "TrackNewReplies=1\n";
    }

    // Nothing large is held by this process while the phases run, so an idle child's peak is the
    // base that the phases' peaks are measured from.
    const PhaseResult idle = runInChild(1, [] { return 0.0; });
    // One run per child, as a request runs in a process of its own; the floor and the full path
    // take turns, so that a spell of load on the machine weighs on both alike.
    Samples floor;
    Samples pieces;
    Samples full;
    for (int round = 0; round < rounds; ++round) {
        floor.add(runInChild(1, [&] { return bareExpat(answerPath); }));
        full.add(runInChild(1, [&] { return fullChannel(plugin, iniPath, nullptr); }));
        pieces.add(runInChild(1, [&] { return bareExpatInPieces(answerPath); }));
    }
    // The RSS size, measured in a child too (passed back as its "time").
    const PhaseResult size = runInChild(1, [&] {
        std::size_t bytes = 0;
        return fullChannel(plugin, iniPath, &bytes) < 0 ? -1.0 : static_cast<double>(bytes);
    });
    const auto rssBytes = static_cast<std::size_t>(size.seconds);
    if (keep) {
        std::printf("kept: %s (answer.xml, bench.ini with channel Bench)\n", dir.c_str());
    } else {
        std::filesystem::remove_all(dir);
    }
    if (!floor.ok || !pieces.ok || !full.ok || !size.ok) {
        std::fprintf(stderr, "a phase failed\n");
        return false;
    }

    const double mib = static_cast<double>(answerBytes) / (1 << 20);
    const double rssMib = static_cast<double>(rssBytes) / (1 << 20);
    const double fullExtraMib = static_cast<double>(full.peakKilobytes - idle.peakKilobytes) / 1024;
    const double floorExtraMib =
        static_cast<double>(floor.peakKilobytes - idle.peakKilobytes) / 1024;
    std::printf(
        "answer %.1f MiB (%zu records), RSS text %.1f MiB; CPU time of the request's "
        "thread, %d alternating runs each\n",
        mib, records, rssMib, rounds);
    std::printf("  %-20s median %7.3f s (best %.3f, worst %.3f) %7.1f MiB/s  peak +%7.1f MiB\n",
                "bare expat (floor)", floor.median(), floor.best(), floor.worst(),
                mib / floor.median(), floorExtraMib);
    std::printf("  %-20s median %7.3f s (best %.3f, worst %.3f) %7.1f MiB/s\n",
                "bare expat, pieces", pieces.median(), pieces.best(), pieces.worst(),
                mib / pieces.median());
    std::printf("  %-20s median %7.3f s (best %.3f, worst %.3f) %7.1f MiB/s  peak +%7.1f MiB\n",
                "full channel path", full.median(), full.best(), full.worst(), mib / full.median(),
                fullExtraMib);
    std::printf(
        "  time / bare expat: %.2f median, %.2f best (target <= 1.30); bare expat in "
        "pieces / bare expat: %.2f median\n",
        full.median() / floor.median(), full.best() / floor.best(),
        pieces.median() / floor.median());
    std::printf(
        "  peak memory / answer: %.2f; peak %.1f MiB against RSS text + 16 MiB = %.1f MiB "
        "(%s)\n",
        fullExtraMib / mib, fullExtraMib, rssMib + 16,
        fullExtraMib <= rssMib + 16 ? "met" : "NOT met");
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    int rounds = 7;
    std::string plugin = DOVETRAIL_PLUGIN_PATH;
    bool keep = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--size") {
            sizes.push_back(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--plugin") {
            plugin = argv[i + 1];
        } else if (option == "--repeat") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--keep") {
            keep = std::atoi(argv[i + 1]) != 0;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--size MiB]... [--plugin PATH] [--repeat ROUNDS] [--keep 1]\n",
                         argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) {
        sizes = {32, 256};
    }
    for (const std::size_t megabytes : sizes) {
        if (!benchSize(megabytes, rounds, plugin, keep)) {
            return 1;
        }
    }

    // The HTML stripper alone over the author names of a 32 MiB answer.
    std::vector<std::string> authors;
    generateAnswer(std::size_t{32} << 20, &authors);
    std::size_t authorBytes = 0;
    for (const auto& author : authors) {
        authorBytes += author.size();
    }
    const PhaseResult stripper = runInChild(3, [&] { return stripperAlone(authors); });
    if (!stripper.ok) {
        std::fprintf(stderr, "the stripper phase failed\n");
        return 1;
    }
    std::printf("HTML stripper alone: %.3f s, %.1f MiB/s (%zu author names, %.1f MiB)\n",
                stripper.seconds, static_cast<double>(authorBytes) / (1 << 20) / stripper.seconds,
                authors.size(), static_cast<double>(authorBytes) / (1 << 20));
    return 0;
}
