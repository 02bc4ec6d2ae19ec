#include "cli.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "channelCache.h"
#include "channelList.h"
#include "hostError.h"
#include "httpService.h"
#include "locate.h"
#include "pluginLibrary.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr const char* kFooter = R"(Examples:
  dovetrail channels                       list the channels of the bundled example
  dovetrail channel lounge                 print the lounge channel's RSS
  dovetrail channel lounge articles -o out write out/lounge.rss and out/articles.rss
  dovetrail main-page > page.html          render the main page
  dovetrail intervals --json               the minimum update intervals, in seconds
  dovetrail --config my.ini serve --listen 127.0.0.1:8080
                                           serve http://127.0.0.1:8080/channels/NAME.rss

The plug-in runs in the INI file's directory, so relative paths in the INI file (such as a
HostName naming a directory of local answer files) are relative to that directory. Without
--config the bundled example is used; without --plugin the installed plug-in, then the build
tree's.

Exit codes:
  0   success
  1   the plug-in failed: configuration, download or XML error (the message says which)
  2   the plug-in could not allocate its output buffer
  3   the plug-in cannot open its main page template file
  4   the plug-in cannot open an internet connection
  5   unknown channel (its INI section has no ChannelUrl)
  64  wrong command line
  66  the configuration file cannot be found or read
  69  the plug-in library cannot be found, loaded or used
  70  unexpected internal error
  71  serve cannot listen on the given address
  73  an output file cannot be written
With several channels, the exit code is that of the first one that failed.)";

struct Options {
    std::string config;
    std::string plugin;
    std::vector<std::string> channels;
    std::string outputDir;
    std::string outputFile;
    bool json = false;
    std::string listen = "127.0.0.1:8080";
    int threads = 16;
};

// The configuration file as an absolute path, checked to be a readable regular file: the plug-in
// itself would silently use defaults for a missing file.
std::string resolveConfig(const std::string& given) {
    fs::path path = given.empty() ? firstExisting(defaultConfigCandidates(programDirectory()),
                                                  "the bundled example configuration",
                                                  "--config FILE", kExitNoConfig)
                                  : fs::path(given);
    std::error_code error;
    path = fs::absolute(path, error).lexically_normal();
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        throw HostError(kExitNoConfig,
                        "Can't read the configuration file: " + path.string() + ": No such file");
    }
    if (fs::is_directory(status)) {
        throw HostError(kExitNoConfig, "Can't read the configuration file: " + path.string() +
                                           ": it is a directory");
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
        throw HostError(kExitNoConfig, "Can't read the configuration file: " + path.string() +
                                           ": " + std::strerror(errno));
    }
    return path.string();
}

std::string resolvePlugin(const std::string& given) {
    if (given.empty()) {
        return firstExisting(defaultPluginCandidates(programDirectory()), "the plug-in library",
                             "--plugin FILE", kExitNoPlugin)
            .string();
    }
    std::error_code error;
    // dlopen searches the library path for a bare name; a name with a slash is taken as a path.
    return given.find('/') == std::string::npos && !fs::exists(given, error)
               ? given
               : fs::absolute(given, error).lexically_normal().string();
}

// The plug-in reads relative local paths against the working directory: make that the INI
// file's directory, as documented in --help.
void enterConfigDirectory(const std::string& configPath) {
    const fs::path dir = fs::path(configPath).parent_path();
    std::error_code error;
    fs::current_path(dir, error);
    if (error) {
        throw HostError(kExitNoConfig, "Can't change to the configuration file's directory: " +
                                           dir.string() + ": " + error.message());
    }
}

// A channel name as a file name: bytes that a path would read specially are escaped.
std::string fileNameFor(const std::string& channel) {
    std::string out;
    for (std::size_t i = 0; i < channel.size(); ++i) {
        const auto u = static_cast<unsigned char>(channel[i]);
        if (u < 0x20 || channel[i] == '/' || channel[i] == '\\' || channel[i] == '%' ||
            (i == 0 && channel[i] == '.')) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", u);
            out += escaped;
        } else {
            out += channel[i];
        }
    }
    return out;
}

// Writes the whole text, via a temporary file renamed into place, so a reader never sees half a
// file.
void writeFile(const fs::path& path, const std::string& text) {
    const fs::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.close();
        }
        if (!out) {
            const std::string why = std::strerror(errno);
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw HostError(kExitCannotWrite,
                            "Can't write the file: " + path.string() + ": " + why);
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        throw HostError(kExitCannotWrite,
                        "Can't write the file: " + path.string() + ": " + error.message());
    }
}

void writeOut(std::ostream& out, const std::string& text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
        throw HostError(kExitCannotWrite, "Can't write to standard output.");
    }
}

struct Loaded {
    std::string config;
    std::unique_ptr<PluginLibrary> library;
    std::unique_ptr<PluginSession> session;
};

// Resolves both paths, then loads and initialises the plug-in in the INI file's directory.
// `beforeChdir` runs while relative paths of the command line still mean what the user meant.
Loaded loadPlugin(const Options& options, const std::function<void()>& beforeChdir = {}) {
    Loaded loaded;
    loaded.config = resolveConfig(options.config);
    const std::string plugin = resolvePlugin(options.plugin);
    if (beforeChdir) {
        beforeChdir();
    }
    enterConfigDirectory(loaded.config);
    loaded.library = std::make_unique<PluginLibrary>(plugin);
    loaded.session = std::make_unique<PluginSession>(*loaded.library, loaded.config);
    return loaded;
}

int runChannel(const Options& options, std::ostream& out, std::ostream& err) {
    fs::path outputDir;
    const Loaded loaded = loadPlugin(options, [&] {
        if (!options.outputDir.empty()) {
            std::error_code error;
            outputDir = fs::absolute(options.outputDir, error);
            fs::create_directories(outputDir, error);
            if (error) {
                throw HostError(kExitCannotWrite, "Can't create the output directory: " +
                                                      outputDir.string() + ": " + error.message());
            }
        }
    });
    int exitCode = kExitOk;
    for (const std::string& name : options.channels) {
        const CallResult result = loaded.session->channel(name);
        if (!result.ok()) {
            err << "dovetrail: channel " << name << ": " << result.error << " (status "
                << result.status << ")\n";
            if (exitCode == kExitOk) {
                exitCode = result.status;
            }
            continue;
        }
        if (outputDir.empty()) {
            writeOut(out, result.text);
        } else {
            writeFile(outputDir / (fileNameFor(name) + ".rss"), result.text);
        }
    }
    return exitCode;
}

int runMainPage(const Options& options, std::ostream& out, std::ostream& err) {
    fs::path outputFile;
    const Loaded loaded = loadPlugin(options, [&] {
        if (!options.outputFile.empty()) {
            std::error_code error;
            outputFile = fs::absolute(options.outputFile, error);
        }
    });
    const CallResult result = loaded.session->mainPage();
    if (!result.ok()) {
        err << "dovetrail: main page: " << result.error << " (status " << result.status << ")\n";
        return result.status;
    }
    if (outputFile.empty()) {
        writeOut(out, result.text);
    } else {
        writeFile(outputFile, result.text);
    }
    return kExitOk;
}

int runIntervals(const Options& options, std::ostream& out) {
    const Loaded loaded = loadPlugin(options);
    const Intervals& iv = loaded.session->intervals();
    std::ostringstream text;
    if (options.json) {
        text << "{\"lounge\": " << iv.lounge << ", \"messageBoards\": " << iv.messageBoards
             << ", \"articles\": " << iv.articles << "}\n";
    } else {
        const auto line = [&](const char* label, int32_t seconds) {
            text << label << seconds / 60 << " minutes (" << seconds << " seconds)\n";
        };
        line("Lounge:         ", iv.lounge);
        line("Message boards: ", iv.messageBoards);
        line("Articles:       ", iv.articles);
    }
    writeOut(out, text.str());
    return kExitOk;
}

int runChannels(const Options& options, std::ostream& out) {
    const std::string config = resolveConfig(options.config);
    std::string text;
    for (const ChannelEntry& channel : readChannelList(config)) {
        text += channel.name + "\t" + channel.title + "\n";
    }
    writeOut(out, text);
    return kExitOk;
}

struct ListenAddress {
    std::string host;
    int port = 0;
};

ListenAddress parseListen(const std::string& text) {
    ListenAddress address;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            throw HostError(kExitUsage, "Can't read the listen address: " + text +
                                            " (expected [ADDRESS]:PORT)");
        }
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            address.host = "127.0.0.1";
            port = text;
        } else {
            address.host = colon == 0 ? "127.0.0.1" : text.substr(0, colon);
            port = text.substr(colon + 1);
        }
    }
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) > 65535 || address.host.empty()) {
        throw HostError(kExitUsage,
                        "Can't read the listen address: " + text + " (expected ADDRESS:PORT)");
    }
    address.port = std::stoi(port);
    return address;
}

int runServe(const Options& options, std::ostream& err) {
    const ListenAddress address = parseListen(options.listen);
    if (options.threads < 1) {
        throw HostError(kExitUsage, "Can't use --threads " + std::to_string(options.threads) +
                                        ": at least 1 is needed");
    }
    // Signals are taken by a thread of our own, so the server's workers never see them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const Loaded loaded = loadPlugin(options);
    const PluginSession& session = *loaded.session;
    const Intervals intervals = session.intervals();
    ChannelCache cache(
        [&session](const std::string& name) {
            CallResult r = session.channel(name);
            return FetchOutcome{r.status, std::move(r.text), std::move(r.error)};
        },
        std::chrono::seconds(intervals.longest()));
    cache.setFetchObserver([](const ChannelStatus& s) {
        std::ostringstream line;
        // Names come from request paths: nothing of them may break the log line.
        line << isoTime(std::chrono::system_clock::now()) << " fetched " << printable(s.name)
             << ": ";
        if (s.lastStatus == 0) {
            line << "ok, " << s.lastBytes << " bytes";
        } else {
            line << "failed (status " << s.lastStatus << "): " << printable(s.lastError);
        }
        line << ", " << s.lastDuration.count() << " ms; next fetch " << isoTime(s.nextFetch);
        std::cerr << line.str() << std::endl;
    });
    const std::string config = loaded.config;
    ServiceSources sources;
    sources.mainPage = [&session] { return session.mainPage(); };
    sources.channels = [config] { return readChannelList(config); };
    sources.intervals = intervals;
    HttpService service(cache, std::move(sources));

    httplib::Server server;
    const int threads = options.threads;
    server.new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<std::size_t>(threads));
    };
    server.set_keep_alive_timeout(2);
    service.install(server);

    int port = address.port;
    errno = 0;  // a name that does not resolve fails without setting it
    const bool bound = port == 0 ? (port = server.bind_to_any_port(address.host)) > 0
                                 : server.bind_to_port(address.host, port);
    if (!bound) {
        const std::string why =
            errno != 0 ? std::strerror(errno) : "the address cannot be resolved or used";
        throw HostError(kExitCannotListen, "Can't listen on " + options.listen + ": " + why);
    }
    const std::string shown =
        address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    err << "dovetrail: serving " << config << " on http://" << shown << ":" << port
        << "/ (channels at /channels/NAME.rss, status at /status; each channel fetched at most "
           "once every "
        << cache.minInterval().count() << " seconds); stop with Ctrl+C" << std::endl;

    std::atomic<bool> finished{false};
    std::thread signalWaiter([&] {
        const timespec tick{0, 100 * 1000 * 1000};
        bool stopping = false;
        while (!finished.load()) {
            if (!stopping) {
                const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
                if (signal > 0) {
                    std::cerr << "dovetrail: " << (signal == SIGINT ? "SIGINT" : "SIGTERM")
                              << " received, finishing requests in progress" << std::endl;
                    stopping = true;
                }
            }
            if (stopping) {
                // Repeated until the listen loop has ended: a stop before it started is lost.
                server.stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    });
    const bool listened = server.listen_after_bind();
    finished = true;
    signalWaiter.join();
    err << "dovetrail: stopped" << std::endl;
    return listened ? kExitOk : kExitCannotListen;
}

}  // namespace

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    Options options;
    CLI::App app{
        "Runs the Dovetrail channel plug-in: prints channels, the main page and the "
        "update intervals, or serves the channels to feed readers over HTTP.",
        "dovetrail"};
    app.set_version_flag("--version", DOVETRAIL_VERSION);
    app.option_defaults()->always_capture_default();
    app.add_option("--config", options.config,
                   "The plug-in's INI file (default: the bundled example's dovetrail.ini)")
        ->type_name("FILE");
    app.add_option("--plugin", options.plugin,
                   "The plug-in library to load (default: the installed libdovetrail.so, then "
                   "the build tree's)")
        ->type_name("FILE");
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.footer(kFooter);

    CLI::App* channel = app.add_subcommand("channel", "Print the RSS text of each channel");
    channel->add_option("NAME", options.channels, "Channel names (INI sections)")->required();
    channel
        ->add_option("-o,--output-dir", options.outputDir,
                     "Write NAME.rss files into DIR instead of standard output")
        ->type_name("DIR");
    CLI::App* mainPage = app.add_subcommand("main-page", "Print the rendered main page");
    mainPage->add_option("-o,--output", options.outputFile, "Write it to FILE instead")
        ->type_name("FILE");
    CLI::App* intervals =
        app.add_subcommand("intervals", "Print the three minimum update intervals");
    intervals->add_flag("--json", options.json,
                        "As a JSON object of seconds: lounge, messageBoards, articles");
    CLI::App* channels =
        app.add_subcommand("channels", "List the configured channels: name, a tab, the title");
    CLI::App* serve = app.add_subcommand("serve", "Serve the main page and channels over HTTP");
    serve
        ->add_option("--listen", options.listen,
                     "ADDRESS:PORT to listen on; loopback unless told otherwise; port 0 picks "
                     "a free port")
        ->capture_default_str()
        ->type_name("ADDRESS:PORT");
    serve->add_option("--threads", options.threads, "Worker threads for requests")
        ->capture_default_str()
        ->type_name("N");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        if (*channel) {
            return runChannel(options, out, err);
        }
        if (*mainPage) {
            return runMainPage(options, out, err);
        }
        if (*intervals) {
            return runIntervals(options, out);
        }
        if (*channels) {
            return runChannels(options, out);
        }
        if (*serve) {
            return runServe(options, err);
        }
        err << "dovetrail: a command is needed: channel, main-page, intervals, channels or serve\n"
               "Run with --help for more information.\n";
        return kExitUsage;
    } catch (const HostError& e) {
        err << "dovetrail: " << e.what() << "\n";
        return e.exitCode();
    } catch (const PluginInitError& e) {
        err << "dovetrail: " << e.what() << " (status " << e.status() << ")\n";
        return e.status();
    } catch (const std::exception& e) {
        err << "dovetrail: unexpected error: " << e.what() << "\n";
        return kExitInternal;
    }
}

}  // namespace host
